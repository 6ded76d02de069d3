// The PostgreSQL participant: one PostgreSQL connection enlisted in a
// coordinator transaction through its cookie (libxolehlp.so).
//
// Life of a session:
//  1. pgSessionOpen connects, checks that the server allows prepared
//     transactions (max_prepared_transactions > 0; else a clear reason and
//     nothing enlisted), imports the cookie and creates a resource manager
//     with a fresh GUID.
//  2. pgSessionExec runs the application's statements in one PostgreSQL
//     transaction (BEGIN before the first).
//  3. pgSessionEnlist enlists; from then on the session answers dtcd by itself,
//     on the library's thread: phase one is PREPARE TRANSACTION under the
//     global id "dtc_" + transaction id (hex) + "_" + resource manager GUID
//     (hex), or a read-only vote (and COMMIT) when the transaction wrote
//     nothing; phase two is COMMIT PREPARED / ROLLBACK PREPARED.
//  4. pgSessionWait blocks until the transaction is decided.
// pgRecover, run at start (or by hand after a crash), finds the prepared
// transactions with such ids in the connection's database, reenlists each
// with its resource manager's GUID and applies dtcd's outcome.
#pragma once

#include <string>
#include <vector>

struct PgSession;

enum PgOutcome : int {
    kPgCommitted = 0, // committed (or read-only and done)
    kPgAborted = 1,   // rolled back
    kPgFailed = 2,    // anything else; the reason says what is left to do
};

// Null with a one-line reason on failure.
PgSession* pgSessionOpen(const std::string& conninfo, const std::string& cookie, std::string* reason);
// False with the server's message when the statement fails (the transaction is then rolled back).
bool pgSessionExec(PgSession* session, const std::string& sql, std::string* reason);
// False with a reason when the coordinator refuses the enlistment.
bool pgSessionEnlist(PgSession* session, std::string* reason);
// Rolls the transaction back and tells the coordinator (before or instead of enlisting).
void pgSessionAbort(PgSession* session);
// Waits for the outcome; *reason says why for kPgFailed.
PgOutcome pgSessionWait(PgSession* session, std::string* reason);
void pgSessionClose(PgSession* session);

// Resolves this database's prepared transactions left by crashed
// participants: one line per transaction ("GID committed|aborted|in-doubt").
// False with a reason when the database or dtcd cannot be reached.
bool pgRecover(const std::string& conninfo, std::vector<std::string>* lines, std::string* reason);
