package morvalen.xa.bitronix;

import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.net.InetAddress;
import java.net.Socket;
import java.net.StandardProtocolFamily;
import java.net.UnixDomainSocketAddress;
import java.nio.channels.Channels;
import java.nio.channels.SocketChannel;
import javax.net.SocketFactory;

/**
 * Lets the PostgreSQL JDBC driver reach a server that listens on a unix
 * socket only: the driver's socketFactory property names this class and
 * socketFactoryArg the socket file. The socket comes connected, so the driver
 * skips its own connect, and only the calls the driver makes are served.
 */
public final class UnixSocketFactory extends SocketFactory {
    private final String path;

    public UnixSocketFactory(String path) {
        this.path = path;
    }

    @Override
    public Socket createSocket() throws IOException {
        return new UnixSocket(path);
    }

    @Override
    public Socket createSocket(String host, int port) throws IOException {
        return createSocket();
    }

    @Override
    public Socket createSocket(String host, int port, InetAddress localHost, int localPort) throws IOException {
        return createSocket();
    }

    @Override
    public Socket createSocket(InetAddress host, int port) throws IOException {
        return createSocket();
    }

    @Override
    public Socket createSocket(InetAddress address, int port, InetAddress localAddress, int localPort)
            throws IOException {
        return createSocket();
    }

    private static final class UnixSocket extends Socket {
        private final SocketChannel channel;
        private int timeout;

        UnixSocket(String path) throws IOException {
            channel = SocketChannel.open(StandardProtocolFamily.UNIX);
            channel.connect(UnixDomainSocketAddress.of(path));
        }

        @Override
        public boolean isConnected() {
            return true;
        }

        @Override
        public boolean isClosed() {
            return !channel.isOpen();
        }

        @Override
        public InputStream getInputStream() {
            return Channels.newInputStream(channel);
        }

        @Override
        public OutputStream getOutputStream() {
            return Channels.newOutputStream(channel);
        }

        @Override
        public void setTcpNoDelay(boolean on) {
            // no such thing on a unix socket
        }

        @Override
        public void setKeepAlive(boolean on) {
            // as above
        }

        @Override
        public synchronized void setSoTimeout(int ms) {
            timeout = ms;  // kept for the driver to read back; reads block without limit
        }

        @Override
        public synchronized int getSoTimeout() {
            return timeout;
        }

        @Override
        public synchronized void close() throws IOException {
            channel.close();
        }

        @Override
        public void shutdownInput() throws IOException {
            channel.shutdownInput();
        }

        @Override
        public void shutdownOutput() throws IOException {
            channel.shutdownOutput();
        }
    }
}
