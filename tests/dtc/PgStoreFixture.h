// A private PostgreSQL cluster (PgFixture.h's helpers) for dtcd's PostgreSQL
// store (--store): made before each test, removed after it, with plain SQL on
// the side to look into the store.
#pragma once

#include "PgFixture.h"

namespace pgtest {

class StoreCluster : public ::testing::Test {
protected:
    void SetUp() override {
        makeCluster(&cluster, 0);
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
