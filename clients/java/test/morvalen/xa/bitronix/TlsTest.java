package morvalen.xa.bitronix;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertInstanceOf;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import bitronix.tm.BitronixTransactionManager;
import bitronix.tm.resource.jdbc.PoolingDataSource;
import java.io.IOException;
import java.io.InputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.security.KeyStore;
import java.sql.Connection;
import java.sql.Statement;
import java.time.Duration;
import java.util.List;
import java.util.Map;
import java.util.concurrent.TimeUnit;
import javax.net.ssl.KeyManagerFactory;
import javax.net.ssl.SSLContext;
import javax.net.ssl.SSLException;
import javax.net.ssl.TrustManagerFactory;
import javax.transaction.xa.XAException;
import morvalen.xa.MorvalenXAResource;
import morvalen.xa.MorvalenXid;
import morvalen.xa.Services;
import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/**
 * The Java resource over TLS with a client certificate, under Bitronix with
 * PostgreSQL: the service demands client certificates (MORVALEN_TLS_CLIENT_CA);
 * the key store is a PKCS12 file made with openssl, the trust store one made
 * with keytool, as docs/java.md shows. Certificates are made at test time.
 */
class TlsTest {
    private static final char[] PASSWORD = "changeit".toCharArray();
    private static Services services;
    private static Path certs;
    private static BitronixTransactionManager tm;
    private static PoolingDataSource pg;
    private static MorvalenXAResource morvalen;
    private static MorvalenXAResourceProducer producer;
    private static Path pgSocket;

    private static void run(String... command) throws IOException, InterruptedException {
        Process p = new ProcessBuilder(command).directory(certs.toFile()).redirectErrorStream(true)
                .redirectOutput(ProcessBuilder.Redirect.DISCARD).start();
        if (!p.waitFor(60, TimeUnit.SECONDS) || p.exitValue() != 0) {
            p.destroyForcibly();
            throw new IOException("failed: " + String.join(" ", command));
        }
    }

    private static void makeLeaf(String name, String ca, String extension) throws Exception {
        run("openssl", "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-subj", "/CN=" + name,
                "-keyout", name + ".key", "-out", name + ".csr");
        if (extension == null) {
            run("openssl", "x509", "-req", "-in", name + ".csr", "-CA", ca + ".pem", "-CAkey", ca + ".key",
                    "-CAcreateserial", "-days", "2", "-out", name + ".pem");
        } else {
            Files.writeString(certs.resolve(name + ".ext"), "subjectAltName=" + extension + "\n");
            run("openssl", "x509", "-req", "-in", name + ".csr", "-CA", ca + ".pem", "-CAkey", ca + ".key",
                    "-CAcreateserial", "-days", "2", "-extfile", name + ".ext", "-out", name + ".pem");
        }
    }

    @BeforeAll
    static void startAll() throws Exception {
        services = new Services();
        certs = Files.createDirectories(services.work().resolve("certs"));
        for (String ca : List.of("ca", "otherca")) {
            run("openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-days",
                    "2", "-subj", "/CN=" + ca, "-keyout", ca + ".key", "-out", ca + ".pem");
        }
        makeLeaf("server", "ca", "DNS:localhost,IP:127.0.0.1");
        makeLeaf("billing", "ca", null);
        makeLeaf("intruder", "otherca", null);
        for (String client : List.of("billing", "intruder")) {
            run("openssl", "pkcs12", "-export", "-in", client + ".pem", "-inkey", client + ".key", "-name", client,
                    "-out", client + ".p12", "-passout", "pass:" + new String(PASSWORD));
        }
        run("keytool", "-importcert", "-noprompt", "-storetype", "PKCS12", "-keystore", "trust.p12", "-storepass",
                new String(PASSWORD), "-alias", "morvalen-ca", "-file", "ca.pem");

        services.startCoordinator();
        services.startMorvalen(Map.of(
                "MORVALEN_TLS_CERTIFICATE", certs.resolve("server.pem").toString(),
                "MORVALEN_TLS_KEY", certs.resolve("server.key").toString(),
                "MORVALEN_TLS_CLIENT_CA", certs.resolve("ca.pem").toString()));
        services.startPostgres();
        pgSocket = services.postgresSocketDir();
        Btm.createTables(pgSocket);
        tm = Btm.start(Files.createDirectories(services.work().resolve("journal")));
        pg = Btm.postgres(pgSocket);
        morvalen = new MorvalenXAResource("127.0.0.1", Services.PORT, Duration.ofSeconds(10), context("billing.p12"),
                null);
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

    /** An SSLContext with the client's PKCS12 key store (none: null) and the CA's trust store. */
    private static SSLContext context(String keyStore) throws Exception {
        KeyManagerFactory keys = null;
        if (keyStore != null) {
            KeyStore store = KeyStore.getInstance("PKCS12");
            try (InputStream in = Files.newInputStream(certs.resolve(keyStore))) {
                store.load(in, PASSWORD);
            }
            keys = KeyManagerFactory.getInstance(KeyManagerFactory.getDefaultAlgorithm());
            keys.init(store, PASSWORD);
        }
        KeyStore trusted = KeyStore.getInstance("PKCS12");
        try (InputStream in = Files.newInputStream(certs.resolve("trust.p12"))) {
            trusted.load(in, PASSWORD);
        }
        TrustManagerFactory trust = TrustManagerFactory.getInstance(TrustManagerFactory.getDefaultAlgorithm());
        trust.init(trusted);
        SSLContext context = SSLContext.getInstance("TLS");
        context.init(keys == null ? null : keys.getKeyManagers(), trust.getTrustManagers(), null);
        return context;
    }

    @Test
    void aCommitOverTlsReachesBoth() throws Exception {
        tm.begin();
        try (Connection c = pg.getConnection(); Statement s = c.createStatement()) {
            s.executeUpdate("INSERT INTO orders VALUES (7001, 'over TLS')");
        }
        assertTrue(tm.getTransaction().enlistResource(morvalen));
        tm.commit();
        assertTrue(Btm.orderExists(pgSocket, 7001));
        assertEquals(0, Btm.inDoubtInMorvalen(morvalen));
    }

    /** The failure of a resource's first request, which opens its first connection. */
    private static XAException firstRequestFails(MorvalenXAResource resource) {
        try (resource) {
            return assertThrows(XAException.class, () -> resource.start(new MorvalenXid(0x4D56, "tls-7100".getBytes(), "b".getBytes()), 0));
        }
    }

    @Test
    void tlsFailuresAreRmfailWithTheirCause() throws Exception {
        // No client certificate: the service refuses the handshake.
        XAException noCertificate = firstRequestFails(
                new MorvalenXAResource("127.0.0.1", Services.PORT, Duration.ofSeconds(10), context(null), null));
        assertEquals(XAException.XAER_RMFAIL, noCertificate.errorCode);
        assertInstanceOf(IOException.class, noCertificate.getCause());

        // A certificate from a CA the service does not trust.
        XAException wrongCa = firstRequestFails(new MorvalenXAResource("127.0.0.1", Services.PORT,
                Duration.ofSeconds(10), context("intruder.p12"), null));
        assertEquals(XAException.XAER_RMFAIL, wrongCa.errorCode);

        // The service's certificate does not carry the name asked for.
        XAException wrongName = firstRequestFails(new MorvalenXAResource("127.0.0.1", Services.PORT,
                Duration.ofSeconds(10), context("billing.p12"), "elsewhere.example"));
        assertEquals(XAException.XAER_RMFAIL, wrongName.errorCode);
        assertInstanceOf(SSLException.class, wrongName.getCause());

        // Plaintext towards the TLS port.
        XAException plaintext = firstRequestFails(new MorvalenXAResource("127.0.0.1", Services.PORT,
                Duration.ofSeconds(10)));
        assertEquals(XAException.XAER_RMFAIL, plaintext.errorCode);
    }
}
