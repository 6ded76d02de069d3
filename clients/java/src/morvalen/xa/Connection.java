package morvalen.xa;

import java.io.Closeable;
import java.io.EOFException;
import java.io.IOException;
import java.io.InterruptedIOException;
import java.net.InetSocketAddress;
import java.net.ProtocolException;
import java.net.SocketTimeoutException;
import java.net.StandardSocketOptions;
import java.nio.ByteBuffer;
import java.nio.channels.SelectionKey;
import java.nio.channels.Selector;
import java.nio.channels.SocketChannel;
import java.util.Arrays;

/**
 * One TCP connection to the service, past its handshake. It carries one
 * request at a time (the protocol allows no more); the caller serialises.
 * The channel is non-blocking and every wait goes through a selector with a
 * deadline, so no step can hang. Any failure leaves the connection broken:
 * the caller closes it and opens another.
 */
final class Connection implements Closeable {
    /** One reply: its result code and the payload behind the header. */
    record Reply(int result, byte[] payload) {
    }

    private final SocketChannel channel;
    private final Selector selector;
    private final long timeoutMs;

    private Connection(SocketChannel channel, Selector selector, long timeoutMs) {
        this.channel = channel;
        this.selector = selector;
        this.timeoutMs = timeoutMs;
    }

    /** Connects, sets TCP_NODELAY and does the handshake, each within timeoutMs (0: no limit). */
    static Connection open(String host, int port, long timeoutMs) throws IOException {
        SocketChannel channel = SocketChannel.open();
        Selector selector = null;
        try {
            selector = Selector.open();
            channel.configureBlocking(false);
            channel.setOption(StandardSocketOptions.TCP_NODELAY, true);
            Connection c = new Connection(channel, selector, timeoutMs);
            long deadline = c.deadline();
            if (!channel.connect(new InetSocketAddress(host, port))) {
                while (!channel.finishConnect()) {
                    c.await(SelectionKey.OP_CONNECT, deadline);
                }
            }
            c.write(Wire.HANDSHAKE, deadline);
            byte[] answer = new byte[Wire.HANDSHAKE_REPLY.length];
            try {
                c.read(ByteBuffer.wrap(answer), deadline);
            } catch (EOFException e) {
                throw new ProtocolException("the service refused the handshake");
            }
            if (!Arrays.equals(answer, Wire.HANDSHAKE_REPLY)) {
                throw new ProtocolException("the service answered the handshake with something else");
            }
            return c;
        } catch (IOException | RuntimeException e) {
            channel.close();
            if (selector != null) {
                selector.close();
            }
            throw e;
        }
    }

    /**
     * Sends one request in one write and reads its whole reply. A length
     * outside 8..1000, a reply cut short, or bytes behind the reply are a
     * ProtocolException; a time-out is a SocketTimeoutException.
     */
    Reply exchange(byte[] request) throws IOException {
        long deadline = deadline();
        write(request, deadline);
        ByteBuffer header = ByteBuffer.allocate(Wire.HEADER);
        read(header, deadline);
        int length = Wire.getInt(header.array(), 0);
        int result = Wire.getInt(header.array(), 4);
        if (length < Wire.HEADER || length > Wire.MAX_REPLY) {
            throw new ProtocolException("reply length " + length + " is outside 8..1000");
        }
        byte[] payload = new byte[length - Wire.HEADER];
        read(ByteBuffer.wrap(payload), deadline);
        if (channel.read(ByteBuffer.allocate(1)) > 0) {
            throw new ProtocolException("more bytes behind a reply of " + length);
        }
        return new Reply(result, payload);
    }

    /**
     * True when the connection cannot carry another request: the service
     * closed it, reset it, or sent bytes nobody asked for.
     */
    boolean isBroken() {
        try {
            return channel.read(ByteBuffer.allocate(1)) != 0;
        } catch (IOException e) {
            return true;
        }
    }

    @Override
    public void close() {
        try {
            channel.close();
        } catch (IOException ignored) {
            // nothing more to do with a failed close
        }
        try {
            selector.close();
        } catch (IOException ignored) {
            // as above
        }
    }

    private long deadline() {
        return timeoutMs == 0 ? Long.MAX_VALUE : System.nanoTime() + timeoutMs * 1_000_000;
    }

    private void write(byte[] bytes, long deadline) throws IOException {
        ByteBuffer out = ByteBuffer.wrap(bytes);
        channel.write(out);
        while (out.hasRemaining()) {
            await(SelectionKey.OP_WRITE, deadline);
            channel.write(out);
        }
    }

    private void read(ByteBuffer in, long deadline) throws IOException {
        while (in.hasRemaining()) {
            int n = channel.read(in);
            if (n < 0) {
                throw new EOFException("the service closed the connection");
            }
            if (n == 0) {
                await(SelectionKey.OP_READ, deadline);
            }
        }
    }

    private void await(int operation, long deadline) throws IOException {
        SelectionKey key = channel.register(selector, operation);
        try {
            for (;;) {
                long left = deadline == Long.MAX_VALUE ? 0 : (deadline - System.nanoTime()) / 1_000_000;
                if (deadline != Long.MAX_VALUE && left <= 0) {
                    throw new SocketTimeoutException("no reply within " + timeoutMs + " ms");
                }
                if (selector.select(left) > 0) {
                    selector.selectedKeys().clear();
                    return;
                }
                if (Thread.currentThread().isInterrupted()) {
                    // select returns at once for an interrupted thread; give up instead of spinning
                    throw new InterruptedIOException("interrupted while waiting for the service");
                }
            }
        } finally {
            key.interestOps(0);
        }
    }
}
