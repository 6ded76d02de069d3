package morvalen.xa;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertInstanceOf;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.net.ConnectException;
import java.net.InetAddress;
import java.net.ProtocolException;
import java.net.ServerSocket;
import java.net.SocketTimeoutException;
import java.time.Duration;
import java.util.List;
import java.util.Properties;
import javax.transaction.xa.XAException;
import javax.transaction.xa.XAResource;
import javax.transaction.xa.Xid;
import org.junit.jupiter.api.Test;

/**
 * A resource named by a list of endpoints, against stand-in services on
 * loopback ports: which endpoint a connection reaches, what a failure of all
 * of them is, and that a request is never sent to a second endpoint.
 */
class EndpointsTest {
    private static final Xid XID = new MorvalenXid(0x4D56, "order-1".getBytes(), "db".getBytes());
    private static final byte[] OK = FakeService.reply(0, new byte[0]);

    /** A loopback port nothing listens on: bound once, then closed. */
    private static int refusingPort() throws IOException {
        try (ServerSocket s = new ServerSocket(0, 1, InetAddress.getLoopbackAddress())) {
            return s.getLocalPort();
        }
    }

    private static String at(int port) {
        return "127.0.0.1:" + port;
    }

    private static MorvalenXAResource resource(Duration timeout, int... ports) {
        StringBuilder list = new StringBuilder();
        for (int port : ports) {
            list.append(list.length() == 0 ? "" : ",").append(at(port));
        }
        return new MorvalenXAResource(list.toString(), 1, timeout, null, null);
    }

    @Test
    void theFirstEndpointThatConnectsAndAnswersTheHandshakeWinsInListOrder() throws Exception {
        int refused = refusingPort();
        byte[] wrongName = "Morvalex".getBytes();
        try (FakeService imposter = new FakeService(wrongName, r -> OK);
             FakeService a = new FakeService(r -> OK);
             FakeService b = new FakeService(r -> OK)) {
            // Refused, then a handshake answered with something else: a is used, b never.
            try (MorvalenXAResource res = resource(Duration.ofSeconds(5), refused, imposter.port(), a.port(),
                    b.port())) {
                res.commit(XID, true);
                res.rollback(XID);
                assertEquals(2, a.requests.size());
                assertEquals(1, a.accepted(), "the pooled connection serves the second call");
                assertEquals(0, b.accepted());
                assertEquals(1, imposter.accepted());
                assertEquals(0, imposter.requests.size());
            }
            // The order is the list's, not the order of the ports.
            try (MorvalenXAResource res = resource(Duration.ofSeconds(5), b.port(), a.port())) {
                res.prepare(XID);
                assertEquals(1, b.requests.size());
                assertEquals(2, a.requests.size());
            }
        }
        // A first endpoint that accepts but never answers the handshake costs one time-out.
        try (ServerSocket mute = new ServerSocket(0, 1, InetAddress.getLoopbackAddress());
             FakeService a = new FakeService(r -> OK);
             MorvalenXAResource res = resource(Duration.ofMillis(300), mute.getLocalPort(), a.port())) {
            res.commit(XID, false);
            assertEquals(1, a.requests.size());
        }
    }

    @Test
    void whenEveryEndpointFailsTheCallIsRmfailWithTheLastFailureAsCause() throws Exception {
        int first = refusingPort();
        try (FakeService imposter = new FakeService("Morvalex".getBytes(), r -> OK)) {
            int[] ports = {first, imposter.port()};
            try (MorvalenXAResource res = resource(Duration.ofSeconds(5), ports)) {
                for (Executable call : List.<Executable>of(() -> res.commit(XID, false),
                        () -> res.start(XID, XAResource.TMNOFLAGS), () -> res.recover(XAResource.TMSTARTRSCAN))) {
                    XAException e = assertThrows(XAException.class, call::run);
                    assertEquals(XAException.XAER_RMFAIL, e.errorCode);
                    assertInstanceOf(ProtocolException.class, e.getCause(), "the last endpoint's failure");
                    assertEquals(1, e.getSuppressed().length);
                    assertInstanceOf(ConnectException.class, e.getSuppressed()[0], "the first endpoint's");
                    assertTrue(e.getMessage().contains(at(first)) && e.getMessage().contains(at(imposter.port())),
                            e.getMessage());
                }
            }
        }
        // One endpoint: as it always was, no suppressed failures.
        try (MorvalenXAResource res = resource(Duration.ofSeconds(5), first)) {
            XAException e = assertThrows(XAException.class, () -> res.commit(XID, false));
            assertEquals(XAException.XAER_RMFAIL, e.errorCode);
            assertInstanceOf(ConnectException.class, e.getCause());
            assertEquals(0, e.getSuppressed().length);
        }
        // A silent endpoint: each attempt ends with its own time-out.
        try (ServerSocket mute = new ServerSocket(0, 1, InetAddress.getLoopbackAddress());
             MorvalenXAResource res = resource(Duration.ofMillis(200), first, mute.getLocalPort())) {
            XAException e = assertThrows(XAException.class, () -> res.prepare(XID));
            assertInstanceOf(SocketTimeoutException.class, e.getCause());
        }
    }

    @Test
    void aRequestIsNeverSentToASecondEndpointWithinOneCall() throws Exception {
        // a takes the request and closes without an answer, so its outcome is unknown.
        try (FakeService a = new FakeService(Wire.HANDSHAKE_REPLY, r -> new byte[] {8}, true);
             FakeService b = new FakeService(r -> OK);
             MorvalenXAResource res = resource(Duration.ofSeconds(5), a.port(), b.port())) {
            XAException e = assertThrows(XAException.class, () -> res.commit(XID, false));
            assertEquals(XAException.XAER_RMFAIL, e.errorCode);
            assertTrue(e.getMessage().contains(at(a.port())), e.getMessage());
            assertEquals(0, b.accepted());
            // The manager's retry connects again, from the first endpoint.
            assertThrows(XAException.class, () -> res.commit(XID, false));
            assertEquals(2, a.accepted());
            assertEquals(0, b.accepted());
        }
    }

    @Test
    void anEndpointThatAnswersRmfailSendsTheNextCallToTheFollowingOne() throws Exception {
        // a: a service whose coordinator is not active; b: the active one.
        try (FakeService a = new FakeService(r -> FakeService.reply(XAException.XAER_RMFAIL, new byte[0]));
             FakeService b = new FakeService(r -> OK);
             MorvalenXAResource res = resource(Duration.ofSeconds(5), a.port(), b.port())) {
            XAException e = assertThrows(XAException.class, () -> res.prepare(XID));
            assertEquals(XAException.XAER_RMFAIL, e.errorCode);
            assertEquals(0, b.accepted(), "not sent again within the call");
            res.prepare(XID);
            res.commit(XID, false);
            assertEquals(1, a.requests.size());
            assertEquals(2, b.requests.size());
            assertEquals(1, b.accepted());
        }
        // With one endpoint the answer is only a result: the connection is kept.
        try (FakeService a = new FakeService(r -> FakeService.reply(XAException.XAER_RMFAIL, new byte[0]));
             MorvalenXAResource res = resource(Duration.ofSeconds(5), a.port())) {
            assertThrows(XAException.class, () -> res.prepare(XID));
            assertThrows(XAException.class, () -> res.prepare(XID));
            assertEquals(1, a.accepted());
        }
    }

    @Test
    void listsParseInEveryFormAndBadOnesAreRefused() {
        assertEquals(List.of(new Endpoint("h", 1439)), Endpoint.parseList("h", 1439));
        assertEquals(List.of(new Endpoint("host1", 1439), new Endpoint("host2", 1440), new Endpoint("::1", 7),
                        new Endpoint("fe80::1", 9), new Endpoint("10.0.0.2", 9)),
                Endpoint.parseList("host1:1439, host2:1440 ,[::1]:7,fe80::1,10.0.0.2", 9));
        assertEquals(List.of(new Endpoint("::1", 1439)), Endpoint.parseList("[::1]", 1439));
        for (String bad : List.of("", " ", "a,", ",a", "a,,b", "a:0", "a:65536", "a:", "a:x1", ":5", "[::1",
                "[::1]5", "[]:5", "a:123456")) {
            assertThrows(IllegalArgumentException.class, () -> Endpoint.parseList(bad, 1439), bad);
        }
        assertThrows(IllegalArgumentException.class, () -> new MorvalenXAResource("h", 0));
        assertThrows(IllegalArgumentException.class, () -> new MorvalenXAResource("a,b:70000"));

        MorvalenXAResource one = new MorvalenXAResource("db-host", 1500);
        assertEquals("db-host", one.getHost());
        assertEquals(1500, one.getPort());
        assertEquals("MorvalenXAResource[db-host:1500]", one.toString());
        MorvalenXAResource two = new MorvalenXAResource("XA1:1439,xa2");
        assertEquals(List.of("XA1:1439", "xa2:1439"), two.getEndpoints());
        assertTrue(two.isSameRM(new MorvalenXAResource("xa2,xa1")), "the same hosts in another order");
        assertFalse(two.isSameRM(new MorvalenXAResource("xa1")));
        assertFalse(two.isSameRM(new MorvalenXAResource("xa1,xa2:1440")));
        assertFalse(new MorvalenXAResource("xa1").isSameRM(two));

        Properties p = new Properties();
        p.setProperty("endpoints", "xa1,xa2:1500");
        p.setProperty("port", "1600");
        p.setProperty("timeoutMs", "2500");
        assertEquals(List.of("xa1:1600", "xa2:1500"), MorvalenXAResource.fromProperties(p, null).getEndpoints());
        Properties host = new Properties();
        host.setProperty("host", "db-host");
        MorvalenXAResource fromHost = MorvalenXAResource.fromProperties(host, null);
        assertEquals(1439, fromHost.getPort());
        p.setProperty("timeoutMs", "soon");
        assertThrows(IllegalArgumentException.class, () -> MorvalenXAResource.fromProperties(p, null));
        assertThrows(IllegalArgumentException.class, () -> MorvalenXAResource.fromProperties(new Properties(), null));
    }

    interface Executable {
        void run() throws Exception;
    }
}
