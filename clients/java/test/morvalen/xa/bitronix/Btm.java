package morvalen.xa.bitronix;

import bitronix.tm.BitronixTransactionManager;
import bitronix.tm.Configuration;
import bitronix.tm.TransactionManagerServices;
import bitronix.tm.resource.jdbc.PoolingDataSource;
import java.nio.file.Path;
import java.sql.Connection;
import java.sql.DriverManager;
import java.sql.ResultSet;
import java.sql.SQLException;
import java.sql.Statement;
import java.util.ArrayList;
import java.util.List;
import java.util.Properties;
import javax.transaction.xa.XAException;
import javax.transaction.xa.XAResource;
import javax.transaction.xa.Xid;
import morvalen.xa.MorvalenXAResource;

/**
 * Bitronix as the tests set it up: its journal in a directory of the test's
 * own (it runs as root here, and must not write beside the working
 * directory), PostgreSQL through PGXADataSource on the private cluster's
 * unix socket, and the Morvalen producer. The same server id and unique
 * names in every JVM of a test, so that a second JVM recovers the first
 * one's transactions.
 */
final class Btm {
    static final String SERVER_ID = "morvalen-java-test";
    static final String PG_NAME = "postgres";
    static final String MORVALEN_NAME = "morvalen";

    private Btm() {
    }

    static BitronixTransactionManager start(Path journalDir) {
        Configuration c = TransactionManagerServices.getConfiguration();
        c.setServerId(SERVER_ID);
        c.setLogPart1Filename(journalDir.resolve("btm1.tlog").toString());
        c.setLogPart2Filename(journalDir.resolve("btm2.tlog").toString());
        c.setDisableJmx(true);
        c.setDefaultTransactionTimeout(60);
        c.setBackgroundRecoveryIntervalSeconds(3600);  // recovery runs when a test asks for it
        c.setGracefulShutdownInterval(1);
        c.setWarnAboutZeroResourceTransaction(false);
        return TransactionManagerServices.getTransactionManager();
    }

    static PoolingDataSource postgres(Path socketDir) {
        PoolingDataSource ds = new PoolingDataSource();
        ds.setUniqueName(PG_NAME);
        ds.setClassName("org.postgresql.xa.PGXADataSource");
        ds.setMaxPoolSize(4);
        ds.setAllowLocalTransactions(true);
        Properties p = ds.getDriverProperties();
        p.setProperty("serverName", "localhost");
        p.setProperty("databaseName", "postgres");
        p.setProperty("user", "postgres");
        p.setProperty("socketFactory", UnixSocketFactory.class.getName());
        p.setProperty("socketFactoryArg", socketFile(socketDir));
        ds.init();
        return ds;
    }

    /** A plain connection, outside any global transaction, for set-up and checks. */
    static Connection plain(Path socketDir) throws SQLException {
        Properties p = new Properties();
        p.setProperty("user", "postgres");
        p.setProperty("socketFactory", UnixSocketFactory.class.getName());
        p.setProperty("socketFactoryArg", socketFile(socketDir));
        return DriverManager.getConnection("jdbc:postgresql://localhost/postgres", p);
    }

    private static String socketFile(Path socketDir) {
        return socketDir.resolve(".s.PGSQL.5432").toString();
    }

    static void createTables(Path socketDir) throws SQLException {
        try (Connection c = plain(socketDir); Statement s = c.createStatement()) {
            s.execute("CREATE TABLE IF NOT EXISTS orders (id int PRIMARY KEY, note text)");
            // Checked only when the transaction prepares: a way to make PostgreSQL fail its prepare.
            s.execute("CREATE TABLE IF NOT EXISTS late (id int, CONSTRAINT late_once UNIQUE (id) DEFERRABLE INITIALLY DEFERRED)");
        }
    }

    static boolean orderExists(Path socketDir, int id) throws SQLException {
        try (Connection c = plain(socketDir); Statement s = c.createStatement();
             ResultSet r = s.executeQuery("SELECT count(*) FROM orders WHERE id = " + id)) {
            r.next();
            return r.getInt(1) == 1;
        }
    }

    static int preparedInPostgres(Path socketDir) throws SQLException {
        try (Connection c = plain(socketDir); Statement s = c.createStatement();
             ResultSet r = s.executeQuery("SELECT count(*) FROM pg_prepared_xacts")) {
            r.next();
            return r.getInt(1);
        }
    }

    static int inDoubtInMorvalen(MorvalenXAResource morvalen) throws XAException {
        return morvalen.recover(XAResource.TMSTARTRSCAN | XAResource.TMENDRSCAN).length;
    }

    /**
     * A Morvalen resource that writes down what the manager asked of it and
     * what the service answered, and can be told to fail its branches (end
     * with TMFAIL, which the service answers at prepare with XA_RBROLLBACK).
     */
    static class Recording extends MorvalenXAResource {
        final List<String> calls = new ArrayList<>();
        volatile boolean failBranches;

        Recording(String host, int port) {
            super(host, port);
        }

        private synchronized void note(String call) {
            calls.add(call);
        }

        synchronized List<String> calls() {
            return List.copyOf(calls);
        }

        synchronized void clear() {
            calls.clear();
        }

        @Override
        public void start(Xid xid, int flags) throws XAException {
            note("start " + Integer.toHexString(flags));
            super.start(xid, flags);
        }

        @Override
        public void end(Xid xid, int flags) throws XAException {
            int sent = failBranches && flags == TMSUCCESS ? TMFAIL : flags;
            note("end " + Integer.toHexString(sent));
            super.end(xid, sent);
        }

        @Override
        public int prepare(Xid xid) throws XAException {
            try {
                int r = super.prepare(xid);
                note("prepare " + r);
                return r;
            } catch (XAException e) {
                note("prepare " + e.errorCode);
                throw e;
            }
        }

        @Override
        public void commit(Xid xid, boolean onePhase) throws XAException {
            note(onePhase ? "commit one-phase" : "commit");
            super.commit(xid, onePhase);
        }

        @Override
        public void rollback(Xid xid) throws XAException {
            note("rollback");
            super.rollback(xid);
        }
    }
}
