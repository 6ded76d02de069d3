// Shared by the dtcd fuzz targets: one coordinator state per input over one
// store (a SQLite database in a temporary directory, opened once per process),
// the frame splitting of dtcd's event loop, and checks of the state's
// invariants after every request.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "Coordinator.h"

namespace dtcdfuzz {

// The process's store, opened on first use (abort when it cannot be).
Store* store();

// A fresh coordinator over the store, with one client (id 16) registered.
struct Session {
    Coordinator co;
    Client* client = nullptr;
    size_t requests = 0;  // requests handled so far: each must get one reply
    size_t replies = 0;   // replies taken off by nextReply
    uint64_t nextClientId = 17; // the next connection's id (ids are never reused)
};
void begin(Session* s);

// Handles one request as the event loop does, waits for the durable writes it
// queued, and checks the state (abort on a broken invariant).
void request(Session* s, uint32_t id, uint16_t op, std::string_view body);

// Splits bytes into request frames as dtcd's event loop does and handles each
// whole one; false when a frame length is malformed (the loop closes the
// connection there).
bool frames(Session* s, std::string_view bytes);

// The replies collected so far; each is checked for shape and taken off.
struct Reply {
    uint32_t id = 0;
    int32_t result = 0;
    std::string body;
};
bool nextReply(Session* s, Reply* out);

// The client goes away, and with it every further connection; every branch
// left must be prepared, heuristic, or committing with a participant that
// still owes its acknowledgement; the stored rows are deleted so the next
// input starts from an empty store.
void end(Session* s);

// --- several connections (resource managers beside the control connection)

// A further connection, with a fresh id.
Client* connect(Session* s);
// The connection closes as the event loop closes it (clientGone, then the
// record goes); the state is checked.
void disconnect(Session* s, Client* client);
// Handles one request of `client` without waiting for its durable writes.
void handle(Session* s, Client* client, uint32_t id, uint16_t op, std::string_view body);
// Waits for every durable write queued so far, answers them, and checks the
// state.
void settle(Session* s);
// Runs the event loop's timers as if `aheadMs` had passed, and checks the state.
void timers(Session* s, int64_t aheadMs);
// Takes the next frame off a connection's output (a reply, or with id 0 a
// note); false when there is none. Its shape is checked.
bool takeFrame(Client* client, Reply* out);
// Checks the coordinator's invariants (abort on a broken one).
void check(const Session* s);

[[noreturn]] void fail(const char* what);

}  // namespace dtcdfuzz
