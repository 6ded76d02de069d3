// The branch worker thread (thread_run) and the two operations that connection
// threads drive it with (thread_start, thread_end).
#pragma once

#include <cstdint>

#include "contract/xa.h"
#include "xa/Registry.h"

// The stack of a branch worker: small, so that tens of thousands can live.
constexpr size_t kWorkerStackBytes = 256 * 1024;

// The cookie a start hands back. The bytes stay owned by the branch record;
// `branch` holds a reference to it so they stay valid until the holder is
// destroyed (after the reply is written).
struct BranchCookie {
    ThreadDatenRef branch;          // keeps the record (and so the bytes) alive
    const uint8_t* bytes = nullptr;  // the branch's cookie, or null when it has none
    uint32_t length = 0;             // bytes in it
};

// An XA start for the XID, as its flags say: a new branch on a new worker, a
// resume on the branch's own worker, or a join answered without DTC. Returns
// the DTC or cookie code, or XAER_DUPID, XAER_PROTO, XAER_INVAL (an XID whose
// lengths lie outside 0..64 never becomes a branch), -1 (resume without a
// branch), kRecordAllocFailed, kWorkerStartFailed, kResumeSignalFailed, the
// code of addThreadDaten, or kExceptionCaught. *cookie is filled on the paths
// that return the branch's cookie (a successful start or resume, a join) and
// left empty otherwise. Waits, without a lock and without a time-out, for the
// worker's answer.
// *generation (when given) gets the binding generation of the DTC call that
// gave the result, 0 when no call did: the generation to drop on XAER_RMFAIL.
// rmid: the resource manager the branch belongs to; only its own branches are
// found, and a new branch's DTC calls go to it.
[[nodiscard]] int32_t thread_start(const XID& xid, int32_t flags, BranchCookie* cookie,
                                   uint64_t* generation = nullptr, int32_t rmid = kRmid) noexcept;

// An XA end for the XID: XA_OK for the end of a joined start, otherwise the
// worker's DTC_XaEnd code, or kEndNoRecord, XAER_PROTO (the worker has ended),
// kEndSignalFailed. Waits like thread_start. Exceptions pass to the caller.
// Only a branch of rmid is found.
[[nodiscard]] int32_t thread_end(const XID& xid, int32_t flags, uint64_t* generation = nullptr,
                                 int32_t rmid = kRmid);

// The worker: runs the commands posted to its record until the branch ends.
void thread_run(void* record) noexcept;
