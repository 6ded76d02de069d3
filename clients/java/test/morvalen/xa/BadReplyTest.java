package morvalen.xa;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertInstanceOf;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.net.InetAddress;
import java.net.ProtocolException;
import java.net.ServerSocket;
import java.net.SocketTimeoutException;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.time.Duration;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
import javax.transaction.xa.XAException;
import javax.transaction.xa.XAResource;
import javax.transaction.xa.Xid;
import org.junit.jupiter.api.Test;

/**
 * The client against a stand-in service on a loopback port: how it encodes
 * requests, maps every result code, scans recover, and copes with replies the
 * real service never sends.
 */
class BadReplyTest {
    private static final Xid XID = new MorvalenXid(0x4D56, "order-1".getBytes(), "db".getBytes());

    private static MorvalenXAResource resource(FakeService fake) {
        return new MorvalenXAResource("127.0.0.1", fake.port(), Duration.ofSeconds(5));
    }

    private static int code(Executable call) {
        return assertThrows(XAException.class, call::run).errorCode;
    }

    interface Executable {
        void run() throws Exception;
    }

    @Test
    void requestFramesAreLittleEndianWithTheXidBody() throws Exception {
        try (FakeService fake = new FakeService(r -> FakeService.reply(0, new byte[0]));
             MorvalenXAResource res = resource(fake)) {
            res.commit(XID, true);
            res.end(XID, XAResource.TMSUSPEND);
            byte[] commit = fake.requests.get(0);
            byte[] expected = ByteBuffer.allocate(25).order(ByteOrder.LITTLE_ENDIAN).putInt(0).put((byte) 5)
                    .putInt(XAResource.TMONEPHASE).put((byte) 15).putInt(0x4D56).put((byte) 7).put((byte) 2)
                    .put("order-1db".getBytes()).array();
            assertArrayEquals(expected, commit);
            assertEquals(1, fake.requests.get(1)[4]);
            assertEquals(XAResource.TMSUSPEND, Wire.getInt(fake.requests.get(1), 5));
            assertEquals(1, fake.accepted(), "one connection serves both requests");
        }
    }

    @Test
    void everyResultCodeReachesTheCallerUnchanged() throws Exception {
        AtomicInteger next = new AtomicInteger();
        // A start reply with a result of 0 or more carries a cookie field (-1: none).
        try (FakeService fake = new FakeService(r -> FakeService.reply(next.get(),
                r[4] == Wire.START && next.get() >= 0 ? FakeService.ints(-1) : new byte[0]));
             MorvalenXAResource res = resource(fake)) {
            int[] failures = {-2, -3, -4, -5, -6, -7, -8, -9, 4, 5, 6, 7, 8, 9,
                100, 101, 102, 103, 104, 105, 106, 107};
            for (int result : failures) {
                next.set(result);
                assertEquals(result, code(() -> res.commit(XID, false)), "commit " + result);
                assertEquals(result, code(() -> res.rollback(XID)), "rollback " + result);
                assertEquals(result, code(() -> res.end(XID, XAResource.TMSUCCESS)), "end " + result);
                assertEquals(result, code(() -> res.forget(XID)), "forget " + result);
                assertEquals(result, code(() -> res.prepare(XID)), "prepare " + result);
                assertEquals(result, code(() -> res.start(XID, XAResource.TMNOFLAGS)), "start " + result);
            }
            // Codes outside XA's set (the service's own, HRESULTs) arrive as
            // XAER_RMERR with the service's code in the message.
            int[] foreign = {-1, -1048577, -2228225, 0x80004005, 1, 2, 99, 108};
            for (int result : foreign) {
                next.set(result);
                for (BadReplyTest.Executable call : List.<BadReplyTest.Executable>of(() -> res.commit(XID, false),
                        () -> res.rollback(XID), () -> res.end(XID, XAResource.TMSUCCESS), () -> res.forget(XID),
                        () -> res.prepare(XID), () -> res.start(XID, XAResource.TMNOFLAGS))) {
                    XAException e = assertThrows(XAException.class, call::run);
                    assertEquals(XAException.XAER_RMERR, e.errorCode, "result " + result);
                    assertTrue(e.getMessage().contains(Integer.toString(result)), e.getMessage());
                }
            }
            next.set(XAResource.XA_RDONLY);
            assertEquals(XAResource.XA_RDONLY, res.prepare(XID));
            next.set(XAResource.XA_OK);
            assertEquals(XAResource.XA_OK, res.prepare(XID));
            assertEquals(1, fake.accepted(), "failure results keep the connection");
        }
    }

    @Test
    void theCookieOfAStartIsKeptUntilTheBranchCompletes() throws Exception {
        byte[] cookie = {1, 2, 3, 4, 5};
        try (FakeService fake = new FakeService(r -> r[4] == Wire.START
                ? FakeService.reply(0, concat(FakeService.ints(cookie.length), cookie))
                : FakeService.reply(0, new byte[0]));
             MorvalenXAResource res = resource(fake)) {
            res.start(XID, XAResource.TMNOFLAGS);
            assertArrayEquals(cookie, res.getCookie(XID));
            assertArrayEquals(cookie, res.getCookie(MorvalenXid.of(XID)), "found by value, not identity");
            assertArrayEquals(cookie, res.currentCookie());
            res.getCookie(XID)[0] = 99;
            assertArrayEquals(cookie, res.getCookie(XID), "callers get copies");
            ExecutorService other = Executors.newSingleThreadExecutor();
            assertNull(other.submit(res::currentCookie).get(), "another thread has no branch of its own");
            other.shutdown();
            res.end(XID, XAResource.TMSUCCESS);
            assertNull(res.currentCookie());
            assertArrayEquals(cookie, res.getCookie(XID), "still readable between end and commit");
            res.commit(XID, true);
            assertNull(res.getCookie(XID));
            assertNull(res.getCookie(null));
        }
    }

    @Test
    void aStartWithoutCookieAndStartRepliesOfTheWrongShape() throws Exception {
        AtomicInteger mode = new AtomicInteger();
        try (FakeService fake = new FakeService(r -> switch (mode.get()) {
            case 0 -> FakeService.reply(0, FakeService.ints(-1));
            case 1 -> FakeService.reply(0, new byte[0]);                        // no cookie field
            case 2 -> FakeService.reply(0, concat(FakeService.ints(9), new byte[3]));  // says 9, carries 3
            default -> FakeService.reply(-4, FakeService.ints(0));              // a payload behind a failure
        });
             MorvalenXAResource res = resource(fake)) {
            res.start(XID, XAResource.TMNOFLAGS);
            assertNull(res.getCookie(XID));
            for (int m = 1; m <= 3; m++) {
                mode.set(m);
                XAException e = assertThrows(XAException.class, () -> res.start(XID, XAResource.TMJOIN));
                assertEquals(XAException.XAER_RMFAIL, e.errorCode, "mode " + m);
                assertInstanceOf(ProtocolException.class, e.getCause());
            }
            assertEquals(3, fake.accepted(), "each bad reply dropped its connection");
        }
    }

    @Test
    void repliesCutShortTooLongOrOutOfRangeCloseTheConnection() throws Exception {
        List<byte[]> bad = List.of(
                FakeService.frame(20, 0, new byte[4]),                         // cut: 12 of 20 bytes, then closed
                concat(FakeService.reply(0, new byte[0]), new byte[] {7, 7}),  // bytes behind the frame
                FakeService.frame(1001, 0, new byte[0]),                       // longer than any reply
                FakeService.frame(7, 0, new byte[0]),                          // shorter than its header
                FakeService.reply(0, new byte[] {1, 2, 3, 4}));                // a payload behind a commit
        for (byte[] answer : bad) {
            try (FakeService fake = new FakeService(Wire.HANDSHAKE_REPLY, r -> answer, true)) {
                MorvalenXAResource res = resource(fake);
                long started = System.nanoTime();
                XAException e = assertThrows(XAException.class, () -> res.commit(XID, false));
                assertEquals(XAException.XAER_RMFAIL, e.errorCode);
                assertNotNull(e.getCause());
                assertTrue(System.nanoTime() - started < TimeUnit.SECONDS.toNanos(4), "no wait for the time-out");
                assertEquals(XAException.XAER_RMFAIL, code(() -> res.commit(XID, false)));
                assertEquals(2, fake.accepted(), "the second request went on a new connection");
                res.close();
            }
        }
    }

    @Test
    void noReplyWithinTheTimeOutIsRmfail() throws Exception {
        try (FakeService fake = new FakeService(r -> null);
             MorvalenXAResource res = new MorvalenXAResource("127.0.0.1", fake.port(), Duration.ofMillis(300))) {
            long started = System.nanoTime();
            XAException e = assertThrows(XAException.class, () -> res.prepare(XID));
            long ms = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - started);
            assertEquals(XAException.XAER_RMFAIL, e.errorCode);
            assertInstanceOf(SocketTimeoutException.class, e.getCause());
            assertTrue(ms >= 250 && ms < 3000, "took " + ms + " ms");
        }
    }

    @Test
    void anUnknownHostIsRmfailWithItsCauseAndTheDefaultTimeOutOutlastsThePhaseOneTimeOut() throws Exception {
        try (MorvalenXAResource nowhere = new MorvalenXAResource("no-such-host.invalid", 1439, Duration.ofSeconds(5))) {
            for (BadReplyTest.Executable call : List.<BadReplyTest.Executable>of(() -> nowhere.commit(XID, false),
                    () -> nowhere.start(XID, XAResource.TMNOFLAGS), () -> nowhere.recover(XAResource.TMSTARTRSCAN))) {
                XAException e = assertThrows(XAException.class, call::run);
                assertEquals(XAException.XAER_RMFAIL, e.errorCode);
                assertNotNull(e.getCause());
            }
        }
        // The coordinator gives up on a silent participant after 30 s and
        // answers XA_RBTIMEOUT: the resource must still be waiting then.
        assertTrue(MorvalenXAResource.DEFAULT_TIMEOUT.compareTo(Duration.ofSeconds(60)) >= 0);
    }

    @Test
    void aRefusedConnectionOrAWrongHandshakeIsRmfail() throws Exception {
        int port;
        try (ServerSocket s = new ServerSocket(0, 1, InetAddress.getLoopbackAddress())) {
            port = s.getLocalPort();
        }
        MorvalenXAResource refused = new MorvalenXAResource("127.0.0.1", port, Duration.ofSeconds(5));
        XAException e = assertThrows(XAException.class, () -> refused.rollback(XID));
        assertEquals(XAException.XAER_RMFAIL, e.errorCode);
        assertNotNull(e.getCause());

        try (FakeService fake = new FakeService("Morvalem".getBytes(), r -> FakeService.reply(0, new byte[0]));
             MorvalenXAResource res = resource(fake)) {
            e = assertThrows(XAException.class, () -> res.rollback(XID));
            assertEquals(XAException.XAER_RMFAIL, e.errorCode);
            assertInstanceOf(ProtocolException.class, e.getCause());
            assertTrue(fake.requests.isEmpty());
        }
    }

    @Test
    void xidsThatCannotBeSentAreRefusedBeforeAnythingIsSent() throws Exception {
        try (FakeService fake = new FakeService(r -> FakeService.reply(0, new byte[0]));
             MorvalenXAResource res = resource(fake)) {
            List<Xid> bad = new ArrayList<>();
            bad.add(null);
            bad.add(new MorvalenXid(1, new byte[65], new byte[1]));
            bad.add(new MorvalenXid(1, new byte[1], new byte[65]));
            bad.add(new MorvalenXid(1, new byte[1], new byte[0]));  // fewer than two data bytes
            bad.add(new MorvalenXid(-1, new byte[4], new byte[4]));  // the null XID
            bad.add(new Xid() {
                public int getFormatId() {
                    return 1;
                }

                public byte[] getGlobalTransactionId() {
                    return null;
                }

                public byte[] getBranchQualifier() {
                    return new byte[2];
                }
            });
            for (Xid x : bad) {
                assertEquals(XAException.XAER_INVAL, code(() -> res.start(x, XAResource.TMNOFLAGS)));
                assertEquals(XAException.XAER_INVAL, code(() -> res.end(x, XAResource.TMSUCCESS)));
                assertEquals(XAException.XAER_INVAL, code(() -> res.prepare(x)));
                assertEquals(XAException.XAER_INVAL, code(() -> res.commit(x, false)));
                assertEquals(XAException.XAER_INVAL, code(() -> res.rollback(x)));
                assertEquals(XAException.XAER_INVAL, code(() -> res.forget(x)));
            }
            assertEquals(XAException.XAER_INVAL, code(() -> res.recover(XAResource.TMJOIN)));
            res.commit(new MorvalenXid(1, new byte[64], new byte[64]), false);  // the longest that fits
            assertEquals(1, fake.requests.size());
            assertEquals(144, fake.requests.get(0).length);
        }
    }

    @Test
    void recoverScansUntilAShortReplyAndEndsTheScan() throws Exception {
        List<Xid> held = new ArrayList<>();
        for (int i = 0; i < 17; i++) {
            held.add(new MorvalenXid(7, ("gtrid-" + i).getBytes(), new byte[] {(byte) i}));
        }
        AtomicInteger cursor = new AtomicInteger();
        List<Integer> flags = new ArrayList<>();
        try (FakeService fake = new FakeService(r -> {
            int f = Wire.getInt(r, 5);
            flags.add(f);
            if ((f & XAResource.TMSTARTRSCAN) != 0) {
                cursor.set(0);
            }
            List<Xid> batch = held.subList(Math.min(cursor.get(), held.size()), Math.min(cursor.get() + 7, held.size()));
            cursor.addAndGet(batch.size());
            return recoverReply(batch);
        });
             MorvalenXAResource res = resource(fake)) {
            Xid[] all = res.recover(XAResource.TMSTARTRSCAN | XAResource.TMENDRSCAN);
            assertEquals(held, List.of(all));
            assertEquals(List.of(XAResource.TMSTARTRSCAN, XAResource.TMNOFLAGS, XAResource.TMNOFLAGS,
                    XAResource.TMENDRSCAN), flags);
            // A manager's follow-up calls of the same scan get nothing more, and send nothing.
            assertEquals(0, res.recover(XAResource.TMNOFLAGS).length);
            assertEquals(0, res.recover(XAResource.TMENDRSCAN).length);
            assertEquals(4, fake.requests.size());

            held.subList(7, 17).clear();  // exactly one full reply
            flags.clear();
            assertEquals(7, res.recover(XAResource.TMSTARTRSCAN).length);
            assertEquals(List.of(XAResource.TMSTARTRSCAN, XAResource.TMNOFLAGS, XAResource.TMENDRSCAN), flags);
        }
    }

    @Test
    void recoverRepliesThatDoNotAddUpAreRmfail() throws Exception {
        byte[] entry = Wire.xidBody(XID);
        List<byte[]> bad = List.of(
                FakeService.reply(2, concat(FakeService.ints(entry.length), entry)),      // says 2, holds 1
                FakeService.reply(1, concat(FakeService.ints(entry.length + 1), entry)),  // byte count off
                FakeService.reply(8, FakeService.ints(0)),                                 // more than 7
                FakeService.reply(0, new byte[0]));                                        // no count word
        for (byte[] answer : bad) {
            try (FakeService fake = new FakeService(r -> answer); MorvalenXAResource res = resource(fake)) {
                assertEquals(XAException.XAER_RMFAIL, code(() -> res.recover(XAResource.TMSTARTRSCAN)));
            }
        }
        try (FakeService fake = new FakeService(r -> FakeService.reply(-7, new byte[0]));
             MorvalenXAResource res = resource(fake)) {
            assertEquals(XAException.XAER_RMFAIL, code(() -> res.recover(XAResource.TMSTARTRSCAN)));
        }
    }

    @Test
    void threadsShareOneResourceWithOneRequestAtATimePerConnection() throws Exception {
        try (FakeService fake = new FakeService(r -> FakeService.reply(0, new byte[0]));
             MorvalenXAResource res = resource(fake)) {
            ExecutorService pool = Executors.newFixedThreadPool(4);
            List<Future<?>> done = new ArrayList<>();
            for (int t = 0; t < 4; t++) {
                int id = t;
                done.add(pool.submit(() -> {
                    for (int i = 0; i < 400; i++) {
                        Xid x = new MorvalenXid(1, ("t" + id + "-" + i).getBytes(), new byte[] {1});
                        res.commit(x, true);
                    }
                    return null;
                }));
            }
            for (Future<?> f : done) {
                f.get(60, TimeUnit.SECONDS);
            }
            pool.shutdown();
            assertEquals(0, fake.overlaps.get(), "a request was sent before the previous reply");
            assertEquals(1600, fake.requests.size());
            // Four threads never hold more connections than the pool keeps idle: none is closed and reopened.
            assertTrue(fake.accepted() <= 4, fake.accepted() + " connections for 4 threads");
        }
    }

    @Test
    void sameRmAndTimeOut() {
        MorvalenXAResource a = new MorvalenXAResource("localhost", 1439);
        assertTrue(a.isSameRM(new MorvalenXAResource("LOCALHOST", 1439)));
        assertFalse(a.isSameRM(new MorvalenXAResource("localhost", 1440)));
        assertFalse(a.isSameRM(new MorvalenXAResource("otherhost", 1439)));
        assertFalse(a.setTransactionTimeout(30));
        assertEquals(0, a.getTransactionTimeout());
        assertThrows(IllegalArgumentException.class, () -> new MorvalenXAResource("localhost", 0));
    }

    private static byte[] recoverReply(List<Xid> xids) {
        ByteBuffer body = ByteBuffer.allocate(1000).order(ByteOrder.LITTLE_ENDIAN);
        for (Xid x : xids) {
            try {
                body.put(Wire.xidBody(x));
            } catch (XAException e) {
                throw new IllegalStateException(e);
            }
        }
        byte[] entries = new byte[body.position()];
        body.flip().get(entries);
        return FakeService.reply(xids.size(), concat(FakeService.ints(entries.length), entries));
    }

    static byte[] concat(byte[] a, byte[] b) {
        byte[] out = new byte[a.length + b.length];
        System.arraycopy(a, 0, out, 0, a.length);
        System.arraycopy(b, 0, out, a.length, b.length);
        return out;
    }
}
