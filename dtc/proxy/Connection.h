// One connection of a client process to dtcd, shared by every thread of the
// process that calls through it. Calls are multiplexed: each request carries
// an id and each answer goes to the thread that waits for it.
//
// Who reads. A connection that takes notes (unasked messages, a resource
// manager's) has a reader thread of its own that reads everything. Any other
// connection is read by its callers: the first caller that finds nobody
// reading becomes the reader until its own answer has come, handing every
// other answer it meets to its waiter, then passes the role on to a thread
// that still waits. A caller thus usually reads its own answer, with no
// hand-off between threads. A lost connection wakes every waiter with "lost"
// and stays dead; the owner replaces it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <set>
#include <string_view>
#include <unordered_map>

#include "platform/ThreadSafety.h"

// A caller waiting for its answer. Its fields are written and read under its
// connection's mu (which the analysis cannot name from here).
struct Waiter {
    std::condition_variable cv; // signalled when done is set, or when the reading role is free
    bool done = false;          // answer (or loss) delivered
    bool lost = false;          // the connection went away before the answer
    int32_t result = 0;         // the answer's result
    std::string body;           // the answer's body
};

// Receives what dtcd sends unasked (request id 0): the kind and the body. Called
// on the reader thread, which must not wait for dtcd from inside it. Called once
// more with kind kNoteLost when the connection ends.
using NoteHandler = std::function<void(int32_t kind, std::string body)>;

struct Connection {
    int fd = -1;                                       // owned; closed by the destructor
    platform::Mutex mu;                                            // guards what is marked so
    std::unordered_map<uint32_t, Waiter*> pending GUARDED_BY(mu);  // id -> waiting caller
    uint32_t nextId GUARDED_BY(mu) = 1;                            // next request id
    bool dead GUARDED_BY(mu) = false;                              // lost: every call fails at once
    bool reading GUARDED_BY(mu) = false;                           // a thread holds the reading role
    std::string in;                                    // bytes read, not yet a whole frame (reader only)
    std::unique_ptr<char[]> chunk;                     // receive buffer (reader only)
    platform::Mutex sendMu;                            // one frame written at a time
    uint8_t instance[16]{};                            // dtcd's instance id (from hello)
    NoteHandler onNote;                                // set before the reader starts, or empty
    std::set<std::string> aborted GUARDED_BY(mu);      // transaction ids noted aborted (kNoteTxAborted)
    bool abortedOverflow GUARDED_BY(mu) = false;       // too many kept: aborts are no longer known here
    ~Connection();
};
using ConnectionRef = std::shared_ptr<Connection>;

// Connects to dtcd (DTCD_SOCKET) and asks for the instance id. With onNote,
// starts the connection's reader thread. Null when dtcd cannot be reached or
// the thread cannot start.
ConnectionRef connectionOpen(NoteHandler onNote = {});
// Sends one request and waits for its answer. False when the connection is
// (or becomes) lost; then *result and *body are untouched.
[[nodiscard]] bool connectionCall(Connection& c, uint16_t op, std::string_view body, int32_t* result,
                                  std::string* replyBody);
// Ends the connection: whoever reads wakes every waiter as lost.
void connectionShutdown(Connection& c);
// False once the connection is lost. Sees a loss even while no call is under
// way (dtcd gone, or connectionShutdown), at the cost of a system call then.
bool connectionAlive(Connection& c);
// Reads, without waiting, everything the connection has received so far, so
// that every note dtcd sent before now is applied. False when it cannot tell:
// another thread holds the reading role (it may not have read all yet), or
// too many aborts were noted to keep. True on a connection known lost.
bool connectionCatchUp(Connection& c);
// Whether dtcd noted the transaction (16-byte id) as aborted, as far as the
// connection has read.
bool connectionNotedAborted(Connection& c, const uint8_t* uow);
// Forgets a transaction's abort note (the process no longer holds the branch).
void connectionForgetNote(Connection& c, const uint8_t* uow);
// True once a loss has been seen (by a call, the reader or connectionAlive).
// No system call: for a caller about to call through the connection anyway,
// whose call fails alike on a loss not seen yet.
bool connectionKnownLost(Connection& c);
