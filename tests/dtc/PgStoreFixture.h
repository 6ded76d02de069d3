// A private PostgreSQL cluster (PgFixture.h's helpers) for dtcd's PostgreSQL
// store (--store): made before each test, removed after it, with plain SQL on
// the side to look into the store.
#pragma once

#include "PgFixture.h"

namespace pgtest {

class StoreCluster : public ::testing::Test {
protected:
    void SetUp() override {
        if (pgBin().empty()) GTEST_SKIP() << "PostgreSQL server binaries not installed";
        cluster.dir = makeTempDir();
        if (geteuid() == 0) {
            cluster.user = getpwnam("postgres");
            if (cluster.user == nullptr) GTEST_SKIP() << "running as root without a postgres user";
            ASSERT_EQ(0, chown(cluster.dir.c_str(), cluster.user->pw_uid, cluster.user->pw_gid));
            cluster.role = "postgres";
        } else {
            cluster.role = getpwuid(geteuid())->pw_name;
        }
        std::string out = cluster.dir + "/initdb.log";
        ASSERT_EQ(0, waitExit(spawnAs({pgBin() + "/initdb", "-D", cluster.dir + "/data", "-A", "trust", "-U",
                                       cluster.role, "--no-sync"},
                                      out, cluster.user)))
            << readText(out);
        ASSERT_TRUE(startCluster(&cluster, 0)) << readText(cluster.dir + "/server.log");
    }
    void TearDown() override {
        stopCluster(&cluster);
        if (!cluster.dir.empty()) std::filesystem::remove_all(cluster.dir);
    }
    // Reached through the socket directory: from every network namespace too.
    std::string conninfo() { return "host=" + cluster.dir + " user=" + cluster.role + " dbname=postgres"; }
    // Runs SQL; answers the first value of the first row (or "").
    std::string sql(const std::string& query) {
        PGconn* conn = PQconnectdb(conninfo().c_str());
        PGresult* r = PQexec(conn, query.c_str());
        EXPECT_TRUE(PQresultStatus(r) == PGRES_COMMAND_OK || PQresultStatus(r) == PGRES_TUPLES_OK)
            << query << ": " << PQerrorMessage(conn);
        std::string v = PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) > 0 ? PQgetvalue(r, 0, 0) : "";
        PQclear(r);
        PQfinish(conn);
        return v;
    }
    Cluster cluster;
};

} // namespace pgtest
