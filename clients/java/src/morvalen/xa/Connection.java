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
import javax.net.ssl.SSLContext;
import javax.net.ssl.SSLEngine;
import javax.net.ssl.SSLEngineResult;
import javax.net.ssl.SSLParameters;

/**
 * One TCP connection to the service, past its handshake. It carries one
 * request at a time (the protocol allows no more); the caller serialises.
 * The channel is non-blocking and every wait goes through a selector with a
 * deadline, so no step can hang. Any failure leaves the connection broken:
 * the caller closes it and opens another.
 *
 * <p>With an SSLContext the connection speaks TLS (an SSLEngine over the same
 * channel): the TLS handshake first, verifying the service's certificate and
 * name, then the protocol unchanged inside it.
 */
final class Connection implements Closeable {
    /** One reply: its result code and the payload behind the header. */
    record Reply(int result, byte[] payload) {
    }

    private static final ByteBuffer NOTHING = ByteBuffer.allocate(0);

    private final SocketChannel channel;
    private final Selector selector;
    private final long timeoutMs;
    private final String peer;  // "host:port" as the caller named it, for messages
    // TLS only (all null in plaintext): the engine, the records received and
    // not yet unwrapped, the records to send, and the plaintext not yet taken.
    // netIn and appIn are kept ready for writing into.
    private SSLEngine engine;
    private ByteBuffer netIn;
    private ByteBuffer netOut;
    private ByteBuffer appIn;

    private Connection(SocketChannel channel, Selector selector, long timeoutMs, String peer) {
        this.channel = channel;
        this.selector = selector;
        this.timeoutMs = timeoutMs;
        this.peer = peer;
    }

    /** Connects, sets TCP_NODELAY and does the handshake, each within timeoutMs (0: no limit). */
    static Connection open(String host, int port, long timeoutMs) throws IOException {
        return open(host, port, timeoutMs, null, null);
    }

    /**
     * The same, over TLS when tls is not null: the service's certificate must
     * be trusted by tls and carry serverName (null: host), checked as HTTPS
     * clients check theirs. A TLS failure is an IOException (SSLException).
     */
    static Connection open(String host, int port, long timeoutMs, SSLContext tls, String serverName)
            throws IOException {
        SocketChannel channel = SocketChannel.open();
        Selector selector = null;
        try {
            selector = Selector.open();
            channel.configureBlocking(false);
            channel.setOption(StandardSocketOptions.TCP_NODELAY, true);
            Connection c = new Connection(channel, selector, timeoutMs, new Endpoint(host, port).toString());
            long deadline = c.deadline();
            if (!channel.connect(new InetSocketAddress(host, port))) {
                while (!channel.finishConnect()) {
                    c.await(SelectionKey.OP_CONNECT, deadline);
                }
            }
            if (tls != null) {
                c.startTls(tls, serverName != null ? serverName : host, port, deadline);
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
        if ((appIn != null && appIn.position() > 0) || channel.read(ByteBuffer.allocate(1)) > 0) {
            throw new ProtocolException("more bytes behind a reply of " + length);
        }
        return new Reply(result, payload);
    }

    /** The endpoint this connection reached, "host:port". */
    String peer() {
        return peer;
    }

    /**
     * True when the connection cannot carry another request: the service
     * closed it, reset it, or sent bytes nobody asked for.
     */
    boolean isBroken() {
        try {
            // Under TLS any record now is one nobody asked for: the service
            // sends no tickets and nothing else unasked but its closing alert.
            return (appIn != null && appIn.position() > 0) || channel.read(ByteBuffer.allocate(1)) != 0;
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
        if (engine != null) {
            ByteBuffer plain = ByteBuffer.wrap(bytes);
            while (plain.hasRemaining()) {
                wrap(plain, deadline);
            }
            return;
        }
        ByteBuffer out = ByteBuffer.wrap(bytes);
        channel.write(out);
        while (out.hasRemaining()) {
            await(SelectionKey.OP_WRITE, deadline);
            channel.write(out);
        }
    }

    private void read(ByteBuffer in, long deadline) throws IOException {
        if (engine != null) {
            while (in.hasRemaining()) {
                if (appIn.position() == 0) {
                    unwrap(deadline);
                    continue;
                }
                appIn.flip();
                int n = Math.min(in.remaining(), appIn.remaining());
                in.put(in.position(), appIn, appIn.position(), n);
                in.position(in.position() + n);
                appIn.position(appIn.position() + n);
                appIn.compact();
            }
            return;
        }
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

    private void startTls(SSLContext tls, String serverName, int port, long deadline) throws IOException {
        engine = tls.createSSLEngine(serverName, port);
        engine.setUseClientMode(true);
        SSLParameters parameters = engine.getSSLParameters();
        parameters.setEndpointIdentificationAlgorithm("HTTPS");  // the name, not only the chain
        engine.setSSLParameters(parameters);
        netIn = ByteBuffer.allocate(engine.getSession().getPacketBufferSize());
        netOut = ByteBuffer.allocate(engine.getSession().getPacketBufferSize());
        appIn = ByteBuffer.allocate(engine.getSession().getApplicationBufferSize());
        engine.beginHandshake();
        for (;;) {
            switch (engine.getHandshakeStatus()) {
                case NEED_WRAP -> wrap(NOTHING, deadline);
                case NEED_UNWRAP, NEED_UNWRAP_AGAIN -> unwrap(deadline);
                case NEED_TASK -> {
                    for (Runnable task = engine.getDelegatedTask(); task != null; task = engine.getDelegatedTask()) {
                        task.run();
                    }
                }
                case FINISHED, NOT_HANDSHAKING -> {
                    return;
                }
            }
        }
    }

    /** Wraps what of plain fits one record and sends it. */
    private void wrap(ByteBuffer plain, long deadline) throws IOException {
        netOut.clear();
        SSLEngineResult result = engine.wrap(plain, netOut);
        if (result.getStatus() == SSLEngineResult.Status.CLOSED) {
            throw new EOFException("the service closed the TLS session");
        }
        netOut.flip();
        channel.write(netOut);
        while (netOut.hasRemaining()) {
            await(SelectionKey.OP_WRITE, deadline);
            channel.write(netOut);
        }
    }

    /** Unwraps one record into appIn, receiving (within the deadline) until one is whole. */
    private void unwrap(long deadline) throws IOException {
        for (;;) {
            netIn.flip();
            SSLEngineResult result;
            try {
                result = engine.unwrap(netIn, appIn);
            } finally {
                netIn.compact();
            }
            switch (result.getStatus()) {
                case OK -> {
                    return;
                }
                case CLOSED -> throw new EOFException("the service closed the TLS session");
                case BUFFER_OVERFLOW -> appIn = grow(appIn, engine.getSession().getApplicationBufferSize());
                case BUFFER_UNDERFLOW -> {
                    if (!netIn.hasRemaining()) {
                        netIn = grow(netIn, engine.getSession().getPacketBufferSize());
                    }
                    int n = channel.read(netIn);
                    if (n < 0) {
                        throw new EOFException("the service closed the connection");
                    }
                    if (n == 0) {
                        await(SelectionKey.OP_READ, deadline);
                    }
                }
            }
        }
    }

    private static ByteBuffer grow(ByteBuffer buffer, int atLeast) {
        ByteBuffer bigger = ByteBuffer.allocate(Math.max(buffer.capacity() * 2, buffer.position() + atLeast));
        buffer.flip();
        bigger.put(buffer);
        return bigger;
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
