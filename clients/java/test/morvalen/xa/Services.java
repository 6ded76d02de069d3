package morvalen.xa;

import java.io.File;
import java.io.IOException;
import java.net.InetSocketAddress;
import java.net.Socket;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.UserPrincipal;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Comparator;
import java.util.List;
import java.util.concurrent.TimeUnit;
import java.util.stream.Stream;

/**
 * The real processes the tests run against: dtcd on a private socket and data
 * directory, morvalen (console run, port 1439: the test JVM runs in a network
 * namespace of its own), and a private PostgreSQL cluster on a unix socket.
 * The build tells where the programs are (MORVALEN_BIN_DIR, MORVALEN_LIB_DIR).
 * Every wait polls with a bound.
 */
public final class Services {
    public static final int PORT = 1439;

    private final Path work;
    private final String dtcdSocket;
    private Process dtcd;
    private Process morvalen;
    private int morvalenRuns;
    private Path pgData;
    private Path pgSocketDir;

    public Services() throws IOException {
        work = Files.createTempDirectory("morvalen-java-");
        dtcdSocket = "@morvalen-java-" + ProcessHandle.current().pid();
    }

    public static Path binDir() {
        String dir = System.getenv("MORVALEN_BIN_DIR");
        if (dir == null) {
            throw new IllegalStateException("MORVALEN_BIN_DIR is not set (run the tests through ctest)");
        }
        return Path.of(dir);
    }

    public Path work() {
        return work;
    }

    /** Starts dtcd and morvalen. */
    public void start() throws IOException, InterruptedException {
        startCoordinator();
        startMorvalen();
    }

    public void startCoordinator() throws IOException, InterruptedException {
        Path data = work.resolve("dtcd");
        Files.createDirectories(data);
        ProcessBuilder pb = new ProcessBuilder(binDir().resolve("dtcd").toString(), "--data-dir", data.toString());
        pb.environment().put("DTCD_SOCKET", dtcdSocket);
        pb.environment().remove("NOTIFY_SOCKET");
        dtcd = launch(pb, "dtcd");
        // dtcd is up once dtcctl can reach it.
        waitUntil(10_000, "dtcd to listen", () -> dtcctlReaches());
    }

    private boolean dtcctlReaches() throws IOException, InterruptedException {
        if (!dtcd.isAlive()) {
            throw new IOException("dtcd exited with " + dtcd.exitValue() + ": " + output("dtcd"));
        }
        ProcessBuilder pb = new ProcessBuilder(binDir().resolve("dtcctl").toString(), "stats");
        pb.environment().put("DTCD_SOCKET", dtcdSocket);
        pb.redirectErrorStream(true).redirectOutput(ProcessBuilder.Redirect.DISCARD);
        Process p = pb.start();
        if (!p.waitFor(5, TimeUnit.SECONDS)) {
            p.destroyForcibly();
            return false;
        }
        return p.exitValue() == 0;
    }

    public void startMorvalen() throws IOException, InterruptedException {
        startMorvalen(java.util.Map.of());
    }

    /** Starts morvalen with these variables added to its environment. */
    public void startMorvalen(java.util.Map<String, String> environment) throws IOException, InterruptedException {
        ProcessBuilder pb = new ProcessBuilder(binDir().resolve("morvalen").toString());
        pb.environment().putAll(environment);
        pb.environment().put("DTCD_SOCKET", dtcdSocket);
        pb.environment().remove("NOTIFY_SOCKET");
        String lib = System.getenv("MORVALEN_LIB_DIR");
        if (lib != null) {
            pb.environment().put("LD_LIBRARY_PATH", lib);
        }
        morvalen = launch(pb, "morvalen-" + (++morvalenRuns));
        Process started = morvalen;
        waitUntil(10_000, "morvalen to listen on " + PORT, () -> {
            if (!started.isAlive()) {
                throw new IOException("morvalen exited with " + started.exitValue() + ": " + output("morvalen-" + morvalenRuns));
            }
            try (Socket s = new Socket()) {
                s.connect(new InetSocketAddress("127.0.0.1", PORT), 1000);
                return true;
            } catch (IOException e) {
                return false;
            }
        });
    }

    public Process morvalen() {
        return morvalen;
    }

    /** SIGKILL to morvalen, and waits until it is gone. */
    public void killMorvalen() throws InterruptedException {
        kill(morvalen);
    }

    public void killCoordinator() throws InterruptedException {
        kill(dtcd);
    }

    /** Sends a signal by name (STOP, CONT) to morvalen. */
    public void signalMorvalen(String signal) throws IOException, InterruptedException {
        Process p = new ProcessBuilder("kill", "-" + signal, Long.toString(morvalen.pid())).inheritIO().start();
        if (!p.waitFor(10, TimeUnit.SECONDS) || p.exitValue() != 0) {
            throw new IOException("kill -" + signal + " failed");
        }
    }

    /**
     * Polls until some connection to port 1439 holds bytes the service has
     * not read (the listener's accept queue aside): with the service stopped,
     * a request is then surely in flight.
     */
    public static void waitForUnreadRequest() throws IOException, InterruptedException {
        waitUntil(5_000, "a request waiting in the service's receive queue", () -> {
            for (String table : List.of("/proc/net/tcp", "/proc/net/tcp6")) {
                Path p = Path.of(table);
                if (!Files.exists(p)) {
                    continue;
                }
                for (String line : Files.readAllLines(p)) {
                    String[] f = line.trim().split("\\s+");
                    if (f.length > 4 && f[1].endsWith(":059F") && !f[3].equals("0A") && !f[4].endsWith(":00000000")) {
                        return true;
                    }
                }
            }
            return false;
        });
    }

    // --- PostgreSQL: a private cluster on a unix socket, with prepared transactions

    public static Path postgresBin() {
        for (String dir : System.getenv().getOrDefault("PATH", "").split(File.pathSeparator)) {
            if (!dir.isEmpty() && Files.isExecutable(Path.of(dir, "pg_ctl"))) {
                return Path.of(dir);
            }
        }
        Path debian = Path.of("/usr/lib/postgresql");
        if (Files.isDirectory(debian)) {
            try (Stream<Path> versions = Files.list(debian)) {
                return versions.map(v -> v.resolve("bin"))
                        .filter(b -> Files.isExecutable(b.resolve("pg_ctl")))
                        .max(Comparator.comparing(b -> versionOf(b.getParent())))
                        .orElse(null);
            } catch (IOException e) {
                return null;
            }
        }
        return null;
    }

    private static int versionOf(Path dir) {
        try {
            return Integer.parseInt(dir.getFileName().toString());
        } catch (NumberFormatException e) {
            return 0;
        }
    }

    /** initdb and start; the socket lives in the cluster's own directory. */
    public void startPostgres() throws IOException, InterruptedException {
        Path bin = postgresBin();
        if (bin == null) {
            throw new IOException("PostgreSQL (pg_ctl, initdb) not found");
        }
        Path dir = work.resolve("pg");
        Files.createDirectories(dir);
        pgData = dir.resolve("data");
        pgSocketDir = dir;
        if (isRoot()) {
            // PostgreSQL refuses to run as root; the cluster belongs to its own user.
            UserPrincipal postgres = work.getFileSystem().getUserPrincipalLookupService().lookupPrincipalByName("postgres");
            Files.setOwner(work, postgres);
            Files.setOwner(dir, postgres);
        }
        runAsPostgres(60, bin.resolve("initdb").toString(), "-D", pgData.toString(), "-A", "trust", "-U", "postgres",
                "--no-sync");
        runAsPostgres(60, bin.resolve("pg_ctl").toString(), "-D", pgData.toString(), "-l", dir.resolve("log").toString(),
                "-w", "-o", "-c listen_addresses='' -c unix_socket_directories='" + dir
                        + "' -c max_prepared_transactions=50 -c fsync=off -c synchronous_commit=off",
                "start");
    }

    public Path postgresSocketDir() {
        return pgSocketDir;
    }

    public void stopPostgres() throws IOException, InterruptedException {
        if (pgData != null) {
            runAsPostgres(60, postgresBin().resolve("pg_ctl").toString(), "-D", pgData.toString(), "-m", "immediate",
                    "stop");
            pgData = null;
        }
    }

    private static boolean isRoot() {
        return "root".equals(System.getProperty("user.name"));
    }

    private void runAsPostgres(int seconds, String... command) throws IOException, InterruptedException {
        List<String> line = new ArrayList<>();
        if (isRoot()) {
            line.addAll(List.of("runuser", "-u", "postgres", "--"));
        }
        line.addAll(Arrays.asList(command));
        ProcessBuilder pb = new ProcessBuilder(line).redirectErrorStream(true);
        Path out = Files.createTempFile(work, "pg-command-", ".log");
        pb.redirectOutput(out.toFile());
        Process p = pb.start();
        if (!p.waitFor(seconds, TimeUnit.SECONDS)) {
            p.destroyForcibly();
            throw new IOException(line + " timed out");
        }
        if (p.exitValue() != 0) {
            throw new IOException(line + " failed: " + Files.readString(out));
        }
    }

    // --- processes

    private Process launch(ProcessBuilder pb, String name) throws IOException {
        pb.redirectErrorStream(true).redirectOutput(work.resolve(name + ".log").toFile());
        pb.redirectInput(ProcessBuilder.Redirect.from(new File("/dev/null")));
        return pb.start();
    }

    public String output(String name) {
        try {
            return Files.readString(work.resolve(name + ".log"));
        } catch (IOException e) {
            return "(no output: " + e + ")";
        }
    }

    private static void kill(Process p) throws InterruptedException {
        if (p == null) {
            return;
        }
        p.destroyForcibly();  // SIGKILL
        if (!p.waitFor(10, TimeUnit.SECONDS)) {
            throw new IllegalStateException("process " + p.pid() + " did not die");
        }
    }

    public interface Check {
        boolean ready() throws IOException, InterruptedException;
    }

    /** Polls check every few milliseconds until it holds; fails after timeoutMs. */
    public static void waitUntil(long timeoutMs, String what, Check check) throws IOException, InterruptedException {
        long deadline = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(timeoutMs);
        while (!check.ready()) {
            if (System.nanoTime() > deadline) {
                throw new IOException("timed out waiting for " + what);
            }
            Thread.sleep(10);
        }
    }

    public void close() throws IOException, InterruptedException {
        try {
            kill(morvalen);
            kill(dtcd);
            stopPostgres();
        } finally {
            deleteTree(work);
        }
    }

    static void deleteTree(Path root) throws IOException {
        if (!Files.exists(root)) {
            return;
        }
        try (Stream<Path> paths = Files.walk(root)) {
            for (Path p : paths.sorted(Comparator.reverseOrder()).toList()) {
                Files.deleteIfExists(p);
            }
        }
    }
}
