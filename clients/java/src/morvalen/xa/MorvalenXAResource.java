package morvalen.xa;

import java.io.IOException;
import java.time.Duration;
import java.util.ArrayDeque;
import java.util.ArrayList;
import java.util.LinkedHashSet;
import java.util.List;
import java.util.Map;
import java.util.Objects;
import java.util.Properties;
import java.util.Set;
import java.util.concurrent.ConcurrentHashMap;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.locks.ReentrantLock;
import javax.net.ssl.SSLContext;
import javax.transaction.xa.XAException;
import javax.transaction.xa.XAResource;
import javax.transaction.xa.Xid;

/**
 * An XAResource whose branches live in the Morvalen service (TCP, default port
 * 1439), which runs them through the machine's transaction coordinator.
 *
 * <p>Connections are opened on first use and kept in a small pool: each call
 * takes a connection of its own, so several threads may use one resource at
 * once, while every connection carries one request at a time as the protocol
 * requires. A connection that failed is closed; the next call opens a new one.
 *
 * <p>XA's own results reach the caller unchanged: XAER_* (-9..-2), XA_RB*
 * (100-107), XA_RETRY, the heuristic codes (5-8) and XA_NOMIGRATE as an
 * XAException with that errorCode; XA_RDONLY as the return value of
 * {@link #prepare}. Any other code (the service's own, such as -1 or
 * -2228225, or a coordinator HRESULT) is XAER_RMERR, with the service's code
 * in the message. Every failure to reach the service (an unknown host,
 * refused, reset, time-out, a reply that does not have the protocol's shape,
 * any error of the socket layer) is XAER_RMFAIL with the cause attached.
 *
 * <p>The default reply time-out, {@link #DEFAULT_TIMEOUT}, is well above the
 * coordinator's own phase-one time-out (30 s), so that a prepare its
 * participants answer slowly reaches the manager with the coordinator's
 * answer (XA_RBTIMEOUT) rather than as XAER_RMFAIL.
 *
 * <p>The service may be named by a list of endpoints instead of one host,
 * "host1:1439,host2:1439", for a service and coordinator that may run on
 * either of two hosts, one pair active at a time. A new connection tries the
 * endpoints in order and keeps the first that connects and passes the
 * handshake (and TLS); when all fail, the call is XAER_RMFAIL with the last
 * failure as its cause and the earlier ones suppressed. A request is never
 * sent again to another endpoint within one call: once sent, its outcome is
 * unknown and the call is XAER_RMFAIL, which the manager retries. When an
 * endpoint of a list answers XAER_RMFAIL itself (a service whose coordinator
 * is not the active one), its connections are closed and the next connection
 * tries the following endpoint first, so that the retry reaches the other host.
 *
 * <p>The transaction cookie of a branch, which another party needs to import
 * the transaction, is kept from its start until it completes:
 * {@link #getCookie(Xid)}, or {@link #currentCookie()} on the thread that
 * started it.
 */
public class MorvalenXAResource implements XAResource, AutoCloseable {
    public static final int DEFAULT_PORT = 1439;
    public static final Duration DEFAULT_TIMEOUT = Duration.ofSeconds(120);
    private static final int MAX_IDLE = 4;
    // A scan stops when a reply brings nothing new; this bounds it besides.
    private static final int MAX_RECOVER_REPLIES = 100_000;

    private final List<Endpoint> endpoints;  // at least one, in the order they are tried
    // The index in endpoints that a new connection tries first: 0 but after a
    // XAER_RMFAIL answered by an endpoint of a list, then the one after it.
    private final AtomicInteger firstTried = new AtomicInteger();
    private final long timeoutMs;
    private final SSLContext tls;      // null: plaintext
    private final String serverName;   // the name the service's certificate must carry; null: host
    private final ArrayDeque<Connection> idle = new ArrayDeque<>();  // guarded by itself
    // The service keeps one recover cursor for all its clients: one scan at a time from here.
    private final ReentrantLock scanLock = new ReentrantLock();
    private final Map<MorvalenXid, byte[]> cookies = new ConcurrentHashMap<>();
    private final ThreadLocal<byte[]> threadCookie = new ThreadLocal<>();

    /**
     * The service at a list of endpoints, "H[:P][,H[:P]]..." (an IPv6 address in
     * brackets when a port follows it), each without a port on 1439.
     */
    public MorvalenXAResource(String endpoints) {
        this(endpoints, DEFAULT_PORT);
    }

    /**
     * @param host a host name or address, or a list of endpoints as for
     *             {@link #MorvalenXAResource(String)}
     * @param port the port of every endpoint that names none
     */
    public MorvalenXAResource(String host, int port) {
        this(host, port, DEFAULT_TIMEOUT);
    }

    /**
     * @param timeout how long to wait for a connection, its handshake and each
     *                reply; zero waits for ever. It bounds each endpoint's attempt
     *                on its own.
     */
    public MorvalenXAResource(String host, int port, Duration timeout) {
        this(host, port, timeout, null, null);
    }

    /**
     * Over TLS, for a service that serves it: every connection verifies the
     * service's certificate with tls (its trust managers) and checks that it
     * carries serverName (null: host) as a DNS name, or as an IP address when
     * the name is one; tls's key managers present this client's certificate to
     * a service that demands one. A TLS failure is XAER_RMFAIL with the
     * SSLException as its cause.
     *
     * @param tls        the TLS context; null for plaintext
     * @param serverName the name the service's certificate must carry; null for
     *                   the host of each endpoint
     */
    public MorvalenXAResource(String host, int port, Duration timeout, SSLContext tls, String serverName) {
        this.tls = tls;
        this.serverName = serverName;
        this.endpoints = Endpoint.parseList(Objects.requireNonNull(host, "host"), port);
        if (timeout.isNegative()) {
            throw new IllegalArgumentException("negative time-out");
        }
        this.timeoutMs = timeout.toMillis();
    }

    /**
     * A resource configured by properties, as a transaction manager's
     * configuration holds them: "endpoints" (or "host"), the host or list of
     * endpoints; "port", the port of endpoints that name none (default 1439);
     * "timeoutMs", the time-out in milliseconds (default 120000; 0 waits for
     * ever); "serverName", the name the service's certificate must carry (TLS
     * only).
     *
     * @param tls the TLS context; null for plaintext
     * @throws IllegalArgumentException for a missing endpoint list or a value
     *                                  that does not parse
     */
    public static MorvalenXAResource fromProperties(Properties properties, SSLContext tls) {
        String endpoints = properties.getProperty("endpoints", properties.getProperty("host"));
        if (endpoints == null) {
            throw new IllegalArgumentException("the property endpoints (or host) is needed");
        }
        int port = intProperty(properties, "port", DEFAULT_PORT);
        long timeoutMs = intProperty(properties, "timeoutMs", (int) DEFAULT_TIMEOUT.toMillis());
        return new MorvalenXAResource(endpoints, port, Duration.ofMillis(timeoutMs), tls,
                properties.getProperty("serverName"));
    }

    private static int intProperty(Properties properties, String name, int fallback) {
        String value = properties.getProperty(name);
        if (value == null) {
            return fallback;
        }
        try {
            return Integer.parseInt(value.strip());
        } catch (NumberFormatException e) {
            throw new IllegalArgumentException("property " + name + ": " + value, e);
        }
    }

    /** The host of the first endpoint. */
    public String getHost() {
        return endpoints.get(0).host();
    }

    /** The port of the first endpoint. */
    public int getPort() {
        return endpoints.get(0).port();
    }

    /** Every endpoint, "host:port", in the order a connection tries them. */
    public List<String> getEndpoints() {
        return endpoints.stream().map(Endpoint::toString).toList();
    }

    @Override
    public void start(Xid xid, int flags) throws XAException {
        MorvalenXid key = MorvalenXid.of(checked(xid));
        Connection.Reply reply = call(Wire.START, flags, xid);
        raiseUnlessOk(reply.result());
        byte[] cookie;
        try {
            cookie = Wire.cookie(reply.payload());
        } catch (IOException | RuntimeException e) {
            throw transportFailure(null, e);
        }
        if (cookie != null) {
            cookies.put(key, cookie);
        }
        threadCookie.set(cookie);
    }

    @Override
    public void end(Xid xid, int flags) throws XAException {
        checked(xid);
        threadCookie.remove();
        raiseUnlessOk(call(Wire.END, flags, xid).result());
    }

    @Override
    public int prepare(Xid xid) throws XAException {
        MorvalenXid key = MorvalenXid.of(checked(xid));
        int result = call(Wire.PREPARE, TMNOFLAGS, xid).result();
        if (result == XA_RDONLY) {
            cookies.remove(key);  // the branch is over
            return XA_RDONLY;
        }
        raiseUnlessOk(result);
        return XA_OK;
    }

    @Override
    public void commit(Xid xid, boolean onePhase) throws XAException {
        MorvalenXid key = MorvalenXid.of(checked(xid));
        int result = call(Wire.COMMIT, onePhase ? TMONEPHASE : TMNOFLAGS, xid).result();
        forgetCookieUnlessRetry(key, result);
        raiseUnlessOk(result);
    }

    @Override
    public void rollback(Xid xid) throws XAException {
        MorvalenXid key = MorvalenXid.of(checked(xid));
        int result = call(Wire.ROLLBACK, TMNOFLAGS, xid).result();
        forgetCookieUnlessRetry(key, result);
        raiseUnlessOk(result);
    }

    @Override
    public void forget(Xid xid) throws XAException {
        MorvalenXid key = MorvalenXid.of(checked(xid));
        cookies.remove(key);
        raiseUnlessOk(call(Wire.FORGET, TMNOFLAGS, xid).result());
    }

    /**
     * With TMSTARTRSCAN: every XID the coordinator holds prepared or
     * heuristically completed, in one array. The service lists at most seven
     * per reply, so this asks again until a reply holds fewer, then ends the
     * scan. Without TMSTARTRSCAN the scan has already been delivered whole: an
     * empty array, nothing sent.
     */
    @Override
    public Xid[] recover(int flags) throws XAException {
        if ((flags & ~(TMSTARTRSCAN | TMENDRSCAN)) != 0) {
            XAException e = new XAException("recover flags 0x" + Integer.toHexString(flags));
            e.errorCode = XAException.XAER_INVAL;
            throw e;
        }
        if ((flags & TMSTARTRSCAN) == 0) {
            return new Xid[0];
        }
        scanLock.lock();
        try {
            return scan();
        } finally {
            scanLock.unlock();
        }
    }

    private Xid[] scan() throws XAException {
        Set<MorvalenXid> found = new LinkedHashSet<>();
        Connection c = take();
        boolean healthy = false;
        try {
            int flags = TMSTARTRSCAN;
            for (int replies = 0; replies < MAX_RECOVER_REPLIES; replies++) {
                Connection.Reply reply = c.exchange(Wire.request(Wire.RECOVER, flags, null));
                if (reply.result() < 0) {
                    healthy = keepsConnection(c, reply.result());
                    throw xaException(reply.result());
                }
                List<MorvalenXid> batch = Wire.recoverList(reply.result(), reply.payload());
                boolean grew = found.addAll(batch);
                if (flags == TMENDRSCAN) {
                    break;
                }
                // A full reply means there may be more; a short one ends the list,
                // and the service's cursor is closed with a last TMENDRSCAN.
                flags = batch.size() == Wire.RECOVER_PER_REPLY && grew ? TMNOFLAGS : TMENDRSCAN;
            }
            healthy = true;
        } catch (IOException | RuntimeException e) {
            throw transportFailure(c, e);
        } finally {
            giveBack(c, healthy);
        }
        return found.toArray(new Xid[0]);
    }

    /** Only the coordinator's own time-outs apply; a branch time-out is not settable here. */
    @Override
    public boolean setTransactionTimeout(int seconds) {
        return false;
    }

    @Override
    public int getTransactionTimeout() {
        return 0;
    }

    /**
     * True for another Morvalen resource of the same endpoints (hosts compared
     * without case, in any order): the same service.
     */
    @Override
    public boolean isSameRM(XAResource other) {
        return other instanceof MorvalenXAResource m && covers(m.endpoints, endpoints) && covers(endpoints, m.endpoints);
    }

    private static boolean covers(List<Endpoint> all, List<Endpoint> some) {
        return some.stream().allMatch(e -> all.stream().anyMatch(e::sameAs));
    }

    /**
     * The transaction cookie the service returned when the branch was started,
     * or null when it returned none or the branch is unknown here or complete.
     */
    public byte[] getCookie(Xid xid) {
        if (xid == null) {
            return null;
        }
        byte[] cookie = cookies.get(MorvalenXid.of(xid));
        return cookie == null ? null : cookie.clone();
    }

    /**
     * The cookie of the branch the calling thread started (or resumed or
     * joined) last and has not ended; null when there is none. A transaction
     * manager starts branches on the application's thread when it enlists the
     * resource, so this is how an application reaches the cookie without
     * knowing the XID.
     */
    public byte[] currentCookie() {
        byte[] cookie = threadCookie.get();
        return cookie == null ? null : cookie.clone();
    }

    /** Closes the idle connections. The resource stays usable: the next call connects again. */
    @Override
    public void close() {
        synchronized (idle) {
            for (Connection c : idle) {
                c.close();
            }
            idle.clear();
        }
    }

    @Override
    public String toString() {
        return "MorvalenXAResource[" + String.join(",", getEndpoints()) + "]";
    }

    private void forgetCookieUnlessRetry(MorvalenXid key, int result) {
        if (result != XAException.XA_RETRY && result != XAException.XAER_RMFAIL) {
            cookies.remove(key);
        }
    }

    private static Xid checked(Xid xid) throws XAException {
        Wire.xidBody(xid);  // throws XAER_INVAL for anything that cannot be sent
        return xid;
    }

    /** One request and its reply on a pooled connection. */
    private Connection.Reply call(byte code, int flags, Xid xid) throws XAException {
        byte[] request = Wire.request(code, flags, xid);
        Connection c = take();
        boolean healthy = false;
        try {
            Connection.Reply reply = c.exchange(request);
            if (code != Wire.START && reply.payload().length != 0) {
                throw new java.net.ProtocolException("a payload of " + reply.payload().length + " bytes behind result "
                        + reply.result() + " of request " + code);
            }
            if (code == Wire.START && reply.result() < 0 && reply.payload().length != 0) {
                throw new java.net.ProtocolException("a payload behind a failed start");
            }
            if (code == Wire.START && reply.result() >= 0) {
                Wire.cookie(reply.payload());  // its shape is checked here, so a bad one drops the connection
            }
            healthy = keepsConnection(c, reply.result());
            return reply;
        } catch (IOException | RuntimeException e) {
            throw transportFailure(c, e);
        } finally {
            giveBack(c, healthy);
        }
    }

    /**
     * An idle connection that still works, or a new one. A pooled connection
     * the service has closed meanwhile (after a restart, say) is dropped here,
     * before a request is spent on it.
     */
    private Connection take() throws XAException {
        for (;;) {
            Connection c;
            synchronized (idle) {
                c = idle.pollFirst();
            }
            if (c == null) {
                break;
            }
            if (!c.isBroken()) {
                return c;
            }
            c.close();
        }
        return connect();
    }

    /**
     * A new connection: the endpoints in order, from the one firstTried names,
     * until one connects and passes the handshake (and TLS). When none does:
     * XAER_RMFAIL with the last failure as its cause and the earlier ones
     * suppressed, and the next attempt starts from the first endpoint again.
     */
    private Connection connect() throws XAException {
        int n = endpoints.size();
        int first = Math.floorMod(firstTried.get(), n);
        List<Exception> failures = new ArrayList<>(n);
        StringBuilder tried = new StringBuilder();
        for (int i = 0; i < n; i++) {
            Endpoint e = endpoints.get((first + i) % n);
            try {
                return Connection.open(e.host(), e.port(), timeoutMs, tls, serverName);
            } catch (IOException | RuntimeException x) {
                failures.add(x);
                tried.append(i == 0 ? "" : ", ").append(e).append(" (").append(x).append(')');
            }
        }
        firstTried.set(0);
        Exception last = failures.get(n - 1);
        XAException e = new XAException(n == 1
                ? "Morvalen at " + endpoints.get(0) + " unreachable: " + last
                : "Morvalen unreachable at every endpoint: " + tried);
        e.errorCode = XAException.XAER_RMFAIL;
        e.initCause(last);
        for (Exception earlier : failures.subList(0, n - 1)) {
            e.addSuppressed(earlier);
        }
        throw e;
    }

    /**
     * Whether a connection that carried a reply of this result goes back to
     * the pool. It does, but for XAER_RMFAIL answered through a list of
     * endpoints: that service's coordinator is not the active one (a standby,
     * or restarting), so its idle connections are closed too, and the next
     * connection tries the following endpoint first. Nothing is sent again
     * here; the manager retries the call.
     */
    private boolean keepsConnection(Connection c, int result) {
        if (result != XAException.XAER_RMFAIL || endpoints.size() == 1) {
            return true;
        }
        String peer = c.peer();
        for (int i = 0; i < endpoints.size(); i++) {
            if (endpoints.get(i).toString().equals(peer)) {
                firstTried.set((i + 1) % endpoints.size());
                break;
            }
        }
        synchronized (idle) {
            idle.removeIf(other -> {
                if (!other.peer().equals(peer)) {
                    return false;
                }
                other.close();
                return true;
            });
        }
        return false;
    }

    private void giveBack(Connection c, boolean healthy) {
        if (healthy) {
            synchronized (idle) {
                if (idle.size() < MAX_IDLE) {
                    idle.addFirst(c);
                    return;
                }
            }
        }
        c.close();
    }

    private static void raiseUnlessOk(int result) throws XAException {
        if (result != XA_OK) {
            throw xaException(result);
        }
    }

    static XAException xaException(int result) {
        if (isXaCode(result)) {
            XAException e = new XAException(describe(result));
            e.errorCode = result;
            return e;
        }
        // A code a transaction manager would not know: an error of the
        // resource manager, with the service's own code kept in the message.
        XAException e = new XAException("XAER_RMERR (-3): the service answered " + describe(result));
        e.errorCode = XAException.XAER_RMERR;
        return e;
    }

    /** True for a code of XA's own set that an XAException may carry. */
    static boolean isXaCode(int result) {
        return (result >= XAException.XAER_OUTSIDE && result <= XAException.XAER_ASYNC)
                || (result >= XAException.XA_RBBASE && result <= XAException.XA_RBEND)
                || (result >= XAException.XA_RETRY && result <= XAException.XA_NOMIGRATE)
                || result == XA_RDONLY;
    }

    /**
     * XAER_RMFAIL for a failure on a connection (c; null when it is closed
     * already). The next new connection starts from the first endpoint.
     */
    private XAException transportFailure(Connection c, Exception cause) {
        firstTried.set(0);
        String at = c != null ? c.peer() : String.join(",", getEndpoints());
        XAException e = new XAException("Morvalen at " + at + " unreachable: " + cause);
        e.errorCode = XAException.XAER_RMFAIL;
        e.initCause(cause);
        return e;
    }

    /** A short text for a result code, for exception messages. */
    static String describe(int result) {
        return switch (result) {
            case XAException.XA_HEURMIX -> "XA_HEURMIX (5): partly committed, partly rolled back";
            case XAException.XA_HEURRB -> "XA_HEURRB (6): heuristically rolled back";
            case XAException.XA_HEURCOM -> "XA_HEURCOM (7): heuristically committed";
            case XAException.XA_HEURHAZ -> "XA_HEURHAZ (8): may have been heuristically completed";
            case XAException.XA_RETRY -> "XA_RETRY (4)";
            case XAException.XAER_RMERR -> "XAER_RMERR (-3)";
            case XAException.XAER_NOTA -> "XAER_NOTA (-4): the coordinator does not know the XID";
            case XAException.XAER_INVAL -> "XAER_INVAL (-5): malformed XID or refused flags";
            case XAException.XAER_PROTO -> "XAER_PROTO (-6): the request does not fit the branch's state";
            case XAException.XAER_RMFAIL -> "XAER_RMFAIL (-7): the coordinator is unavailable";
            case XAException.XAER_DUPID -> "XAER_DUPID (-8): the branch exists already";
            case -1 -> "-1: resume of a branch the service does not hold";
            case -1048577 -> "-1048577: end of a branch the service does not hold";
            case -2228225 -> "-2228225: an unexpected error inside the service";
            default -> result >= XAException.XA_RBBASE && result <= XAException.XA_RBEND
                    ? "XA_RB* (" + result + "): the branch was rolled back"
                    : "result " + result + " (0x" + Integer.toHexString(result) + ")";
        };
    }
}
