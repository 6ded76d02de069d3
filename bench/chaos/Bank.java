package morvalen.chaos;

import bitronix.tm.BitronixTransactionManager;
import bitronix.tm.Configuration;
import bitronix.tm.TransactionManagerServices;
import bitronix.tm.resource.jdbc.PoolingDataSource;
import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.nio.ByteBuffer;
import java.nio.channels.FileChannel;
import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import java.nio.file.StandardOpenOption;
import java.sql.Connection;
import java.sql.Statement;
import java.util.HexFormat;
import java.util.Properties;
import java.util.Random;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicLong;
import javax.transaction.RollbackException;
import morvalen.xa.MorvalenXAResource;
import morvalen.xa.bitronix.MorvalenXAResourceProducer;

/**
 * The application of the bank under chaos. Each transfer is one Bitronix
 * transaction: it debits an account in database A through PostgreSQL's XA
 * data source, enlists Morvalen, and credits an account in database B through
 * dtc-pg-enlist with the branch's cookie. Both sides record the transfer's id,
 * so a checker can tell a transfer that reached one database only.
 *
 * <pre>
 * transfer JOURNAL PGPORT ENLIST SECONDS THREADS LOG FIRSTID
 *     transfers on THREADS threads for SECONDS; every transfer whose commit
 *     returned is appended to LOG ("C id", forced to disk) before the next
 *     begins, a rolled-back one as "R id", one whose outcome the application
 *     cannot know as "U id"
 * recover JOURNAL PGPORT
 *     Bitronix on the same journal and resources, which recovers them; prints
 *     the journal's dangling records and exits 0 when none is left
 * </pre>
 */
public final class Bank {
    static final String SERVER_ID = "morvalen-bank";
    static final int ACCOUNTS = 10;
    private static final HexFormat HEX = HexFormat.of();

    private Bank() {
    }

    static BitronixTransactionManager startManager(Path journal) {
        Configuration c = TransactionManagerServices.getConfiguration();
        c.setServerId(SERVER_ID);
        c.setLogPart1Filename(journal.resolve("btm1.tlog").toString());
        c.setLogPart2Filename(journal.resolve("btm2.tlog").toString());
        c.setDisableJmx(true);
        // Big enough that a long run never fills a journal file: a JVM that is
        // killed while it swaps full files (copying what is still in doubt)
        // leaves them full, and the next one starts with the same swap.
        c.setMaxLogSizeInMb(64);
        c.setDefaultTransactionTimeout(30);
        c.setBackgroundRecoveryIntervalSeconds(3600);
        c.setGracefulShutdownInterval(1);
        return TransactionManagerServices.getTransactionManager();
    }

    static PoolingDataSource databaseA(int port, int threads) {
        PoolingDataSource ds = new PoolingDataSource();
        ds.setUniqueName("bank-a");
        ds.setClassName("org.postgresql.xa.PGXADataSource");
        ds.setMaxPoolSize(threads + 1);
        ds.setAllowLocalTransactions(true);
        Properties p = ds.getDriverProperties();
        p.setProperty("serverName", "127.0.0.1");
        p.setProperty("portNumber", Integer.toString(port));
        p.setProperty("databaseName", "bank_a");
        p.setProperty("user", "postgres");
        ds.init();
        return ds;
    }

    static MorvalenXAResourceProducer morvalen(MorvalenXAResource resource) {
        MorvalenXAResourceProducer producer = new MorvalenXAResourceProducer("morvalen", resource);
        producer.init();
        return producer;
    }

    /** Appends one line and forces it to disk before the caller goes on. */
    static synchronized void record(FileChannel log, char outcome, long id) throws IOException {
        log.write(ByteBuffer.wrap((outcome + " " + id + "\n").getBytes(StandardCharsets.US_ASCII)));
        log.force(false);
    }

    /** The participant's first line, or null when it ended or said nothing within the time. */
    static String firstLine(Process participant, BufferedReader out, int seconds) {
        CompletableFuture<String> line = CompletableFuture.supplyAsync(() -> {
            try {
                return out.readLine();
            } catch (IOException e) {
                return null;
            }
        });
        try {
            return line.get(seconds, TimeUnit.SECONDS);
        } catch (Exception e) {
            participant.destroyForcibly();
            return null;
        }
    }

    static void transfer(BitronixTransactionManager tm, PoolingDataSource a, MorvalenXAResource morvalen,
            String enlist, int port, FileChannel log, long id, Random random) throws Exception {
        int from = 1 + random.nextInt(ACCOUNTS);
        int to = 1 + random.nextInt(ACCOUNTS);
        int amount = 1 + random.nextInt(10);
        tm.begin();
        Process participant = null;
        try {
            try (Connection c = a.getConnection(); Statement s = c.createStatement()) {
                s.executeUpdate("UPDATE accounts SET balance = balance - " + amount + " WHERE id = " + from);
                s.executeUpdate("INSERT INTO transfers VALUES (" + id + ", " + amount + ")");
            }
            tm.getTransaction().enlistResource(morvalen);
            byte[] cookie = morvalen.currentCookie();
            String conninfo = "host=127.0.0.1 port=" + port + " dbname=bank_b user=postgres";
            participant = new ProcessBuilder(enlist, "--cookie", HEX.formatHex(cookie), "--conninfo", conninfo,
                    "--sql", "UPDATE accounts SET balance = balance + " + amount + " WHERE id = " + to,
                    "--sql", "INSERT INTO transfers VALUES (" + id + ", " + amount + ")")
                    .redirectError(ProcessBuilder.Redirect.DISCARD).start();
            BufferedReader out = new BufferedReader(
                    new InputStreamReader(participant.getInputStream(), StandardCharsets.US_ASCII));
            if (!"enlisted".equals(firstLine(participant, out, 10))) {
                tm.rollback();
                record(log, 'R', id);
                return;
            }
        } catch (Exception e) {
            try {
                tm.rollback();
                record(log, 'R', id);
            } catch (Exception unknown) {
                record(log, 'U', id);
            }
            if (participant != null) {
                participant.waitFor(30, TimeUnit.SECONDS);
            }
            return;
        }
        try {
            tm.commit();
            record(log, 'C', id);
        } catch (RollbackException e) {
            record(log, 'R', id);
        } catch (Exception e) {
            record(log, 'U', id);
        }
        if (!participant.waitFor(60, TimeUnit.SECONDS)) {
            participant.destroyForcibly();
        }
    }

    static int runTransfers(String[] args) throws Exception {
        Path journal = Path.of(args[1]);
        int port = Integer.parseInt(args[2]);
        String enlist = args[3];
        int threads = Integer.parseInt(args[5]);
        AtomicLong nextId = new AtomicLong(Long.parseLong(args[7]));
        MorvalenXAResource resource = new MorvalenXAResource("127.0.0.1", MorvalenXAResource.DEFAULT_PORT);
        MorvalenXAResourceProducer producer = morvalen(resource);
        PoolingDataSource a = databaseA(port, threads);
        BitronixTransactionManager tm = startManager(journal);
        // The round's time starts once the manager has read its journal; the
        // script waits for this line before it picks the moment to kill.
        long until = System.nanoTime() + TimeUnit.SECONDS.toNanos(Long.parseLong(args[4]));
        System.out.println("ready");
        System.out.flush();
        try (FileChannel log = FileChannel.open(Path.of(args[6]), StandardOpenOption.CREATE,
                StandardOpenOption.WRITE, StandardOpenOption.APPEND)) {
            Thread[] workers = new Thread[threads];
            for (int t = 0; t < threads; ++t) {
                Random random = new Random(nextId.get() * 31 + t);
                workers[t] = new Thread(() -> {
                    while (System.nanoTime() < until) {
                        try {
                            transfer(tm, a, resource, enlist, port, log, nextId.getAndIncrement(), random);
                        } catch (Exception e) {
                            // A service that is down: wait a little and go on.
                            try {
                                Thread.sleep(100);
                            } catch (InterruptedException interrupted) {
                                return;
                            }
                        }
                    }
                });
                workers[t].start();
            }
            for (Thread w : workers) {
                w.join();
            }
        } finally {
            producer.close();
            a.close();
            tm.shutdown();
        }
        return 0;
    }

    static int runRecovery(String[] args) throws Exception {
        Path journal = Path.of(args[1]);
        int port = Integer.parseInt(args[2]);
        MorvalenXAResource resource = new MorvalenXAResource("127.0.0.1", MorvalenXAResource.DEFAULT_PORT);
        // Registering the resources runs an incremental recovery of each.
        MorvalenXAResourceProducer producer = morvalen(resource);
        PoolingDataSource a = databaseA(port, 1);
        BitronixTransactionManager tm = startManager(journal);
        TransactionManagerServices.getRecoverer().run();
        Exception failure = TransactionManagerServices.getRecoverer().getCompletionException();
        int dangling = TransactionManagerServices.getJournal().collectDanglingRecords().size();
        System.out.println("recovered: committed " + TransactionManagerServices.getRecoverer().getCommittedCount()
                + ", rolled back " + TransactionManagerServices.getRecoverer().getRolledbackCount()
                + ", dangling " + dangling + (failure == null ? "" : ", failure " + failure));
        producer.close();
        a.close();
        tm.shutdown();
        return dangling == 0 && failure == null ? 0 : 1;
    }

    public static void main(String[] args) throws Exception {
        int code;
        if (args.length == 8 && args[0].equals("transfer")) {
            code = runTransfers(args);
        } else if (args.length == 3 && args[0].equals("recover")) {
            code = runRecovery(args);
        } else {
            System.err.println("usage: Bank transfer JOURNAL PGPORT ENLIST SECONDS THREADS LOG FIRSTID\n"
                    + "       Bank recover JOURNAL PGPORT");
            code = 2;
        }
        System.exit(code);
    }
}
