package morvalen.xa.bitronix;

import bitronix.tm.BitronixTransactionManager;
import bitronix.tm.resource.jdbc.PoolingDataSource;
import java.nio.file.Path;
import java.sql.Connection;
import java.sql.Statement;
import javax.transaction.xa.XAException;
import javax.transaction.xa.Xid;
import morvalen.xa.MorvalenXAResource;
import morvalen.xa.Services;

/**
 * The JVMs of the crash tests, started by CrashRecoveryTest.
 *
 * <pre>
 * halt JOURNAL PGSOCKETDIR ID     a transaction over PostgreSQL and Morvalen; the JVM halts
 *                                 (exit 42) when Bitronix asks Morvalen to commit, after both
 *                                 resources have prepared
 * halt-prepared JOURNAL PGSOCKETDIR ID
 *                                 the same, but the JVM halts right after Morvalen prepared
 *                                 (the last to prepare), before the decision to commit is in
 *                                 the journal
 * recover JOURNAL PGSOCKETDIR     Bitronix starts on the same journal and resources, which
 *                                 recovers them; exit 0
 * </pre>
 */
public final class CrashClient {
    static final int HALTED = 42;

    private CrashClient() {
    }

    private static void halt(String why) {
        System.out.println(why);
        System.out.flush();
        Runtime.getRuntime().halt(HALTED);
    }

    public static void main(String[] args) throws Exception {
        Path journal = Path.of(args[1]);
        Path pgSocket = Path.of(args[2]);
        boolean haltInCommit = args[0].equals("halt");
        boolean haltAfterPrepare = args[0].equals("halt-prepared");
        boolean halt = haltInCommit || haltAfterPrepare;
        MorvalenXAResource morvalen = new MorvalenXAResource("127.0.0.1", Services.PORT) {
            @Override
            public int prepare(Xid xid) throws XAException {
                int result = super.prepare(xid);
                if (haltAfterPrepare) {
                    halt("halting after Morvalen prepared");
                }
                return result;
            }

            @Override
            public void commit(Xid xid, boolean onePhase) throws XAException {
                if (haltInCommit) {
                    halt("halting in commit");
                }
                super.commit(xid, onePhase);
            }
        };
        MorvalenXAResourceProducer producer = new MorvalenXAResourceProducer(Btm.MORVALEN_NAME, morvalen);
        // Morvalen commits first and prepares last: when it halts in commit,
        // PostgreSQL is still prepared; when it halts after its prepare, both are.
        producer.setTwoPcOrderingPosition(CrashRecoveryTest.MORVALEN_FIRST);
        producer.init();
        PoolingDataSource pg = Btm.postgres(pgSocket);
        BitronixTransactionManager tm = Btm.start(journal);
        if (halt) {
            tm.begin();
            try (Connection c = pg.getConnection(); Statement s = c.createStatement()) {
                s.executeUpdate("INSERT INTO orders VALUES (" + Integer.parseInt(args[3]) + ", 'before the crash')");
            }
            tm.getTransaction().enlistResource(morvalen);
            tm.commit();
            System.out.println("the commit returned; it should have halted");
            System.exit(1);
        }
        // Registering the resources above has recovered them (an incremental recovery each).
        producer.close();
        pg.close();
        tm.shutdown();
        System.exit(0);
    }
}
