package morvalen.xa.bitronix;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import bitronix.tm.BitronixTransactionManager;
import bitronix.tm.resource.jdbc.PoolingDataSource;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.sql.Connection;
import java.sql.Statement;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicBoolean;
import javax.transaction.xa.XAException;
import javax.transaction.xa.Xid;
import morvalen.xa.MorvalenXAResource;
import morvalen.xa.Services;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/**
 * Crash recovery under Bitronix: after both resources prepared, the JVM dies,
 * or morvalen is killed; Bitronix recovers from its journal and both
 * branches end committed.
 */
class CrashRecoveryTest {
    // Bitronix commits the resources of the highest position first: Morvalen goes
    // first, so that when it fails PostgreSQL is still prepared.
    static final int MORVALEN_FIRST = 10;
    private Services services;
    private Path pgSocket;
    private final MorvalenXAResource observer = new MorvalenXAResource("127.0.0.1", Services.PORT);

    @BeforeEach
    void start() throws Exception {
        services = new Services();
        services.start();
        services.startPostgres();
        pgSocket = services.postgresSocketDir();
        Btm.createTables(pgSocket);
    }

    @AfterEach
    void stop() throws Exception {
        observer.close();
        services.close();
    }

    /** Runs CrashClient in a JVM of its own; its exit code. */
    private int runClient(String name, String... args) throws IOException, InterruptedException {
        List<String> command = new ArrayList<>();
        command.add(Path.of(System.getProperty("java.home"), "bin", "java").toString());
        command.add("-Dorg.slf4j.simpleLogger.defaultLogLevel=warn");
        command.add("-cp");
        command.add(System.getProperty("java.class.path"));
        command.add(CrashClient.class.getName());
        command.addAll(List.of(args));
        Path log = services.work().resolve(name + ".log");
        Process p = new ProcessBuilder(command).redirectErrorStream(true).redirectOutput(log.toFile()).start();
        if (!p.waitFor(120, TimeUnit.SECONDS)) {
            p.destroyForcibly();
            throw new IOException(name + " did not finish: " + Files.readString(log));
        }
        System.out.println("--- " + name + " (exit " + p.exitValue() + ")\n" + Files.readString(log));
        return p.exitValue();
    }

    @Test
    void aJvmThatDiesAfterBothPreparedIsRecoveredByTheNextOne() throws Exception {
        Path journal = Files.createDirectories(services.work().resolve("journal"));
        int id = 7001;
        assertEquals(CrashClient.HALTED, runClient("halting-jvm", "halt", journal.toString(), pgSocket.toString(),
                Integer.toString(id)));
        assertEquals(1, Btm.inDoubtInMorvalen(observer), "Morvalen's branch is in doubt");
        assertEquals(1, Btm.preparedInPostgres(pgSocket), "PostgreSQL's branch is in doubt");
        assertFalse(Btm.orderExists(pgSocket, id));

        assertEquals(0, runClient("recovering-jvm", "recover", journal.toString(), pgSocket.toString()));
        assertTrue(Btm.orderExists(pgSocket, id), "the row is committed");
        assertEquals(0, Btm.preparedInPostgres(pgSocket));
        assertEquals(0, Btm.inDoubtInMorvalen(observer), "Morvalen's branch is committed");
    }

    @Test
    void aJvmThatDiesBeforeTheCommitDecisionLeavesARollback() throws Exception {
        Path journal = Files.createDirectories(services.work().resolve("journal"));
        int id = 7003;
        assertEquals(CrashClient.HALTED, runClient("halting-jvm", "halt-prepared", journal.toString(),
                pgSocket.toString(), Integer.toString(id)));
        // Bitronix prepares in the opposite order of its commits: PostgreSQL first.
        assertEquals(1, Btm.inDoubtInMorvalen(observer), "Morvalen's branch is prepared");
        assertEquals(1, Btm.preparedInPostgres(pgSocket), "PostgreSQL's branch is prepared");

        // No commit decision in the journal: recovery rolls both branches back.
        assertEquals(0, runClient("recovering-jvm", "recover", journal.toString(), pgSocket.toString()));
        assertEquals(0, Btm.inDoubtInMorvalen(observer));
        assertEquals(0, Btm.preparedInPostgres(pgSocket));
        assertFalse(Btm.orderExists(pgSocket, id));
    }

    @Test
    void morvalenKilledAfterPrepareAndStartedAgainIsRecovered() throws Exception {
        Path journal = Files.createDirectories(services.work().resolve("journal"));
        AtomicBoolean killed = new AtomicBoolean();
        MorvalenXAResource morvalen = new MorvalenXAResource("127.0.0.1", Services.PORT) {
            @Override
            public void commit(Xid xid, boolean onePhase) throws XAException {
                if (killed.compareAndSet(false, true)) {
                    try {
                        services.killMorvalen();  // both resources have prepared
                    } catch (InterruptedException e) {
                        throw new IllegalStateException(e);
                    }
                }
                super.commit(xid, onePhase);
            }
        };
        MorvalenXAResourceProducer producer = new MorvalenXAResourceProducer(Btm.MORVALEN_NAME, morvalen);
        producer.setTwoPcOrderingPosition(MORVALEN_FIRST);
        producer.init();
        PoolingDataSource pg = Btm.postgres(pgSocket);
        BitronixTransactionManager tm = Btm.start(journal);
        try {
            int id = 7002;
            tm.begin();
            try (Connection c = pg.getConnection(); Statement s = c.createStatement()) {
                s.executeUpdate("INSERT INTO orders VALUES (" + id + ", 'before the kill')");
            }
            tm.getTransaction().enlistResource(morvalen);
            // Morvalen's commit fails (XAER_RMFAIL); Bitronix leaves the branch to recovery.
            try {
                tm.commit();
            } catch (Exception e) {
                System.out.println("commit with morvalen killed: " + e);
            }

            services.startMorvalen();
            assertEquals(1, Btm.inDoubtInMorvalen(observer), "the prepared branch outlived the service");
            // Bitronix 2.1.4's background recoverer leaves dangling transactions alone
            // while no transaction is in flight (it takes the oldest in-flight
            // timestamp as Long.MIN_VALUE then); registering the resource again runs
            // its incremental recovery, which commits them.
            producer.close();
            producer = new MorvalenXAResourceProducer(Btm.MORVALEN_NAME, morvalen);
            producer.init();
            assertTrue(Btm.orderExists(pgSocket, id));
            assertEquals(0, Btm.preparedInPostgres(pgSocket));
            assertEquals(0, Btm.inDoubtInMorvalen(observer));
        } finally {
            producer.close();
            pg.close();
            tm.shutdown();
        }
    }
}
