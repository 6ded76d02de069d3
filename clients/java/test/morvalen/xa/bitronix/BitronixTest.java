package morvalen.xa.bitronix;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import bitronix.tm.BitronixTransactionManager;
import bitronix.tm.resource.jdbc.PoolingDataSource;
import java.nio.file.Files;
import java.nio.file.Path;
import java.sql.Connection;
import java.sql.SQLException;
import java.sql.Statement;
import java.util.List;
import java.util.concurrent.atomic.AtomicInteger;
import javax.transaction.RollbackException;
import javax.transaction.Transaction;
import morvalen.xa.Services;
import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/**
 * Bitronix coordinating a Morvalen branch and a PostgreSQL branch (through
 * PGXADataSource) in one global transaction, against the real dtcd, morvalen
 * and a private PostgreSQL cluster.
 */
class BitronixTest {
    private static final AtomicInteger ids = new AtomicInteger(100);
    private static Services services;
    private static BitronixTransactionManager tm;
    private static PoolingDataSource pg;
    private static Btm.Recording morvalen;
    private static MorvalenXAResourceProducer producer;
    private static Path pgSocket;

    @BeforeAll
    static void startAll() throws Exception {
        services = new Services();
        services.start();
        services.startPostgres();
        pgSocket = services.postgresSocketDir();
        Btm.createTables(pgSocket);
        Path journal = Files.createDirectories(services.work().resolve("journal"));
        tm = Btm.start(journal);
        pg = Btm.postgres(pgSocket);
        morvalen = new Btm.Recording("127.0.0.1", Services.PORT);
        producer = new MorvalenXAResourceProducer(Btm.MORVALEN_NAME, morvalen);
        producer.init();
    }

    @AfterAll
    static void stopAll() throws Exception {
        if (producer != null) {
            producer.close();
        }
        if (pg != null) {
            pg.close();
        }
        if (tm != null) {
            tm.shutdown();
        }
        if (services != null) {
            services.close();
        }
    }

    @BeforeEach
    void clearCalls() {
        morvalen.failBranches = false;
        morvalen.clear();
    }

    private static void insert(int id) throws SQLException {
        try (Connection c = pg.getConnection(); Statement s = c.createStatement()) {
            s.executeUpdate("INSERT INTO orders VALUES (" + id + ", 'from Bitronix')");
        }
    }

    private static void assertNothingInDoubt() throws Exception {
        assertEquals(0, Btm.inDoubtInMorvalen(morvalen));
        assertEquals(0, Btm.preparedInPostgres(pgSocket));
    }

    @Test
    void aCommitReachesBoth() throws Exception {
        int id = ids.incrementAndGet();
        tm.begin();
        insert(id);
        assertTrue(tm.getTransaction().enlistResource(morvalen));
        byte[] cookie = morvalen.currentCookie();
        assertNotNull(cookie, "the application reads the branch's cookie");
        tm.commit();
        assertTrue(Btm.orderExists(pgSocket, id));
        assertEquals(List.of("start 0", "end 4000000", "prepare 0", "commit"), morvalen.calls());
        assertNothingInDoubt();
    }

    @Test
    void aRollbackReachesNeither() throws Exception {
        int id = ids.incrementAndGet();
        tm.begin();
        insert(id);
        tm.getTransaction().enlistResource(morvalen);
        tm.rollback();
        assertFalse(Btm.orderExists(pgSocket, id));
        assertEquals(List.of("start 0", "end 4000000", "rollback"), morvalen.calls());
        assertNothingInDoubt();
    }

    @Test
    void aPostgresFailureBeforePrepareReachesNeither() throws Exception {
        int id = ids.incrementAndGet();
        tm.begin();
        tm.getTransaction().enlistResource(morvalen);
        insert(id);
        assertThrows(SQLException.class, () -> insert(id));  // the same key twice
        tm.rollback();
        assertFalse(Btm.orderExists(pgSocket, id));
        assertTrue(morvalen.calls().contains("rollback"), morvalen.calls().toString());
        assertNothingInDoubt();
    }

    @Test
    void aPostgresPrepareThatFailsRollsMorvalenBack() throws Exception {
        int id = ids.incrementAndGet();
        tm.begin();
        tm.getTransaction().enlistResource(morvalen);
        insert(id);
        try (Connection c = pg.getConnection(); Statement s = c.createStatement()) {
            s.executeUpdate("INSERT INTO late VALUES (" + id + "), (" + id + ")");  // checked at prepare
        }
        assertThrows(RollbackException.class, tm::commit);
        assertFalse(Btm.orderExists(pgSocket, id));
        assertTrue(morvalen.calls().contains("rollback"), morvalen.calls().toString());
        assertFalse(morvalen.calls().contains("commit"));
        assertNothingInDoubt();
    }

    @Test
    void aMorvalenPrepareThatFailsRollsPostgresBack() throws Exception {
        int id = ids.incrementAndGet();
        morvalen.failBranches = true;
        tm.begin();
        insert(id);
        tm.getTransaction().enlistResource(morvalen);
        assertThrows(RollbackException.class, tm::commit);
        assertFalse(Btm.orderExists(pgSocket, id));
        assertTrue(morvalen.calls().contains("prepare 100"), morvalen.calls().toString());  // XA_RBROLLBACK
        assertNothingInDoubt();
    }

    @Test
    void suspendResumeAndASecondEnlistmentJoinTheBranch() throws Exception {
        int id = ids.incrementAndGet();
        tm.begin();
        Transaction tx = tm.getTransaction();
        tx.enlistResource(morvalen);
        byte[] cookie = morvalen.currentCookie();
        insert(id);
        Transaction suspended = tm.suspend();
        assertNull(tm.getTransaction());
        assertNull(morvalen.currentCookie(), "suspended: the thread holds no branch");
        tm.resume(suspended);
        assertArrayEquals(cookie, morvalen.currentCookie(), "resumed: the same branch");
        tx.delistResource(morvalen, javax.transaction.xa.XAResource.TMSUCCESS);
        tx.enlistResource(morvalen);  // the same resource again: the same branch, joined
        assertArrayEquals(cookie, morvalen.currentCookie());
        tm.commit();
        assertTrue(Btm.orderExists(pgSocket, id));
        List<String> calls = morvalen.calls();
        assertEquals(1, calls.stream().filter(c -> c.equals("start 0")).count(), calls.toString());
        assertTrue(calls.contains("start 200000"), "joined with TMJOIN: " + calls);
        assertEquals("commit", calls.get(calls.size() - 1));
        assertNothingInDoubt();
    }

    @Test
    void morvalenAloneCommitsInOnePhase() throws Exception {
        tm.begin();
        tm.getTransaction().enlistResource(morvalen);
        assertNotNull(morvalen.currentCookie());
        tm.commit();
        assertEquals(List.of("start 0", "end 4000000", "commit one-phase"), morvalen.calls());
        assertNothingInDoubt();
    }
}
