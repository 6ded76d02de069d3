// The client load of the soak (run-soak.sh), for SECONDS seconds:
//
//   - HELD connections stay open and run whole transactions one after the
//     other, a pause of about PAUSE_MS between two: two-phase commits,
//     roll-backs after the prepare and before it, one-phase commits. A
//     connection that breaks is opened again.
//   - CHURN threads connect, run one to four branches and disconnect, over and
//     over. Two branches in ten are left mid-way, their connection closed
//     right after the start or after the prepare.
//   - PARTICIPANT threads run transactions in which a PostgreSQL participant
//     enlists through the branch's cookie (dtc-pg-enlist, inserting a row
//     tagged with the transaction's gtrid); three in four commit, the others
//     roll back after the prepare.
//
// A branch left mid-way or cut short by a failure (dtcd down) is settled from
// a new connection, retried while dtcd is away, as a transaction manager
// would: committed when a commit had been asked for it, rolled back otherwise.
// Once the load has stopped, what could not be settled then is settled again,
// and the manager's recovery runs: every prepared branch of the soak that the
// service lists is committed when a commit was asked for it, rolled back
// otherwise (presumed abort). Failures are expected while dtcd is down and are
// counted, not fatal.
//
// The outcome of every participant transaction goes to the OUTCOMES file, one
// line each, the last line of a gtrid being what is known of it:
//   C gtrid   a commit of it answered XA_OK: its row must be in the database
//   R gtrid   no commit was ever asked for it: its row must not be
//   U gtrid   a commit was asked and no answer said XA_OK: either may be true
// Prints one line of totals; exit code 0, or 1 when something of the soak is
// still prepared in the service after the final recovery.
//
//   soak_churn SECONDS HELD CHURN PAUSE_MS [PARTICIPANTS ENLIST CONNINFO OUTCOMES] [PORT]
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "MorvalenClient.h"

extern char** environ;

namespace {

using namespace morvalen;
using Clock = std::chrono::steady_clock;

struct Settings {
    int seconds = 0;
    int held = 0;          // connections kept open
    int churn = 0;         // threads that connect and disconnect
    int pauseMs = 1000;    // between two transactions of a held connection
    int participants = 0;  // threads running transactions with a PostgreSQL participant
    std::string enlist;    // the dtc-pg-enlist program
    std::string conninfo;  // its database
    std::string outcomes;  // the participant outcomes file
    uint16_t port = kDefaultPort;
};

struct Totals {
    std::atomic<uint64_t> connections{0};
    std::atomic<uint64_t> connectFailures{0};
    std::atomic<uint64_t> committed{0};
    std::atomic<uint64_t> rolledBack{0};
    std::atomic<uint64_t> abandoned{0};  // connections closed mid-branch on purpose
    std::atomic<uint64_t> failed{0};     // branches cut short by an error or a lost exchange
    std::atomic<uint64_t> settled{0};    // left or failed branches settled from a new connection
    std::atomic<uint64_t> deferred{0};   // ... not within five seconds: settled after the load
    std::atomic<uint64_t> enlisted{0};   // participants that printed "enlisted"
    std::atomic<uint64_t> notEnlisted{0};
    std::atomic<uint64_t> participantsCommitted{0};  // participant transactions whose commit answered XA_OK
    std::atomic<uint64_t> participantsKilled{0};     // participants that told no outcome in time
};

// How far a branch got.
enum Stage { kActive, kIdle, kPrepared };

// A branch to settle after the load, and the participant transaction it
// belongs to, if any.
struct Leftover {
    XID xid{};
    Stage stage = kActive;
    bool commit = false;
    bool participant = false;
};

// Shared by all threads, guarded by stateLock: the gtrids for which a commit
// was asked (the manager's decisions), the branches left for after the load,
// and the outcomes file.
std::mutex stateLock;
std::set<std::string> commitAsked;
std::vector<Leftover> leftovers;
FILE* outcomesFile = nullptr;

std::string gtridOf(const XID& x) { return std::string(x.data, static_cast<size_t>(x.gtrid_length)); }

void noteCommitAsked(const XID& x) {
    std::lock_guard<std::mutex> hold(stateLock);
    commitAsked.insert(gtridOf(x));
}

bool wasCommitAsked(const std::string& gtrid) {
    std::lock_guard<std::mutex> hold(stateLock);
    return commitAsked.count(gtrid) != 0;
}

void noteOutcome(char what, const XID& x) {
    std::lock_guard<std::mutex> hold(stateLock);
    if (outcomesFile != nullptr) {
        std::fprintf(outcomesFile, "%c %s\n", what, gtridOf(x).c_str());
    }
}

bool ok(int32_t status, int32_t result) { return status == kClientOk && result == XA_OK; }

// True for an answer after which nothing of the branch is left to settle:
// done, rolled back, heuristically completed, or unknown to the service.
bool final(int32_t r) { return r == XA_OK || (r >= XA_RBBASE && r <= XA_RBEND) || r == XAER_NOTA || r > 0; }

// Every gtrid of a run starts "soak-", then the run's own tag (its process
// id), so that runs one after the other never meet on an XID or a row.
std::string runTag;

XID makeXid(const std::string& name) {
    std::string gtrid = "soak-" + runTag + "-" + name;
    XID x{};
    (void)xidMake(kDefaultFormatId, gtrid.data(), gtrid.size(), "s", 1, &x);
    return x;
}

// One attempt to settle a branch from a new connection, as a transaction
// manager does after a lost connection or a failure: ends it if it is still
// active, then commits it (a prepared branch decided for commit) or rolls it
// back. True when nothing is left of it; *stage follows the branch, *result is
// the last answer.
bool settleOnce(uint16_t port, const XID& x, Stage* stage, bool commit, int32_t* result) {
    MorvalenConnection c;
    if (clientConnect(&c, "127.0.0.1", port, 10000) != kClientOk) return false;
    int32_t r = 0;
    bool settled = false;
    // Any answer to the end but XAER_RMFAIL says the branch is no longer
    // active (ended, rolled back, or unknown to the service): a roll-back
    // finishes whatever is left of it.
    if (*stage == kActive && clientEnd(&c, &x, TMSUCCESS, &r) == kClientOk && r != XAER_RMFAIL) {
        *stage = kIdle;
        settled = r == XAER_NOTA || (r >= XA_RBBASE && r <= XA_RBEND);
        *result = r;
    }
    if (!settled && *stage != kActive) {
        bool doCommit = *stage == kPrepared && commit;
        int32_t status = doCommit ? clientCommit(&c, &x, TMNOFLAGS, &r) : clientRollback(&c, &x, TMNOFLAGS, &r);
        settled = status == kClientOk && final(r);
        if (status == kClientOk) *result = r;
    }
    clientClose(&c);
    return settled;
}

// Settles a branch, retrying for up to `ms` while the coordinator is away.
// True when it was settled; *result is the last answer.
bool settle(uint16_t port, const XID& x, Stage stage, bool commit, int ms, int32_t* result) {
    auto until = Clock::now() + std::chrono::milliseconds(ms);
    for (bool first = true; first || Clock::now() < until; first = false) {
        if (!first) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (settleOnce(port, x, &stage, commit, result)) return true;
    }
    return false;
}

// Settles a branch cut short now, or leaves it for after the load.
void settleOrLeave(const Settings& s, Totals* t, const XID& x, Stage stage, bool commit, bool participant) {
    if (commit && stage == kPrepared) noteCommitAsked(x);
    int32_t r = 0;
    if (settle(s.port, x, stage, commit, 5000, &r)) {
        ++t->settled;
        if (participant) noteOutcome(commit && stage == kPrepared && r == XA_OK ? 'C' : wasCommitAsked(gtridOf(x)) ? 'U' : 'R', x);
        return;
    }
    ++t->deferred;
    std::lock_guard<std::mutex> hold(stateLock);
    leftovers.push_back(Leftover{x, stage, commit, participant});
}

// One transaction on a held connection; its kind follows k. False when the
// connection broke.
bool heldTransaction(const Settings& s, Totals* t, MorvalenConnection* c, const XID& x, uint64_t k) {
    int32_t r = 0;
    int32_t status = clientStart(c, &x, TMNOFLAGS, &r, nullptr);
    if (!ok(status, r)) {
        ++t->failed;  // nothing to settle: the branch never started
        return status == kClientOk;
    }
    int kind = static_cast<int>(k % 8);  // 0-3 two-phase commit, 4 roll-back after prepare,
                                         // 5 roll-back before it, 6-7 one-phase commit
    Stage stage = kActive;
    bool commit = kind != 4 && kind != 5;
    if (status = clientEnd(c, &x, TMSUCCESS, &r); !ok(status, r)) {
        // The branch may be anything now: settle it.
    } else if (stage = kIdle; kind == 5) {
        status = clientRollback(c, &x, TMNOFLAGS, &r);
        if (ok(status, r)) {
            ++t->rolledBack;
            return true;
        }
    } else if (kind >= 6) {
        status = clientCommit(c, &x, TMONEPHASE, &r);
        if (ok(status, r)) {
            ++t->committed;
            return true;
        }
    } else if (status = clientPrepare(c, &x, TMNOFLAGS, &r); !ok(status, r)) {
        // a prepare without XA_OK: roll back whatever is left
    } else {
        stage = kPrepared;
        if (commit) noteCommitAsked(x);
        status = commit ? clientCommit(c, &x, TMNOFLAGS, &r) : clientRollback(c, &x, TMNOFLAGS, &r);
        if (ok(status, r)) {
            ++(commit ? t->committed : t->rolledBack);
            return true;
        }
    }
    ++t->failed;
    settleOrLeave(s, t, x, stage, commit, false);
    return status == kClientOk;
}

// Connects a closed connection again; false (after a short pause) when the
// service refused, counted as a connect failure.
bool connectIfClosed(MorvalenConnection* c, const Settings& s, Totals* t) {
    if (c->fd >= 0) return true;
    if (clientConnect(c, "127.0.0.1", s.port, 10000) != kClientOk) {
        ++t->connectFailures;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return false;
    }
    ++t->connections;
    return true;
}

void held(int id, const Settings* s, Clock::time_point until, Totals* t) {
    std::minstd_rand random(static_cast<unsigned>(id + 1));
    // Spread the first transactions over one pause, so the connections do not
    // move in step.
    std::this_thread::sleep_for(std::chrono::milliseconds(random() % static_cast<unsigned>(s->pauseMs + 1)));
    MorvalenConnection c;
    uint64_t n = 0;
    while (Clock::now() < until) {
        if (!connectIfClosed(&c, *s, t)) continue;
        uint64_t k = n++;
        XID x = makeXid("h" + std::to_string(id) + "-" + std::to_string(k));
        if (!heldTransaction(*s, t, &c, x, k)) clientClose(&c);
        auto pause = static_cast<unsigned>(s->pauseMs / 2) + random() % static_cast<unsigned>(s->pauseMs + 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(pause));
    }
    clientClose(&c);
}

void churn(int id, const Settings* s, Clock::time_point until, Totals* t) {
    uint64_t n = 0;
    while (Clock::now() < until) {
        MorvalenConnection c;
        if (clientConnect(&c, "127.0.0.1", s->port, 10000) != kClientOk) {
            ++t->connectFailures;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            continue;
        }
        ++t->connections;
        int branches = 1 + static_cast<int>(n % 4);  // 1 to 4 branches a connection
        for (int b = 0; b < branches; ++b) {
            uint64_t k = n++;  // this branch's number; it picks what the branch does
            XID x = makeXid("c" + std::to_string(id) + "-" + std::to_string(k));
            int32_t r = 0;
            if (!ok(clientStart(&c, &x, TMNOFLAGS, &r, nullptr), r)) {
                ++t->failed;  // nothing to settle: the branch never started
                break;
            }
            bool commit = k % 2 == 0;
            Stage stage = kActive;
            bool done = false;  // otherwise: close the connection and settle from a new one
            if (k % 10 == 3) {
                // vanish with an active branch
            } else if (!ok(clientEnd(&c, &x, TMSUCCESS, &r), r)) {
                ++t->failed;
            } else if (k % 3 == 2) {
                stage = kIdle;
                if (ok(clientCommit(&c, &x, TMONEPHASE, &r), r)) {
                    ++t->committed;
                    done = true;
                } else {
                    ++t->failed;
                }
            } else if (stage = kIdle; !ok(clientPrepare(&c, &x, TMNOFLAGS, &r), r)) {
                ++t->failed;  // a prepare without XA_OK: roll back whatever is left
            } else if (stage = kPrepared; k % 10 == 7) {
                // vanish with a prepared branch
            } else {
                if (commit) noteCommitAsked(x);
                int32_t status =
                    commit ? clientCommit(&c, &x, TMNOFLAGS, &r) : clientRollback(&c, &x, TMNOFLAGS, &r);
                if (ok(status, r)) {
                    ++(commit ? t->committed : t->rolledBack);
                    done = true;
                } else {
                    ++t->failed;
                }
            }
            if (done) continue;
            if (k % 10 == 3 || k % 10 == 7) ++t->abandoned;
            clientClose(&c);
            settleOrLeave(*s, t, x, stage, commit, false);
            break;
        }
        clientClose(&c);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// A running dtc-pg-enlist: its pid and the read end of its standard output.
struct Participant {
    pid_t pid = -1;
    int out = -1;
    std::string buffer;  // what it printed that is not yet a whole line
};

// Starts dtc-pg-enlist with the cookie and an insert tagged with gtrid; its
// standard error goes to the soak's standard error. False when it could not.
bool startParticipant(const Settings& s, const MorvalenCookie& cookie, const std::string& gtrid, Participant* p) {
    std::string hex;
    char digits[3];
    for (int32_t i = 0; i < cookie.length; ++i) {
        std::snprintf(digits, sizeof digits, "%02x", cookie.bytes[i]);
        hex += digits;
    }
    std::string sql = "INSERT INTO soak_rows (gtrid) VALUES ('" + gtrid + "')";
    std::vector<std::string> args = {s.enlist, "--cookie", hex, "--conninfo", s.conninfo, "--sql", sql};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    int rc = posix_spawn(&p->pid, s.enlist.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (rc != 0) {
        ::close(pipeFds[0]);
        p->pid = -1;
        return false;
    }
    p->out = pipeFds[0];
    return true;
}

// The participant's next line within ms; empty at its end or on time-out
// (then *timedOut, when given, is set).
std::string nextLine(Participant* p, int ms, bool* timedOut = nullptr) {
    auto until = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        size_t end = p->buffer.find('\n');
        if (end != std::string::npos) {
            std::string line = p->buffer.substr(0, end);
            p->buffer.erase(0, end + 1);
            return line;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        pollfd pfd{p->out, POLLIN, 0};
        if (left <= 0 || ::poll(&pfd, 1, static_cast<int>(left)) <= 0) {
            if (timedOut != nullptr) *timedOut = true;
            return {};
        }
        char chunk[256];
        ssize_t got = ::read(p->out, chunk, sizeof chunk);
        if (got <= 0) return {};
        p->buffer.append(chunk, static_cast<size_t>(got));
    }
}

// Waits for the participant's outcome line and its exit; one that tells
// nothing within ms is killed (its prepared work is --recover's).
void finishParticipant(Totals* t, Participant* p, int ms) {
    bool timedOut = false;
    (void)nextLine(p, ms, &timedOut);
    if (timedOut) {
        ::kill(p->pid, SIGKILL);
        ++t->participantsKilled;
    }
    int status = 0;
    ::waitpid(p->pid, &status, 0);
    ::close(p->out);
}

// One transaction with a participant on connection c. False when the
// connection broke.
bool participantTransaction(const Settings& s, Totals* t, MorvalenConnection* c, const XID& x, uint64_t k) {
    int32_t r = 0;
    MorvalenCookie cookie;
    int32_t status = clientStart(c, &x, TMNOFLAGS, &r, &cookie);
    if (!ok(status, r) || cookie.length <= 0) {
        ++t->failed;
        noteOutcome('R', x);
        if (ok(status, r)) settleOrLeave(s, t, x, kActive, false, true);
        return status == kClientOk;
    }
    Participant p;
    if (!startParticipant(s, cookie, gtridOf(x), &p)) {
        std::fprintf(stderr, "soak_churn: cannot start %s\n", s.enlist.c_str());
        ++t->failed;
        settleOrLeave(s, t, x, kActive, false, true);
        return true;
    }
    bool enlisted = nextLine(&p, 20000) == "enlisted";
    ++(enlisted ? t->enlisted : t->notEnlisted);
    bool commit = k % 4 != 3;
    Stage stage = kActive;
    if (!enlisted) {
        commit = false;  // its work is not in the transaction: roll back
    } else if (status = clientEnd(c, &x, TMSUCCESS, &r); !ok(status, r)) {
    } else if (stage = kIdle; status = clientPrepare(c, &x, TMNOFLAGS, &r), !ok(status, r)) {
    } else {
        stage = kPrepared;
        if (commit) noteCommitAsked(x);
        status = commit ? clientCommit(c, &x, TMNOFLAGS, &r) : clientRollback(c, &x, TMNOFLAGS, &r);
        if (ok(status, r)) {
            ++(commit ? t->committed : t->rolledBack);
            if (commit) ++t->participantsCommitted;
            noteOutcome(commit ? 'C' : 'R', x);
            finishParticipant(t, &p, 15000);
            return true;
        }
    }
    ++t->failed;
    if (status != kClientOk) clientClose(c);
    settleOrLeave(s, t, x, stage, commit, true);
    finishParticipant(t, &p, 15000);
    return status == kClientOk;
}

void participants(int id, const Settings* s, Clock::time_point until, Totals* t) {
    MorvalenConnection c;
    uint64_t n = 0;
    while (Clock::now() < until) {
        if (!connectIfClosed(&c, *s, t)) continue;
        uint64_t k = n++;
        XID x = makeXid("p" + std::to_string(id) + "-" + std::to_string(k));
        if (!participantTransaction(*s, t, &c, x, k)) clientClose(&c);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    clientClose(&c);
}

// Settles what could not be settled during the load, retrying for up to a
// minute in all while the coordinator comes back.
void settleLeftovers(const Settings& s, Totals* t) {
    std::vector<Leftover> left;
    {
        std::lock_guard<std::mutex> hold(stateLock);
        left.swap(leftovers);
    }
    auto until = Clock::now() + std::chrono::seconds(60);
    for (const Leftover& l : left) {
        int32_t r = 0;
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        bool settled = settle(s.port, l.xid, l.stage, l.commit, static_cast<int>(std::max<int64_t>(ms, 0)), &r);
        if (settled) ++t->settled;
        if (l.participant) {
            bool committed = settled && l.commit && l.stage == kPrepared && r == XA_OK;
            noteOutcome(committed ? 'C' : wasCommitAsked(gtridOf(l.xid)) ? 'U' : 'R', l.xid);
        }
    }
}

// The manager's recovery: lists the service's prepared branches and decides
// each of the soak's (commit when a commit was asked for it, otherwise roll
// back). Returns how many of the soak's are still listed after up to a
// minute of rounds.
int recoverPrepared(const Settings& s, Totals* t) {
    auto until = Clock::now() + std::chrono::seconds(60);
    int left = 0;
    do {
        MorvalenConnection c;
        if (clientConnect(&c, "127.0.0.1", s.port, 10000) != kClientOk) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            continue;
        }
        std::vector<XID> listed;
        bool scanned = false;  // the whole list came back
        int32_t flags = TMSTARTRSCAN;
        for (int round = 0; round < 10000 && !scanned; ++round) {
            MorvalenRecoverList list;
            int32_t r = 0;
            if (clientRecover(&c, flags, &r, &list) != kClientOk || r < 0) break;
            listed.insert(listed.end(), list.xids, list.xids + list.count);
            scanned = r < kMaxRecoverPerReply;
            flags = TMNOFLAGS;
        }
        MorvalenRecoverList ignored;
        int32_t ended = 0;
        (void)clientRecover(&c, TMENDRSCAN, &ended, &ignored);
        left = scanned ? 0 : 1;
        for (const XID& x : listed) {
            std::string gtrid = gtridOf(x);
            if (x.formatID != kDefaultFormatId || gtrid.rfind("soak-", 0) != 0) continue;
            bool commit = wasCommitAsked(gtrid);
            int32_t r = 0;
            int32_t status = commit ? clientCommit(&c, &x, TMNOFLAGS, &r) : clientRollback(&c, &x, TMNOFLAGS, &r);
            if (status != kClientOk || !final(r)) {
                ++left;
                continue;
            }
            ++t->settled;
            if (gtrid.find("-p") != std::string::npos) noteOutcome(commit && r == XA_OK ? 'C' : commit ? 'U' : 'R', x);
        }
        clientClose(&c);
        if (left == 0) return 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    } while (Clock::now() < until);
    return left;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5 && argc != 6 && argc != 9 && argc != 10) {
        std::fprintf(stderr,
                     "usage: soak_churn SECONDS HELD CHURN PAUSE_MS [PARTICIPANTS ENLIST CONNINFO OUTCOMES] [PORT]\n");
        return 2;
    }
    Settings s;
    s.seconds = std::atoi(argv[1]);
    s.held = std::atoi(argv[2]);
    s.churn = std::atoi(argv[3]);
    s.pauseMs = std::max(1, std::atoi(argv[4]));
    if (argc >= 9) {
        s.participants = std::atoi(argv[5]);
        s.enlist = argv[6];
        s.conninfo = argv[7];
        s.outcomes = argv[8];
    }
    if (argc == 6 || argc == 10) s.port = static_cast<uint16_t>(std::atoi(argv[argc - 1]));
    if (!s.outcomes.empty() && (outcomesFile = std::fopen(s.outcomes.c_str(), "a")) == nullptr) {
        std::perror(s.outcomes.c_str());
        return 2;
    }
    if (outcomesFile != nullptr) std::setvbuf(outcomesFile, nullptr, _IOLBF, 0);

    runTag = std::to_string(::getpid());
    Totals t;
    auto until = Clock::now() + std::chrono::seconds(s.seconds);
    std::vector<std::thread> pool;
    for (int i = 0; i < s.held; ++i) pool.emplace_back(held, i, &s, until, &t);
    for (int i = 0; i < s.churn; ++i) pool.emplace_back(churn, i, &s, until, &t);
    for (int i = 0; i < s.participants; ++i) pool.emplace_back(participants, i, &s, until, &t);
    for (std::thread& th : pool) th.join();
    settleLeftovers(s, &t);
    int left = recoverPrepared(s, &t);
    if (outcomesFile != nullptr) std::fclose(outcomesFile);

    std::printf("load: connections=%llu connect-failures=%llu committed=%llu rolled-back=%llu failed=%llu "
                "abandoned=%llu settled=%llu settled-after-load=%llu participants-enlisted=%llu "
                "participants-not-enlisted=%llu participant-commits=%llu participants-killed=%llu "
                "still-prepared=%d\n",
                static_cast<unsigned long long>(t.connections.load()),
                static_cast<unsigned long long>(t.connectFailures.load()),
                static_cast<unsigned long long>(t.committed.load()),
                static_cast<unsigned long long>(t.rolledBack.load()),
                static_cast<unsigned long long>(t.failed.load()),
                static_cast<unsigned long long>(t.abandoned.load()),
                static_cast<unsigned long long>(t.settled.load()),
                static_cast<unsigned long long>(t.deferred.load()),
                static_cast<unsigned long long>(t.enlisted.load()),
                static_cast<unsigned long long>(t.notEnlisted.load()),
                static_cast<unsigned long long>(t.participantsCommitted.load()),
                static_cast<unsigned long long>(t.participantsKilled.load()), left);
    return left == 0 ? 0 : 1;
}
