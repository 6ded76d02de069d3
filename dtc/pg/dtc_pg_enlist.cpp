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

#include "PgArgs.h"
#include "PgParticipant.h"

namespace {

int usage() {
    std::fprintf(stderr, "%s\n", kPgEnlistUsage);
    return 2;
}

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
    PgEnlistArgs args;
    if (!pgParseEnlistArgs(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc), &args)) return usage();
    const std::string& conninfo = args.conninfo;
    std::string reason;
    if (args.recover) {
        std::vector<std::string> lines;
        if (!pgRecover(conninfo, &lines, &reason)) return failure(reason);
        for (const std::string& line : lines) std::printf("%s\n", line.c_str());
        return 0;
    }
    std::string cookie;
    if (!pgCookieFromHex(args.cookieHex, &cookie)) return failure("not a hex cookie: " + args.cookieHex);
    bool aborted = false;
    PgSession* session = pgSessionOpen(conninfo, cookie, &reason, &aborted);
    if (session == nullptr) return aborted ? abortedExit(reason) : failure(reason);
    for (const std::string& sql : args.statements) {
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
