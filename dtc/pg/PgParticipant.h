// The PostgreSQL participant: one PostgreSQL connection enlisted in a
// coordinator transaction through its cookie (libxolehlp.so).
//
// Identity. Every run against one database uses the same resource-manager
// GUID, derived from the cluster's system identifier and the database's name
// (the md5 of both, as 16 bytes), so that whatever one run leaves behind
// (a prepared transaction, an acknowledgement dtcd still waits for) is found
// and settled by any later --recover against that database.
//
// Life of a session:
//  1. pgSessionOpen connects, checks that the server allows prepared
//     transactions (max_prepared_transactions > 0; else a clear reason and
//     nothing enlisted), imports the cookie and creates the database's
//     resource manager.
//  2. pgSessionExec runs the application's statements in one PostgreSQL
//     transaction (BEGIN before the first). After each one the session must
//     still be inside that same transaction: a statement that ends it
//     (COMMIT, ROLLBACK, PREPARE TRANSACTION, COMMIT AND CHAIN) is refused.
//  3. pgSessionEnlist takes the transaction's advisory lock (held by this
//     session until it closes, so --recover leaves its prepared transaction
//     alone) and enlists; from then on the session answers dtcd by itself,
//     on the library's thread: phase one is PREPARE TRANSACTION under the
//     global id "dtc_" + transaction id (hex) + "_" + resource manager GUID
//     (hex, in memory byte order) + "_" + 8 hex digits of this session, or a
//     read-only vote (and COMMIT) when the transaction wrote nothing; phase
//     two is COMMIT PREPARED / ROLLBACK PREPARED. A reply to PREPARE
//     TRANSACTION that is lost is settled through a new connection before
//     the vote: the prepared transaction, if the server made it, is rolled
//     back, then the vote is no.
//  4. pgSessionWait blocks until the transaction is decided (or dtcd is lost).
// pgRecover, run at start (or by hand after a crash), finds the prepared
// transactions with such ids in the connection's database that no live
// session holds, reenlists each with its resource manager's GUID, applies
// dtcd's outcome and ends with ReenlistmentComplete.
#pragma once

#include <string>
#include <vector>

struct PgSession;

enum PgOutcome : int {
    kPgCommitted = 0, // committed (or read-only and done)
    kPgAborted = 1,   // rolled back
    kPgFailed = 2,    // anything else; the reason says what is left to do
};

enum PgExec : int {
    kPgExecOk = 0,     // ran, the transaction is still open
    kPgExecFailed = 1, // the statement failed; the transaction was rolled back
    kPgExecEnded = 2,  // the statement ended the transaction; nothing may be enlisted
};

// Null with a one-line reason on failure; *aborted (may be null) is set when
// the reason is that the transaction already rolled back.
PgSession* pgSessionOpen(const std::string& conninfo, const std::string& cookie, std::string* reason,
                         bool* aborted = nullptr);
// Runs one statement; on failure *reason has the server's message or says
// how the transaction ended.
PgExec pgSessionExec(PgSession* session, const std::string& sql, std::string* reason);
// False with a reason when the coordinator refuses the enlistment; *aborted
// (may be null) is set when it refused because the transaction rolled back.
bool pgSessionEnlist(PgSession* session, std::string* reason, bool* aborted = nullptr);
// Rolls the transaction back and tells the coordinator (before or instead of enlisting).
void pgSessionAbort(PgSession* session);
// Waits for the outcome; *reason says why for kPgFailed.
PgOutcome pgSessionWait(PgSession* session, std::string* reason);
void pgSessionClose(PgSession* session);

// Resolves this database's prepared transactions left by crashed
// participants: one line per transaction ("GID committed|aborted|in-doubt",
// in-doubt with the reason in parentheses). False with a reason when the
// database or dtcd cannot be reached.
bool pgRecover(const std::string& conninfo, std::vector<std::string>* lines, std::string* reason);
