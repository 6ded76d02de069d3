// COM-style OLE Transactions interfaces served by libxolehlp.so, with the IIDs
// and method order of the published interfaces. These are the only virtual
// functions in the tree: each interface is an abstract struct whose vtable
// order matches the published one (IUnknown's three methods first).
//
// Reference counting follows COM: every pointer handed out carries one reference
// that the receiver gives back with Release; an object is freed at its last Release.
#ifndef DTC_TXDTC_H
#define DTC_TXDTC_H

#include <cstdint>
#include <cstring>

typedef int32_t HRESULT;
typedef uint32_t ULONG;
typedef uint32_t DWORD;
typedef uint16_t WORD;
typedef int32_t BOOL;
typedef int32_t LONG;
typedef uint8_t BYTE;

struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
typedef GUID IID;
typedef const IID& REFIID;

inline bool operator==(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

#define DTC_SUCCEEDED(hr) ((HRESULT)(hr) >= 0)
#define DTC_FAILED(hr) ((HRESULT)(hr) < 0)

// HRESULTs (decimal value in the comment).
constexpr HRESULT S_OK = 0;                                      // 0
constexpr HRESULT S_FALSE = 1;                                   // 1
constexpr HRESULT E_UNEXPECTED = (HRESULT)0x8000FFFF;            // -2147418113
constexpr HRESULT E_NOINTERFACE = (HRESULT)0x80004002;           // -2147467262
constexpr HRESULT E_NOTIMPL = (HRESULT)0x80004001;               // -2147467263
constexpr HRESULT E_POINTER = (HRESULT)0x80004003;               // -2147467261
constexpr HRESULT E_FAIL = (HRESULT)0x80004005;                  // -2147467259
constexpr HRESULT E_OUTOFMEMORY = (HRESULT)0x8007000E;           // -2147024882
constexpr HRESULT E_INVALIDARG = (HRESULT)0x80070057;            // -2147024809
constexpr HRESULT XACT_E_CANTRETAIN = (HRESULT)0x8004D001;       // -2147168255
constexpr HRESULT XACT_E_COMMITPREVENTED = (HRESULT)0x8004D003;  // -2147168253
constexpr HRESULT XACT_E_NOTRANSACTION = (HRESULT)0x8004D00E;    // -2147168242
constexpr HRESULT XACT_E_NOTSUPPORTED = (HRESULT)0x8004D00F;     // -2147168241
constexpr HRESULT XACT_E_INVALIDCOOKIE = (HRESULT)0x8004D015;    // -2147168235
constexpr HRESULT XACT_E_ALREADYINPROGRESS = (HRESULT)0x8004D018;// -2147168232
constexpr HRESULT XACT_E_ABORTED = (HRESULT)0x8004D019;          // -2147168231
constexpr HRESULT XACT_E_TMNOTAVAILABLE = (HRESULT)0x8004D01B;   // -2147168229
constexpr HRESULT XACT_E_CONNECTION_DOWN = (HRESULT)0x8004D01C;  // -2147168228
constexpr HRESULT XACT_E_CONNECTION_DENIED = (HRESULT)0x8004D01D;// -2147168227
constexpr HRESULT XACT_E_REENLISTTIMEOUT = (HRESULT)0x8004D01E;  // -2147168226
constexpr HRESULT XACT_E_RECOVERYALREADYDONE = (HRESULT)0x8004D104; // -2147167996
constexpr HRESULT XACT_S_READONLY = (HRESULT)0x0004D002;         // 315394
constexpr HRESULT XACT_S_SINGLEPHASE = (HRESULT)0x0004D009;      // 315401

// Outcomes that Reenlist reports (XACTSTAT).
typedef int32_t XACTSTAT;
constexpr XACTSTAT XACTSTAT_NONE = 0;
constexpr XACTSTAT XACTSTAT_ABORTED = 0x200;
constexpr XACTSTAT XACTSTAT_COMMITTED = 0x400;
constexpr DWORD XACTCONST_TIMEOUTINFINITE = 0;

constexpr LONG ISOLATIONLEVEL_SERIALIZABLE = 0x100000; // the isolation of every transaction here

// IIDs of the interfaces the service and importers use.
constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr IID IID_ITransaction = {0x0FB15084, 0xAF41, 0x11CE, {0xBD, 0x2B, 0x20, 0x4C, 0x4F, 0x4F, 0x50, 0x20}};
constexpr IID IID_ITransactionImportWhereabouts = {0x0141FDA4, 0x8FC0, 0x11CE, {0xBD, 0x18, 0x20, 0x4C, 0x4F, 0x4F, 0x50, 0x20}};
constexpr IID IID_ITransactionExportFactory = {0xE1CF9B53, 0x8745, 0x11CE, {0xA9, 0xBA, 0x00, 0xAA, 0x00, 0x6C, 0x37, 0x06}};
constexpr IID IID_ITransactionExport = {0x0141FDA5, 0x8FC0, 0x11CE, {0xBD, 0x18, 0x20, 0x4C, 0x4F, 0x4F, 0x50, 0x20}};
constexpr IID IID_ITransactionImport = {0xE1CF9B5A, 0x8745, 0x11CE, {0xA9, 0xBA, 0x00, 0xAA, 0x00, 0x6C, 0x37, 0x06}};
constexpr IID IID_IXATransLookup = {0xF3B1F131, 0xEEDA, 0x11CE, {0xAE, 0xD4, 0x00, 0xAA, 0x00, 0x51, 0xE2, 0xC4}};
constexpr IID IID_IResourceManagerFactory = {0x13741D20, 0x87EB, 0x11CE, {0x80, 0x81, 0x00, 0x80, 0xC7, 0x58, 0x52, 0x7E}};
constexpr IID IID_IResourceManager = {0x13741D21, 0x87EB, 0x11CE, {0x80, 0x81, 0x00, 0x80, 0xC7, 0x58, 0x52, 0x7E}};
constexpr IID IID_ITransactionResourceAsync = {0x69E971F0, 0x23CE, 0x11CF, {0xAD, 0x60, 0x00, 0xAA, 0x00, 0xA7, 0x4C, 0xCD}};
constexpr IID IID_ITransactionEnlistmentAsync = {0x0FB15081, 0xAF41, 0x11CE, {0xBD, 0x2B, 0x20, 0x4C, 0x4F, 0x4F, 0x50, 0x20}};
constexpr IID IID_IPrepareInfo = {0x80C7BFD0, 0x87EE, 0x11CE, {0x80, 0x81, 0x00, 0x80, 0xC7, 0x58, 0x52, 0x7E}};
constexpr IID IID_IResourceManagerSink = {0x0D563181, 0xDEFB, 0x11CE, {0xAE, 0xD1, 0x00, 0xAA, 0x00, 0x51, 0xE2, 0xC4}};

struct BOID {
    BYTE rgb[16];
};
typedef BOID XACTUOW;

struct XACTTRANSINFO {
    XACTUOW uow;
    LONG isoLevel;
    ULONG isoFlags;
    DWORD grfTCSupported;
    DWORD grfRMSupported;
    DWORD grfTCSupportedRetaining;
    DWORD grfRMSupportedRetaining;
};

struct IUnknown {
    virtual HRESULT QueryInterface(REFIID riid, void** object) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    ~IUnknown() = default; // objects are destroyed through Release only
};

struct ITransaction : IUnknown {
    virtual HRESULT Commit(BOOL fRetaining, DWORD grfTC, DWORD grfRM) = 0;
    virtual HRESULT Abort(BOID* reason, BOOL fRetaining, BOOL fAsync) = 0;
    virtual HRESULT GetTransactionInfo(XACTTRANSINFO* info) = 0;

protected:
    ~ITransaction() = default;
};

struct ITransactionImportWhereabouts : IUnknown {
    virtual HRESULT GetWhereaboutsSize(ULONG* size) = 0;
    virtual HRESULT GetWhereabouts(ULONG size, BYTE* buffer, ULONG* used) = 0;

protected:
    ~ITransactionImportWhereabouts() = default;
};

struct ITransactionExport : IUnknown {
    virtual HRESULT Export(IUnknown* transaction, ULONG* cookieSize) = 0;
    virtual HRESULT GetTransactionCookie(IUnknown* transaction, ULONG size, BYTE* buffer, ULONG* used) = 0;

protected:
    ~ITransactionExport() = default;
};

struct ITransactionExportFactory : IUnknown {
    virtual HRESULT GetRemoteClassId(GUID* clsid) = 0;
    virtual HRESULT Create(ULONG whereaboutsSize, BYTE* whereabouts, ITransactionExport** exporter) = 0;

protected:
    ~ITransactionExportFactory() = default;
};

struct ITransactionImport : IUnknown {
    virtual HRESULT Import(ULONG cookieSize, BYTE* cookie, IID* iid, void** transaction) = 0;

protected:
    ~ITransactionImport() = default;
};

struct IXATransLookup : IUnknown {
    virtual HRESULT Lookup(ITransaction** transaction) = 0;

protected:
    ~IXATransLookup() = default;
};

struct IMoniker; // never passed here: fWantMoniker is always FALSE, monikers null

// Implemented by a resource manager: told when the coordinator is lost.
struct IResourceManagerSink : IUnknown {
    virtual HRESULT TMDown() = 0;

protected:
    ~IResourceManagerSink() = default;
};

// Implemented by a resource manager for each enlistment: the coordinator's
// phase-one and phase-two requests. Each is called on a thread of the client
// library (never inside one of the caller's own calls); the resource manager
// answers through the enlistment's ITransactionEnlistmentAsync, at once or later.
struct ITransactionResourceAsync : IUnknown {
    virtual HRESULT PrepareRequest(BOOL fRetaining, DWORD grfRM, BOOL fWantMoniker, BOOL fSinglePhase) = 0;
    virtual HRESULT CommitRequest(DWORD grfRM, XACTUOW* newUow) = 0;
    virtual HRESULT AbortRequest(BOID* reason, BOOL fRetaining, XACTUOW* newUow) = 0;
    virtual HRESULT TMDown() = 0;

protected:
    ~ITransactionResourceAsync() = default;
};

// The coordinator's side of one enlistment: the resource manager's answers.
// PrepareRequestDone: S_OK (prepared), XACT_S_READONLY (no phase two follows),
// XACT_S_SINGLEPHASE (committed; only when asked single-phase), E_FAIL (no).
struct ITransactionEnlistmentAsync : IUnknown {
    virtual HRESULT PrepareRequestDone(HRESULT hr, IMoniker* mk, BOID* reason) = 0;
    virtual HRESULT CommitRequestDone(HRESULT hr) = 0;
    virtual HRESULT AbortRequestDone(HRESULT hr) = 0;

protected:
    ~ITransactionEnlistmentAsync() = default;
};

// On the enlistment: the blob a resource manager logs with its prepared work
// and hands to Reenlist after a failure.
struct IPrepareInfo : IUnknown {
    virtual HRESULT GetPrepareInfoSize(ULONG* size) = 0;
    virtual HRESULT GetPrepareInfo(BYTE* info) = 0;

protected:
    ~IPrepareInfo() = default;
};

struct IResourceManager : IUnknown {
    virtual HRESULT Enlist(ITransaction* transaction, ITransactionResourceAsync* res, XACTUOW* uow, LONG* isoLevel,
                           ITransactionEnlistmentAsync** enlistment) = 0;
    virtual HRESULT Reenlist(BYTE* prepInfo, ULONG prepInfoSize, DWORD timeoutMs, XACTSTAT* outcome) = 0;
    virtual HRESULT ReenlistmentComplete() = 0;
    virtual HRESULT GetDistributedTransactionManager(REFIID riid, void** object) = 0;

protected:
    ~IResourceManager() = default;
};

struct IResourceManagerFactory : IUnknown {
    virtual HRESULT Create(GUID* rmGuid, char* name, IResourceManagerSink* sink, IResourceManager** rm) = 0;

protected:
    ~IResourceManagerFactory() = default;
};

extern "C" {
// Exported by libxolehlp.so. hostName and tmName must be null (the local
// coordinator); reserved arguments are 0 / null. Answers S_OK with one
// reference in *object, E_NOINTERFACE for an IID it does not serve,
// E_INVALIDARG for a null out-pointer, XACT_E_TMNOTAVAILABLE when dtcd cannot
// be reached.
HRESULT DtcGetTransactionManager(char* hostName, char* tmName, REFIID riid, DWORD reserved1, WORD reserved2,
                                 void* reserved3, void** object);
}
typedef HRESULT (*DtcGetTransactionManagerFn)(char*, char*, REFIID, DWORD, WORD, void*, void**);

#endif // DTC_TXDTC_H
