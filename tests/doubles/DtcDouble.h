// Scriptable, recording test doubles of the two coordinator libraries.
//
// libmsdtcprx.so and libxolehlp.so in the doubles' output directory export the
// same names as the real ones and forward to this core (libmorvalen_dtc_double.so),
// which holds the script and the record of calls. A test in the same process
// links the core and drives it through the functions below; a child process
// (the service run by an end-to-end test) is scripted through its environment
// (see README.md in this folder).
//
// Defaults: every XA entry point answers XA_OK, recover answers the scripted
// XIDs (none), every COM method and DtcGetTransactionManager succeed, cookies
// are 16 bytes. DTC_XaStart with a result of 0 or more associates the calling
// thread with the XID; DTC_XaEnd (any flags) dissociates it; Lookup answers
// for the calling thread (XACT_E_NOTRANSACTION when it has no branch).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "contract/txdtc.h"
#include "contract/xa.h"

namespace dtcdouble {

enum Entry : int32_t {
    kOpen,
    kClose,
    kStart,
    kEnd,
    kRollback,
    kPrepare,
    kCommit,
    kRecover,
    kForget,
    kComplete,
    kGetTransactionManager,  // DtcGetTransactionManager (scripted per interface, see below)
    kGetWhereaboutsSize,     // ITransactionImportWhereabouts
    kGetWhereabouts,
    kCreate,                 // ITransactionExportFactory
    kLookup,                 // IXATransLookup
    kExport,                 // ITransactionExport
    kGetTransactionCookie,
    kEntryCount
};

// "DTC_XaStart", "GetWhereaboutsSize", ...; entryFromName is its inverse (kEntryCount if unknown).
const char* entryName(Entry entry);
Entry entryFromName(const std::string& name);

// Interfaces that DtcGetTransactionManager serves, for setTransactionManager.
enum Interface : int32_t { kWhereabouts, kExportFactory, kXaLookup, kInterfaceCount };

struct Call {
    Entry entry;        // what was called
    XID xid;            // the XID argument (the first for recover; zeroed where there is none)
    int32_t rmid;       // the rmid argument (0 for COM methods)
    int32_t flags;      // the flags argument (recover: flags; 0 for COM methods)
    uint64_t thread;    // the calling thread (compare with currentThread())
    std::string info;   // the open string of open and close
};

// Back to the defaults: scripts, record, counters (not the load counters).
void reset();

// The answer of an entry point (sticky), and one-shot answers used first, in order.
void setResult(Entry entry, int32_t code);
void pushResult(Entry entry, int32_t code);
// Create, Lookup: succeed but hand out a null pointer.
void setNullPointer(Entry entry, bool on);
// DtcGetTransactionManager for one interface: its HRESULT, and whether a
// success hands out a null pointer.
void setTransactionManager(Interface which, HRESULT code, bool nullPointer);
// A real SIGSEGV inside the call (after it has been recorded).
void setFault(Entry entry, bool on);
// A software exception raised inside the call (after it has been recorded):
// on Windows RaiseException with the code, non-continuable unless said (an
// RPC failure surfaces so, RPC_S_SERVER_UNAVAILABLE is 0x6BA); elsewhere a
// C++ exception that the caller cannot know. A code of 0 turns it off.
constexpr uint32_t kRpcServerUnavailable = 0x6BA;
void setRaise(Entry entry, uint32_t code, bool continuable = false);
// Raises that software exception here and now (what a raising call does).
void raiseSoftware(uint32_t code, bool continuable);
// The call records itself, then blocks until releaseSlow(entry).
void setSlow(Entry entry, bool on);
void releaseSlow(Entry entry);
// Waits (bounded) until at least count calls of the entry have been recorded.
bool waitForCalls(Entry entry, int32_t count, int32_t timeoutMs);

// Recover answers from this list, a scan cursor per process: TMSTARTRSCAN
// starts at the top; each call hands out up to count XIDs and answers their number.
void setRecoverXids(const std::vector<XID>& xids);
// Export's cookie size and GetTransactionCookie's reported used size (0 = the size).
void setCookieSize(uint32_t size, uint32_t reportedUsed = 0);
// The cookie bytes the double makes for a branch's transaction.
std::vector<uint8_t> cookieFor(const XID& xid, uint32_t size);

// The record.
std::vector<Call> calls();
std::vector<Call> callsOf(Entry entry);
int32_t callCount(Entry entry);
void clearCalls();

uint64_t currentThread();
// COM objects handed out and not yet released to zero.
int32_t liveObjects();
// How often libmsdtcprx.so (the double) was loaded and unloaded.
int32_t libraryLoads();
int32_t libraryUnloads();

// Helpers for tests: an XID with the given parts.
XID makeXid(int32_t formatId, const std::string& gtrid, const std::string& bqual);

}  // namespace dtcdouble

// The entry points that the two export libraries forward to.
extern "C" {
int dtcdouble_xa(int entry, XID* xid, int rmid, int flags);
int dtcdouble_xa_info(int entry, char* info, int rmid, int flags);
int dtcdouble_xa_recover(XID* xids, int count, int rmid, int flags);
int dtcdouble_xa_complete(int* handle, int* retval, int rmid, int flags);
HRESULT dtcdouble_get_transaction_manager(char* hostName, char* tmName, REFIID riid, DWORD reserved1, WORD reserved2,
                                          void* reserved3, void** object);
void dtcdouble_library_loaded(int loaded);
}
