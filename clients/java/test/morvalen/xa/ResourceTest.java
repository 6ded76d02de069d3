package morvalen.xa;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.time.Duration;
import java.util.ArrayList;
import java.util.HashSet;
import java.util.List;
import java.util.Set;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
import javax.transaction.xa.XAException;
import javax.transaction.xa.XAResource;
import javax.transaction.xa.Xid;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/** The resource alone against the real morvalen and dtcd. */
class ResourceTest {
    private static final AtomicInteger serial = new AtomicInteger();
    private Services services;
    private MorvalenXAResource res;

    @BeforeEach
    void start() throws Exception {
        services = new Services();
        services.start();
        res = new MorvalenXAResource("127.0.0.1", Services.PORT, Duration.ofSeconds(10));
    }

    @AfterEach
    void stop() throws Exception {
        res.close();
        services.close();
    }

    private static Xid newXid() {
        return new MorvalenXid(0x4D56, ("java-" + ProcessHandle.current().pid() + "-" + serial.incrementAndGet()).getBytes(),
                "b1".getBytes());
    }

    private static int code(BadReplyTest.Executable call) {
        return assertThrows(XAException.class, call::run).errorCode;
    }

    private Set<Xid> recovered() throws XAException {
        return Set.of(res.recover(XAResource.TMSTARTRSCAN | XAResource.TMENDRSCAN));
    }

    @Test
    void aWholeBranchWithItsCookieAndJoinAndResume() throws Exception {
        Xid x = newXid();
        res.start(x, XAResource.TMNOFLAGS);
        byte[] cookie = res.getCookie(x);
        assertNotNull(cookie, "the service hands out a cookie");
        assertTrue(cookie.length > 0);
        assertArrayEquals(cookie, res.currentCookie());
        res.end(x, XAResource.TMSUSPEND);
        res.start(x, XAResource.TMRESUME);
        assertArrayEquals(cookie, res.currentCookie(), "resume: the same cookie");
        res.end(x, XAResource.TMSUCCESS);
        res.start(x, XAResource.TMJOIN);
        assertArrayEquals(cookie, res.currentCookie(), "join: the same cookie");
        res.end(x, XAResource.TMSUCCESS);
        assertEquals(XAResource.XA_OK, res.prepare(x));
        assertTrue(recovered().contains(x), "prepared: listed by recover");
        res.commit(x, false);
        assertNull(res.getCookie(x));
        assertTrue(recovered().isEmpty());

        Xid onePhase = newXid();
        res.start(onePhase, XAResource.TMNOFLAGS);
        res.end(onePhase, XAResource.TMSUCCESS);
        res.commit(onePhase, true);
        assertEquals(XAException.XAER_NOTA, code(() -> res.commit(onePhase, true)), "gone after a one-phase commit");
    }

    @Test
    void errorPathsArriveWithTheirCodes() throws Exception {
        assertEquals(XAException.XAER_NOTA, code(() -> res.commit(newXid(), false)));
        assertEquals(XAException.XAER_NOTA, code(() -> res.rollback(newXid())));

        Xid x = newXid();
        res.start(x, XAResource.TMNOFLAGS);
        assertEquals(XAException.XAER_DUPID, code(() -> res.start(x, XAResource.TMNOFLAGS)));
        assertEquals(XAException.XAER_PROTO, code(() -> res.prepare(x)), "prepare while still associated");
        res.end(x, XAResource.TMSUCCESS);
        assertEquals(XAException.XAER_PROTO, code(() -> res.commit(x, false)), "two-phase commit before prepare");
        res.rollback(x);

        // A branch ended with TMFAIL is rolled back: its prepare says so.
        Xid failed = newXid();
        res.start(failed, XAResource.TMNOFLAGS);
        res.end(failed, XAResource.TMFAIL);
        assertEquals(XAException.XA_RBROLLBACK, code(() -> res.prepare(failed)));
        Xid failedOnePhase = newXid();
        res.start(failedOnePhase, XAResource.TMNOFLAGS);
        res.end(failedOnePhase, XAResource.TMFAIL);
        assertEquals(XAException.XA_RBROLLBACK, code(() -> res.commit(failedOnePhase, true)));
        assertTrue(recovered().isEmpty());
    }

    @Test
    void recoverListsMoreInDoubtBranchesThanOneReplyHolds() throws Exception {
        List<Xid> prepared = new ArrayList<>();
        for (int i = 0; i < 17; i++) {
            Xid x = newXid();
            res.start(x, XAResource.TMNOFLAGS);
            res.end(x, XAResource.TMSUCCESS);
            assertEquals(XAResource.XA_OK, res.prepare(x));
            prepared.add(x);
        }
        Xid[] first = res.recover(XAResource.TMSTARTRSCAN);
        assertEquals(new HashSet<>(prepared), Set.of(first));
        assertEquals(0, res.recover(XAResource.TMNOFLAGS).length);
        assertEquals(0, res.recover(XAResource.TMENDRSCAN).length);
        for (Xid x : first) {
            res.commit(x, false);
        }
        assertTrue(recovered().isEmpty());
    }

    @Test
    void aServiceThatIsDownOrKilledMidRequestIsRmfailQuickly() throws Exception {
        Xid x = newXid();
        res.start(x, XAResource.TMNOFLAGS);
        res.end(x, XAResource.TMSUCCESS);
        res.prepare(x);

        // Stopped: the reply does not come, the time-out answers.
        services.signalMorvalen("STOP");
        try (MorvalenXAResource impatient = new MorvalenXAResource("127.0.0.1", Services.PORT, Duration.ofMillis(500))) {
            long started = System.nanoTime();
            assertEquals(XAException.XAER_RMFAIL, code(() -> impatient.recover(XAResource.TMSTARTRSCAN)));
            assertTrue(System.nanoTime() - started < TimeUnit.SECONDS.toNanos(5));
        }
        // Killed while a request waits for its reply: the closed connection answers, not the 10 s time-out.
        ExecutorService caller = Executors.newSingleThreadExecutor();
        long started = System.nanoTime();
        Future<Integer> pending = caller.submit(() -> code(() -> res.commit(x, false)));
        Services.waitForUnreadRequest();
        services.killMorvalen();
        assertEquals(XAException.XAER_RMFAIL, pending.get(10, TimeUnit.SECONDS));
        assertTrue(System.nanoTime() - started < TimeUnit.SECONDS.toNanos(5));
        caller.shutdown();

        // Down: the connection is refused.
        started = System.nanoTime();
        assertEquals(XAException.XAER_RMFAIL, code(() -> res.rollback(x)));
        assertTrue(System.nanoTime() - started < TimeUnit.SECONDS.toNanos(5));

        // Up again: the same resource connects anew and finds the branch in doubt.
        services.startMorvalen();
        assertTrue(recovered().contains(x));
        res.commit(x, false);
        assertTrue(recovered().isEmpty());
    }

    @Test
    void threadsRunBranchesThroughOneResource() throws Exception {
        ExecutorService pool = Executors.newFixedThreadPool(6);
        List<Future<?>> done = new ArrayList<>();
        for (int t = 0; t < 6; t++) {
            done.add(pool.submit(() -> {
                for (int i = 0; i < 15; i++) {
                    Xid x = newXid();
                    res.start(x, XAResource.TMNOFLAGS);
                    byte[] cookie = res.currentCookie();
                    assertArrayEquals(cookie, res.getCookie(x));
                    res.end(x, XAResource.TMSUCCESS);
                    if (i % 2 == 0) {
                        res.commit(x, true);
                    } else {
                        assertEquals(XAResource.XA_OK, res.prepare(x));
                        res.commit(x, false);
                    }
                }
                return null;
            }));
        }
        for (Future<?> f : done) {
            f.get(120, TimeUnit.SECONDS);
        }
        pool.shutdown();
        assertTrue(recovered().isEmpty());
    }
}
