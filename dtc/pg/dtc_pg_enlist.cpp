// dtc-pg-enlist: the PostgreSQL participant as a program.
//
//   dtc-pg-enlist --cookie HEX --conninfo CONNINFO --sql SQL [--sql SQL ...]
// imports the cookie, runs the statements in one PostgreSQL transaction,
// enlists it and prints `enlisted` (flushed at once, so the application knows
// it may go on with the transaction), stays until the transaction is decided
// and prints `committed` (exit 0) or `aborted` (exit 1); any other failure
// prints one line on standard error and exits 2.
//
//   dtc-pg-enlist --recover --conninfo CONNINFO
// resolves the prepared transactions a crashed participant left in that
// database with dtcd's outcomes, one line per transaction, exit 0.
#include <cstdio>
#include <string>
#include <vector>

#include "PgParticipant.h"
#include "Wire.h"

namespace {

const char kUsage[] =
    "usage: dtc-pg-enlist --cookie HEX --conninfo CONNINFO --sql SQL [--sql SQL ...]\n"
    "       dtc-pg-enlist --recover --conninfo CONNINFO\n"
    "DTCD_SOCKET names dtcd's socket.";

int failure(const std::string& reason) {
    std::fprintf(stderr, "dtc-pg-enlist: %s\n", reason.c_str());
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    std::string cookieHex;
    std::string conninfo;
    std::vector<std::string> statements;
    bool recover = false;
    bool haveConninfo = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--cookie" && i + 1 < argc) {
            cookieHex = argv[++i];
        } else if (arg == "--conninfo" && i + 1 < argc) {
            conninfo = argv[++i];
            haveConninfo = true;
        } else if (arg == "--sql" && i + 1 < argc) {
            statements.emplace_back(argv[++i]);
        } else if (arg == "--recover") {
            recover = true;
        } else {
            std::fprintf(stderr, "%s\n", kUsage);
            return 2;
        }
    }
    if (!haveConninfo || (recover ? !cookieHex.empty() || !statements.empty() : cookieHex.empty() || statements.empty())) {
        std::fprintf(stderr, "%s\n", kUsage);
        return 2;
    }
    std::string reason;
    if (recover) {
        std::vector<std::string> lines;
        if (!pgRecover(conninfo, &lines, &reason)) return failure(reason);
        for (const std::string& line : lines) std::printf("%s\n", line.c_str());
        return 0;
    }
    std::string cookie;
    if (!dtcwire::hexDecode(cookieHex, &cookie) || cookie.empty()) return failure("not a hex cookie: " + cookieHex);
    PgSession* session = pgSessionOpen(conninfo, cookie, &reason);
    if (session == nullptr) return failure(reason);
    for (const std::string& sql : statements) {
        if (!pgSessionExec(session, sql, &reason)) {
            // The work is lost: the whole transaction rolls back.
            pgSessionAbort(session);
            pgSessionClose(session);
            std::fprintf(stderr, "dtc-pg-enlist: %s\n", reason.c_str());
            std::printf("aborted\n");
            return 1;
        }
    }
    if (!pgSessionEnlist(session, &reason)) {
        pgSessionAbort(session);
        pgSessionClose(session);
        return failure(reason);
    }
    std::printf("enlisted\n");
    std::fflush(stdout);
    PgOutcome outcome = pgSessionWait(session, &reason);
    pgSessionClose(session);
    if (outcome == kPgFailed) return failure(reason);
    if (!reason.empty()) std::fprintf(stderr, "dtc-pg-enlist: %s\n", reason.c_str());
    std::printf("%s\n", outcome == kPgCommitted ? "committed" : "aborted");
    return outcome == kPgCommitted ? 0 : 1;
}
