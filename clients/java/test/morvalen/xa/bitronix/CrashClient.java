package morvalen.xa.bitronix;

import bitronix.tm.BitronixTransactionManager;
import bitronix.tm.TransactionManagerServices;
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
 * recover JOURNAL PGSOCKETDIR     Bitronix starts on the same journal and resources, which
 *                                 recovers them; exit 0
 * </pre>
 */
public final class CrashClient {
    static final int HALTED = 42;

    private CrashClient() {
    }

    public static void main(String[] args) throws Exception {
        Path journal = Path.of(args[1]);
        Path pgSocket = Path.of(args[2]);
        boolean halt = args[0].equals("halt");
        MorvalenXAResource morvalen = halt ? new MorvalenXAResource("127.0.0.1", Services.PORT) {
            @Override
            public void commit(Xid xid, boolean onePhase) throws XAException {
                System.out.println("halting in commit");
                System.out.flush();
                Runtime.getRuntime().halt(HALTED);
            }
        } : new MorvalenXAResource("127.0.0.1", Services.PORT);
        MorvalenXAResourceProducer producer = new MorvalenXAResourceProducer(Btm.MORVALEN_NAME, morvalen);
        producer.setTwoPcOrderingPosition(CrashRecoveryTest.MORVALEN_FIRST);  // when it halts, PostgreSQL is still prepared
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
        TransactionManagerServices.getRecoverer().run();
        System.out.println("recovered: committed " + TransactionManagerServices.getRecoverer().getCommittedCount()
                + ", rolled back " + TransactionManagerServices.getRecoverer().getRolledbackCount()
                + ", failure " + TransactionManagerServices.getRecoverer().getCompletionException());
        producer.close();
        pg.close();
        tm.shutdown();
        System.exit(0);
    }
}
