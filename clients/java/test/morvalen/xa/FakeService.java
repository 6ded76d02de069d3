package morvalen.xa;

import java.io.DataInputStream;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.net.InetAddress;
import java.net.ServerSocket;
import java.net.Socket;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.util.List;
import java.util.concurrent.CopyOnWriteArrayList;
import java.util.concurrent.atomic.AtomicInteger;

/**
 * A stand-in for the service on a loopback port, for replies the real one
 * never sends. It answers the handshake with the given bytes, then reads
 * request frames and answers each with what the script returns: bytes to
 * send, or null to say nothing (the connection stays open until the client
 * goes); it can close each connection after its first answer.
 */
final class FakeService implements AutoCloseable {
    interface Script {
        byte[] answer(byte[] request);
    }

    private final ServerSocket server;
    private final byte[] handshakeReply;
    private final Script script;
    private final AtomicInteger accepted = new AtomicInteger();
    final AtomicInteger overlaps = new AtomicInteger();  // requests that arrived before the last one's reply
    final List<byte[]> requests = new CopyOnWriteArrayList<>();
    private final List<Socket> sockets = new CopyOnWriteArrayList<>();
    private final Thread acceptor;
    private final boolean closeAfterAnswer;

    FakeService(byte[] handshakeReply, Script script) throws IOException {
        this(handshakeReply, script, false);
    }

    /** closeAfterAnswer: each connection is closed after its first answer. */
    FakeService(byte[] handshakeReply, Script script, boolean closeAfterAnswer) throws IOException {
        this.closeAfterAnswer = closeAfterAnswer;
        this.server = new ServerSocket(0, 50, InetAddress.getLoopbackAddress());
        this.handshakeReply = handshakeReply;
        this.script = script;
        this.acceptor = new Thread(this::acceptLoop, "fake-service");
        acceptor.setDaemon(true);
        acceptor.start();
    }

    FakeService(Script script) throws IOException {
        this(Wire.HANDSHAKE_REPLY, script);
    }

    int port() {
        return server.getLocalPort();
    }

    int accepted() {
        return accepted.get();
    }

    private void acceptLoop() {
        try {
            for (;;) {
                Socket s = server.accept();
                accepted.incrementAndGet();
                sockets.add(s);
                Thread t = new Thread(() -> serve(s), "fake-service-connection");
                t.setDaemon(true);
                t.start();
            }
        } catch (IOException closed) {
            // the server socket was closed: the test is over
        }
    }

    private void serve(Socket s) {
        try (s) {
            DataInputStream in = new DataInputStream(s.getInputStream());
            OutputStream out = s.getOutputStream();
            in.readFully(new byte[16]);
            out.write(handshakeReply);
            out.flush();
            for (;;) {
                byte[] head = new byte[10];
                in.readFully(head);
                int l = head[9] & 0xFF;
                byte[] request = new byte[10 + (l == 255 ? 0 : l)];
                System.arraycopy(head, 0, request, 0, 10);
                in.readFully(request, 10, request.length - 10);
                requests.add(request);
                if (in.available() > 0) {
                    overlaps.incrementAndGet();
                }
                byte[] answer = script.answer(request);
                if (answer == null) {
                    waitForClose(in);
                    return;
                }
                out.write(answer);
                out.flush();
                if (closeAfterAnswer) {
                    return;
                }
            }
        } catch (IOException gone) {
            // the client went away
        }
    }

    private static void waitForClose(InputStream in) throws IOException {
        while (in.read() >= 0) {
            // discard until the client closes
        }
    }

    /** A reply frame: length, result, payload. */
    static byte[] reply(int result, byte[] payload) {
        return frame(8 + payload.length, result, payload);
    }

    /** A frame whose length field says what the test wants, whatever follows. */
    static byte[] frame(int length, int result, byte[] payload) {
        return ByteBuffer.allocate(8 + payload.length).order(ByteOrder.LITTLE_ENDIAN).putInt(length).putInt(result)
                .put(payload).array();
    }

    static byte[] ints(int... values) {
        ByteBuffer b = ByteBuffer.allocate(4 * values.length).order(ByteOrder.LITTLE_ENDIAN);
        for (int v : values) {
            b.putInt(v);
        }
        return b.array();
    }

    @Override
    public void close() throws IOException {
        server.close();
        for (Socket s : sockets) {
            s.close();
        }
    }
}
