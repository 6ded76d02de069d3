// A private PostgreSQL cluster (PgFixture.h's helpers) for dtcd's PostgreSQL
// store (--store): made before each test, removed after it, with plain SQL on
// the side to look into the store (or into another database of the cluster,
// such as one that participants work in).
#pragma once

#include "PgFixture.h"

namespace pgtest {

class StoreCluster : public ::testing::Test {
protected:
    void SetUp() override {
        makeCluster(&cluster, maxPrepared);
    }
    void TearDown() override {
        stopCluster(&cluster);
        if (!cluster.dir.empty()) std::filesystem::remove_all(cluster.dir);
    }
    // Reached through the socket directory: from every network namespace too.
    std::string conninfo(const std::string& db = "postgres") {
        return "host=" + cluster.dir + " user=" + cluster.role + " dbname=" + db;
    }
    // Runs SQL (in the store's database unless told); answers the first
    // value of the first row (or "").
    std::string sql(const std::string& query, const std::string& db = "postgres") {
        PGconn* conn = PQconnectdb(conninfo(db).c_str());
        PGresult* r = PQexec(conn, query.c_str());
        EXPECT_TRUE(PQresultStatus(r) == PGRES_COMMAND_OK || PQresultStatus(r) == PGRES_TUPLES_OK)
            << query << ": " << PQerrorMessage(conn);
        std::string v = PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) > 0 ? PQgetvalue(r, 0, 0) : "";
        PQclear(r);
        PQfinish(conn);
        return v;
    }
    Cluster cluster;
    int maxPrepared = 0; // the server's max_prepared_transactions (participants need it above 0)
};

} // namespace pgtest
