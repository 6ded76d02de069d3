// The PostgreSQL participant's faults, against a real dtcd and a private
// PostgreSQL cluster (PgFixture.h): statements that end the transaction
// themselves, a reply to PREPARE TRANSACTION that never arrives, a cookie
// whose transaction already rolled back, and what --recover may and may not
// touch.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>
#include <cstring>
#include <mutex>

#include "PgFixture.h"

namespace {

using namespace pgtest;

// A relay between libpq clients and the cluster's Unix socket that cuts a
// connection once the server has answered its PREPARE TRANSACTION: the
// server has prepared, the client never hears it.
struct CuttingRelay {
    std::string dir;              // holds .s.PGSQL.5432
    std::string target;           // the server's socket file
    int listener = -1;
    std::atomic<bool> stopping{false};
    std::atomic<int> cuts{0};
    std::thread acceptor;
    std::mutex mu;
    std::vector<std::thread> relays;

    bool start(const std::string& clusterDir) {
        dir = makeTempDir();
        target = clusterDir + "/.s.PGSQL.5432";
        listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::string path = dir + "/.s.PGSQL.5432";
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listener, 8) != 0)
            return false;
        acceptor = std::thread([this] {
            for (;;) {
                int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
                if (client < 0) return; // the listener was shut down
                std::lock_guard lock(mu);
                relays.emplace_back([this, client] { relay(client); });
            }
        });
        return true;
    }
    void relay(int client) {
        int server = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", target.c_str());
        bool cutNext = false; // the client sent PREPARE TRANSACTION: cut at the answer
        if (connect(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
            char buffer[65536];
            for (;;) {
                pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
                if (poll(fds, 2, 200) < 0 || stopping) break;
                if ((fds[0].revents & (POLLIN | POLLHUP)) != 0) {
                    ssize_t n = recv(client, buffer, sizeof buffer, 0);
                    if (n <= 0) break;
                    if (std::string_view(buffer, static_cast<size_t>(n)).find("PREPARE TRANSACTION") !=
                        std::string_view::npos)
                        cutNext = true;
                    if (send(server, buffer, static_cast<size_t>(n), MSG_NOSIGNAL) != n) break;
                }
                if ((fds[1].revents & (POLLIN | POLLHUP)) != 0) {
                    ssize_t n = recv(server, buffer, sizeof buffer, 0);
                    if (n <= 0) break;
                    if (cutNext) {
                        cuts++;
                        break;
                    }
                    if (send(client, buffer, static_cast<size_t>(n), MSG_NOSIGNAL) != n) break;
                }
            }
        }
        close(server);
        close(client);
    }
    void stop() {
        stopping = true;
        if (listener >= 0) shutdown(listener, SHUT_RDWR);
        if (acceptor.joinable()) acceptor.join();
        for (std::thread& t : relays) t.join();
        if (listener >= 0) close(listener);
        std::filesystem::remove_all(dir);
    }
};

class DtcPgFaults : public DtcPostgres {};

TEST_F(DtcPgFaults, AStatementThatEndsTheTransactionIsRefusedAndNothingIsEnlisted) {
    const std::vector<std::vector<std::string>> cases = {
        {"INSERT INTO t VALUES (71)", "COMMIT"},
        {"INSERT INTO t VALUES (72)", "COMMIT AND CHAIN", "INSERT INTO t VALUES (73)"},
        {"INSERT INTO t VALUES (74)", "ROLLBACK"},
        {"INSERT INTO t VALUES (75)", "PREPARE TRANSACTION 'by-hand'"},
    };
    int n = 0;
    for (const auto& sql : cases) {
        XID xid = makeXid("pg-ends-" + std::to_string(n++));
        std::string cookie = startWithCookie(&xid);
        Child c = enlist(cookie, "postgres", sql);
        EXPECT_EQ(2, waitExit(c.pid)) << sql[1];
        std::string out = readText(c.out);
        EXPECT_NE(std::string::npos, out.find("ended the transaction")) << out;
        EXPECT_EQ(std::string::npos, out.find("committed")) << out;
        EXPECT_TRUE(participants(0));
        int ended = DTC_XaEnd(&xid, kRm, TMSUCCESS);
        EXPECT_TRUE(ended == XA_OK || ended == XA_RBROLLBACK) << ended;
        // The participant gave up: the global transaction rolls back.
        EXPECT_EQ(XA_RBROLLBACK, DTC_XaPrepare(&xid, kRm, TMNOFLAGS));
    }
    exec("postgres", "ROLLBACK PREPARED 'by-hand'");
    EXPECT_EQ("0", prepared());
}

TEST_F(DtcPgFaults, ALostReplyToPrepareLeavesNoPreparedTransaction) {
    CuttingRelay relay;
    ASSERT_TRUE(relay.start(cluster.dir));
    XID xid = makeXid("pg-lost-prepare");
    std::string cookie = startWithCookie(&xid);
    Child c = enlistAt(cookie, "host=" + relay.dir + " user=" + cluster.role + " dbname=postgres",
                       {"INSERT INTO t VALUES (81)"});
    ASSERT_TRUE(participants(1));
    ASSERT_EQ(XA_OK, DTC_XaEnd(&xid, kRm, TMSUCCESS));
    EXPECT_EQ(XA_RBROLLBACK, DTC_XaPrepare(&xid, kRm, TMNOFLAGS));
    EXPECT_EQ(1, waitExit(c.pid));
    std::string out = readText(c.out);
    EXPECT_NE(std::string::npos, out.find("aborted")) << out;
    EXPECT_NE(std::string::npos, out.find("PREPARE TRANSACTION")) << out;
    EXPECT_EQ(1, relay.cuts.load());
    EXPECT_EQ("0", prepared());
    EXPECT_EQ("0", exec("postgres", "SELECT count(*) FROM t WHERE id = 81"));
    relay.stop();
}

TEST_F(DtcPgFaults, ATransactionThatRolledBackBeforeEnlistingIsAborted) {
    XID xid = makeXid("pg-rolled-back-first");
    std::string cookie = startWithCookie(&xid);
    // The importer-side abort of the transaction behind the cookie.
    void* object = nullptr;
    ASSERT_EQ(S_OK, DtcGetTransactionManager(nullptr, nullptr, IID_IXATransLookup, 0, 0, nullptr, &object));
    auto* lookup = static_cast<IXATransLookup*>(object);
    ITransaction* tx = nullptr;
    ASSERT_EQ(S_OK, lookup->Lookup(&tx));
    ASSERT_EQ(S_OK, tx->Abort(nullptr, 0, 0));
    tx->Release();
    lookup->Release();
    Child c = enlist(cookie, "postgres", {"INSERT INTO t VALUES (91)"});
    EXPECT_EQ(1, waitExit(c.pid));
    std::string out = readText(c.out);
    EXPECT_NE(std::string::npos, out.find("aborted\n")) << out;
    EXPECT_EQ(XA_RBROLLBACK, DTC_XaEnd(&xid, kRm, TMSUCCESS));
    EXPECT_EQ("0", exec("postgres", "SELECT count(*) FROM t WHERE id = 91"));
}

} // namespace
