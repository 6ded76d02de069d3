// The message format between the coordinator's client libraries (and dtcctl) and
// dtcd, plus the small helpers both sides share: XID checks and canonical form,
// GUID text, hex, cookies and whereabouts.
//
// Every message travels in one frame over a Unix stream socket, in host byte
// order (both ends run on the same machine):
//   request  u32 length | u32 request id | u16 op | u16 zero | body
//   reply    u32 length | u32 request id | i32 result | body
// where length counts the bytes after the length field. A client sends many
// requests over one connection without waiting; dtcd answers each one with the
// same request id, not necessarily in order (durable writes finish later).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "contract/xa.h"

namespace dtcwire {

constexpr uint32_t kMaxFrame = 1u << 20;   // larger frames close the connection
constexpr size_t kRequestHeader = 12;      // length, id, op, zero
constexpr size_t kReplyHeader = 12;        // length, id, result
constexpr size_t kGuidText = 36;           // 8-4-4-4-12 hex digits
constexpr size_t kIdSize = 16;             // transaction id, token, instance id
constexpr uint32_t kRecoverBatchMax = 10000; // XIDs per recover reply at most

// Operations. Values are part of the format between the libraries and dtcd.
enum Op : uint16_t {
    kOpHello = 1,    // -> instance id
    kOpOpen = 2,     // guid text, u32 timeout ms: registers the control connection
    kOpStart = 3,    // xid, i32 flags -> uow, token
    kOpEnd = 4,      // xid, i32 flags, i32 association (kAssoc*)
    kOpPrepare = 5,  // xid, i32 flags
    kOpCommit = 6,   // xid, i32 flags
    kOpRollback = 7, // xid, i32 flags
    kOpForget = 8,   // xid, i32 flags
    kOpRecover = 9,  // u8 has-after, xid after, u32 max -> u32 n, n xids
    kOpTxInfo = 10,  // uow, token -> HRESULT, xid
    kOpExport = 11,  // uow, token -> HRESULT
    kOpImport = 12,  // u32 n, cookie bytes -> HRESULT, uow, token
    kOpAbort = 13,   // uow, token -> HRESULT
    kOpList = 14,    // -> u32 n, n branch rows
    kOpResolve = 15, // u8 has-guid, guid text, xid, i32 commit(1)/abort(0)
    kOpStats = 16,   // -> u32 n, n (u8 name length, name, u64 value)
    kOpCookie = 17,  // u32 n, cookie bytes -> HRESULT, branch row
    // Resource managers that enlist (one connection per resource manager):
    kOpRmOpen = 18,        // rm guid text, then its name (0..255 bytes): this connection serves that resource manager
    kOpEnlist = 19,        // uow, token -> HRESULT, u64 enlistment id
    kOpVote = 20,          // u64 enlistment id, i32 PrepareRequestDone HRESULT -> HRESULT
    kOpPhaseTwoDone = 21,  // u64 enlistment id, u8 commit(1)/abort(0) -> HRESULT
    kOpReenlist = 22,      // uow, u32 time-out ms (0 none) -> HRESULT, i32 XACTSTAT
    kOpReenlistDone = 23,  // -> HRESULT
    kOpSettle = 24,        // u8 has-guid, guid text, xid, rm guid text: a participant taken as done by hand
};

// Requests dtcd sends to a resource manager's connection unasked: reply
// frames with request id 0 whose result field is one of these, body u64
// enlistment id (kNotePrepare adds u8 single-phase).
enum Note : int32_t {
    kNoteLost = 0,    // not sent: the client's reader reports the connection's end so
    kNotePrepare = 1,
    kNoteCommit = 2,
    kNoteAbort = 3,
    // To a control connection (body: the 16-byte transaction id): a branch
    // that one of its threads is actively associated with was aborted (a
    // time-out, an importer's Abort, a rollback, a participant gone). Sent
    // before any answer that could tell anyone of the abort, so a process
    // that has read everything it received knows of every such abort so far.
    kNoteTxAborted = 4,
};

// What dtcd knows of a participant, as dtcctl list shows it.
constexpr int32_t kVoteNone = 0;      // enlisted, not asked yet
constexpr int32_t kVoteAsked = 1;     // phase one sent, no vote yet
constexpr int32_t kVoteYes = 2;       // prepared
constexpr int32_t kVoteReadOnly = 3;  // read-only: no phase two
constexpr int32_t kVoteNo = 4;        // voted no, failed or went away before voting
constexpr int32_t kVoteDone = 5;      // phase two acknowledged

// The prepare info a participant logs and hands to Reenlist: "DTCP" + uow.
constexpr size_t kPrepareInfoSize = 4 + 16;

// What the calling process holds of a branch when it sends kOpEnd or kOpStart.
constexpr int32_t kAssocNone = 0;      // nothing: the XID is not in the caller's table
constexpr int32_t kAssocActive = 1;    // the calling thread is associated
constexpr int32_t kAssocSuspended = 2; // the calling thread holds a suspended association

// Branch states, one numbering for dtcd's memory, its store and what it
// reports (the X/Open S-table numbering). The values are on disk (prepared,
// heuristic and committing rows) and on the wire (dtcctl list and cookie), so
// they never change. dtcd keeps a live branch as kStateActive whatever its
// associations and reports kStateIdle when no thread is associated.
enum BranchState : int32_t {
    kStateActive = 1,       // S1: at least one thread associated
    kStateIdle = 2,         // S2: all associations ended or suspended
    kStatePrepared = 3,     // S3
    kStateRollbackOnly = 4, // S4 (also: rolled back by time-out or abort)
    kStateHeuristic = 5,    // S5
    kStateCommitting = 6,   // committed, phase two not yet acknowledged by every participant
};

// Appends fixed-width values to a message body.
struct Writer {
    std::string bytes; // the body built so far
};
void putU8(Writer& w, uint8_t v);
void putU16(Writer& w, uint16_t v);
void putI32(Writer& w, int32_t v);
void putU32(Writer& w, uint32_t v);
void putU64(Writer& w, uint64_t v);
void putBytes(Writer& w, const void* data, size_t size);

// Reads fixed-width values from a message body; a read past the end sets `bad`
// and yields zeros, so a caller checks `bad` once after reading everything.
struct Reader {
    const uint8_t* data = nullptr; // body start
    size_t size = 0;               // body size
    size_t pos = 0;                // next byte to read
    bool bad = false;              // a read ran past the end
};
Reader reader(std::string_view body);
uint8_t getU8(Reader& r);
uint16_t getU16(Reader& r);
int32_t getI32(Reader& r);
uint32_t getU32(Reader& r);
uint64_t getU64(Reader& r);
void getBytes(Reader& r, void* out, size_t size);

// A whole request frame (header and body) ready for one send.
std::string requestFrame(uint32_t id, uint16_t op, std::string_view body);
// A whole reply frame.
std::string replyFrame(uint32_t id, int32_t result, std::string_view body);

// True when the XID names a valid branch: formatID not -1, gtrid length
// 1..64, bqual length 0..64. Reads no data byte.
[[nodiscard]] bool xidValid(const XID& xid);
// Copy of a valid XID with every data byte past gtrid + bqual set to zero, so
// that byte-wise comparison is XID equality.
XID xidCanonical(const XID& xid);
// The XID's identity bytes: formatID, both lengths, gtrid and bqual.
std::string xidKey(const XID& xid);
// Readable form "formatID:gtrid-hex:bqual-hex"; parseXid reads it back and
// answers false (out-value zeroed) for anything else.
std::string xidText(const XID& xid);
[[nodiscard]] bool parseXid(std::string_view text, XID* out);

// GUID text: 36 characters, hex digits and dashes at 8, 13, 18, 23 (braces not
// accepted). normalizeGuid answers false for anything else; on success `out`
// holds the upper-case form.
[[nodiscard]] bool normalizeGuid(std::string_view text, std::string* out);

std::string hexEncode(const void* data, size_t size);
// False for odd length or a non-hex character.
[[nodiscard]] bool hexDecode(std::string_view text, std::string* out);

// Whereabouts name one dtcd instance: magic "DTCW" + 16-byte instance id.
constexpr size_t kWhereaboutsSize = 4 + kIdSize;
std::string makeWhereabouts(const uint8_t* instance);
// Cookies: magic "DTCK" + instance id + transaction id (uow) + token.
constexpr size_t kCookieSize = 4 + 3 * kIdSize;
std::string makeCookie(const uint8_t* instance, const uint8_t* uow, const uint8_t* token);
// Splits a cookie; false when size or magic is wrong.
[[nodiscard]] bool splitCookie(std::string_view cookie, uint8_t* instance, uint8_t* uow, uint8_t* token);

// The socket dtcd listens on: DTCD_SOCKET, or "@dtcd". A leading '@' names an
// abstract socket. Fills `addr` (a sockaddr_un) and its length; false when the
// name does not fit.
[[nodiscard]] bool socketAddress(void* addr, uint32_t* length, std::string* name);

} // namespace dtcwire
