// The PostgreSQL side of dtcd's store (--store CONNINFO), reached only through
// the functions of Store.h, which call these when Store::url is set.
//
// Tables live in the schema dtcd: meta (schema version, instance id),
// branches (the rows of the SQLite store, the participants as bytea) and
// lease, one row (epoch, holder, node, since, lease_until) that says which of
// the coordinators sharing the store is active. The database's clock decides:
// a standby takes the row over only once lease_until has passed (or when the
// row names this data directory's own node, whose earlier process is gone
// since this one holds the directory's lock), adding one to the epoch. The
// active coordinator renews the lease every renewMs, and every write batch
// renews it in the same transaction (dtcd.hold_lease raises when the epoch is
// no longer ours or the lease has run out), so a coordinator that lost the
// lease never writes again. Its own monotonic clock fences it as well:
// Store::servingUntilMs is the send time of the last successful renewal plus
// the lease less a fifth, past which the event loop answers nothing.
//
// Threads: the starting thread owns the connection until storeStart, the
// writer thread after that until storeClose has joined it.
#pragma once

#include <string>
#include <vector>

#include "Store.h"

// Connects, creates or upgrades the schema and reads the instance id; when the
// store has none, `create` makes one (else the store is refused). Reads or
// makes DIR/dtcd.node, this data directory's node id in the lease row.
[[nodiscard]] bool pgStoreOpen(Store* store, const std::string& dir, bool create, uint8_t* instance,
                               std::string* error);
// 1 once this dtcd holds the lease; 0 when SIGTERM or SIGINT came on signalFd
// first; -1 with *error when the store cannot be used.
[[nodiscard]] int pgStoreAwaitActive(Store* store, int signalFd, std::string* error);
[[nodiscard]] bool pgStoreLoad(Store* store, std::vector<StoredBranch>* rows, std::string* error);
[[nodiscard]] bool pgStoreStart(Store* store);
// After the writer is joined: gives the lease up (a standby takes over at its
// next poll) and closes the connection.
void pgStoreClose(Store* store);
