// dtc-pg-enlist: the PostgreSQL participant as a program.
//
//   dtc-pg-enlist --cookie HEX --conninfo CONNINFO --sql SQL [--sql SQL ...]
// imports the cookie, runs the statements in one PostgreSQL transaction,
// enlists it and prints `enlisted` (flushed at once, so the application knows
// it may go on with the transaction), stays until the transaction is decided
// and prints `committed` (exit 0) or `aborted` (exit 1, also when the
// transaction had rolled back before it could enlist); any other failure
// prints one line on standard error and exits 2 (a statement that ends the
// PostgreSQL transaction is one: nothing is enlisted then).
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

// The transaction rolled back (or will): the reason, if any, on standard
// error, `aborted` on standard output, exit code 1.
int abortedExit(const std::string& reason) {
    if (!reason.empty()) std::fprintf(stderr, "dtc-pg-enlist: %s\n", reason.c_str());
    std::printf("aborted\n");
    return 1;
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
    bool aborted = false;
    PgSession* session = pgSessionOpen(conninfo, cookie, &reason, &aborted);
    if (session == nullptr) return aborted ? abortedExit(reason) : failure(reason);
    for (const std::string& sql : statements) {
        PgExec ran = pgSessionExec(session, sql, &reason);
        if (ran == kPgExecOk) continue;
        // The work is lost (or no longer the coordinator's): the whole
        // transaction rolls back.
        pgSessionAbort(session);
        pgSessionClose(session);
        return ran == kPgExecEnded ? failure(reason) : abortedExit(reason);
    }
    if (!pgSessionEnlist(session, &reason, &aborted)) {
        pgSessionAbort(session);
        pgSessionClose(session);
        return aborted ? abortedExit(reason) : failure(reason);
    }
    std::printf("enlisted\n");
    std::fflush(stdout);
    PgOutcome outcome = pgSessionWait(session, &reason);
    pgSessionClose(session);
    if (outcome == kPgFailed) return failure(reason);
    if (outcome == kPgAborted) return abortedExit(reason);
    if (!reason.empty()) std::fprintf(stderr, "dtc-pg-enlist: %s\n", reason.c_str());
    std::printf("committed\n");
    return 0;
}
