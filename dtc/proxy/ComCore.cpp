// The COM-style objects of the client core and DtcGetTransactionManager.
//
// Objects (each reference-counted, freed at its last Release):
//  - TransactionManager: one per DtcGetTransactionManager call; serves
//    ITransactionImportWhereabouts, ITransactionExportFactory, IXATransLookup,
//    ITransactionImport and IResourceManagerFactory (RmCore.cpp).
//  - Exporter: made by ITransactionExportFactory::Create for one whereabouts;
//    one Export at a time.
//  - Transaction: the ITransaction that Lookup or Import yields; names the
//    transaction by its id and token and talks to dtcd over the connection it
//    came from.
// The process-wide connection used by DtcGetTransactionManager and Import is
// guarded by tmMutex(); objects keep their own reference to a connection.
#include <atomic>
#include <cstring>
#include <mutex>
#include <new>

#include "ComObject.h"
#include "Connection.h"
#include "Core.h"
#include "Wire.h"
#include "platform/ThreadSafety.h"

using namespace dtcwire;

namespace {

// Private interface id by which the core recognises its own transactions.
constexpr IID IID_DtcCoreTransaction = {0x5E0D1C2A, 0x7B31, 0x4C8E, {0x9A, 0x44, 0x21, 0x6B, 0x3F, 0x80, 0xD1, 0x07}};

platform::Mutex& tmMutex() {
    static platform::Mutex* m = new platform::Mutex; // never destroyed: see Tables in XaCore.cpp
    return *m;
}

ConnectionRef& tmConnection() REQUIRES(tmMutex()) {
    static ConnectionRef* c = new ConnectionRef;
    return *c;
}

// The process's connection for transaction-manager calls, reconnected when lost.
ConnectionRef ensureTmConnection() {
    platform::MutexLock lock(tmMutex());
    ConnectionRef& c = tmConnection();
    if (c == nullptr || !connectionAlive(*c)) c = connectionOpen();
    return c;
}

struct Transaction final : ITransaction {
    std::atomic<ULONG> refs{1};
    ConnectionRef connection; // where the transaction lives
    uint8_t uow[16]{};        // transaction id
    uint8_t token[16]{};      // cookie secret

    HRESULT QueryInterface(REFIID riid, void** object) override {
        return comQuery(*this, riid, object,
                        {comOffer<ITransaction>(IID_ITransaction, this),
                         comOffer<ITransaction>(IID_DtcCoreTransaction, this)});
    }
    ULONG AddRef() override { return comAddRef(*this); }
    ULONG Release() override { return comRelease(this); }
    HRESULT Commit(BOOL, DWORD, DWORD) override {
        return XACT_E_COMMITPREVENTED; // the XA transaction manager alone decides the outcome
    }
    HRESULT Abort(BOID*, BOOL fRetaining, BOOL) override {
        if (fRetaining) return XACT_E_CANTRETAIN;
        return call(kOpAbort, nullptr);
    }
    HRESULT GetTransactionInfo(XACTTRANSINFO* info) override {
        if (info == nullptr) return E_INVALIDARG;
        HRESULT hr = call(kOpTxInfo, nullptr);
        if (hr == XACT_E_ABORTED) hr = S_OK; // still known, only rolled back
        if (hr != S_OK) return hr;
        std::memset(info, 0, sizeof *info);
        std::memcpy(info->uow.rgb, uow, kIdSize);
        info->isoLevel = ISOLATIONLEVEL_SERIALIZABLE;
        return S_OK;
    }
    HRESULT call(uint16_t op, std::string* body) {
        Writer w;
        putBytes(w, uow, kIdSize);
        putBytes(w, token, kIdSize);
        int32_t result = 0;
        if (!connectionCall(*connection, op, w.bytes, &result, body)) return XACT_E_CONNECTION_DOWN;
        return result;
    }

private:
    friend ULONG comRelease<Transaction>(Transaction*);
    ~Transaction() = default;
};

Transaction* newTransaction(ConnectionRef connection, const uint8_t* uow, const uint8_t* token) {
    auto* tx = new (std::nothrow) Transaction;
    if (tx == nullptr) return nullptr;
    tx->connection = std::move(connection);
    std::memcpy(tx->uow, uow, kIdSize);
    std::memcpy(tx->token, token, kIdSize);
    return tx;
}

// Whether the calling thread's own transaction (the one it is actively
// associated with, through tx's control connection) is still live, as Lookup's
// kOpTxInfo and Export's kOpExport would answer it: S_OK or XACT_E_ABORTED.
// dtcd notes every abort of a branch to the control connections associated
// with it before it answers anything that could tell of it, so once the
// connection has read all it received, no note means not aborted, and no
// round trip is needed. When that cannot be known (another thread is
// reading), it asks dtcd with `op`.
HRESULT ownLiveness(Transaction& tx, uint16_t op) {
    if (!connectionCatchUp(*tx.connection)) return tx.call(op, nullptr);
    if (connectionKnownLost(*tx.connection)) return XACT_E_CONNECTION_DOWN;
    return connectionNotedAborted(*tx.connection, tx.uow) ? XACT_E_ABORTED : S_OK;
}

// Whether tx is the calling thread's current transaction, on the same connection.
bool isCurrentTransaction(const Transaction& tx) {
    ThreadTransaction current;
    return currentTransaction(&current) && current.connection == tx.connection &&
           std::memcmp(current.uow, tx.uow, kIdSize) == 0 && std::memcmp(current.token, tx.token, kIdSize) == 0;
}

// Our own transaction behind an IUnknown, with one reference the caller releases.
Transaction* ownTransaction(IUnknown* unknown) {
    void* object = nullptr;
    if (unknown == nullptr || unknown->QueryInterface(IID_DtcCoreTransaction, &object) != S_OK) return nullptr;
    return static_cast<Transaction*>(static_cast<ITransaction*>(object));
}

struct Exporter final : ITransactionExport {
    std::atomic<ULONG> refs{1};
    uint8_t instance[16]{}; // the coordinator these cookies are for
    std::mutex busy;        // one export at a time

    HRESULT QueryInterface(REFIID riid, void** object) override {
        return comQuery(*this, riid, object, {comOffer<ITransactionExport>(IID_ITransactionExport, this)});
    }
    ULONG AddRef() override { return comAddRef(*this); }
    ULONG Release() override { return comRelease(this); }
    HRESULT Export(IUnknown* transaction, ULONG* cookieSize) override {
        if (transaction == nullptr || cookieSize == nullptr) return E_INVALIDARG;
        Transaction* tx = ownTransaction(transaction);
        if (tx == nullptr) return E_NOINTERFACE;
        HRESULT hr = S_OK;
        {
            std::unique_lock lock(busy, std::try_to_lock);
            if (!lock.owns_lock()) {
                hr = XACT_E_ALREADYINPROGRESS;
            } else if (std::memcmp(tx->connection->instance, instance, kIdSize) != 0) {
                hr = XACT_E_CONNECTION_DENIED; // a transaction of another coordinator
            } else {
                // The calling thread's own transaction is live exactly when it
                // is not aborted; any other is asked about.
                hr = isCurrentTransaction(*tx) ? ownLiveness(*tx, kOpExport) : tx->call(kOpExport, nullptr);
                if (hr == XACT_E_ABORTED) hr = XACT_E_NOTRANSACTION; // too late to export
            }
        }
        if (hr == S_OK) *cookieSize = static_cast<ULONG>(kCookieSize);
        tx->Release();
        return hr;
    }
    HRESULT GetTransactionCookie(IUnknown* transaction, ULONG size, BYTE* buffer, ULONG* used) override {
        if (transaction == nullptr || buffer == nullptr || used == nullptr) return E_INVALIDARG;
        *used = 0;
        Transaction* tx = ownTransaction(transaction);
        if (tx == nullptr) return E_NOINTERFACE;
        HRESULT hr = S_OK;
        if (size < kCookieSize) {
            hr = E_INVALIDARG;
        } else {
            std::string cookie = makeCookie(instance, tx->uow, tx->token);
            std::memcpy(buffer, cookie.data(), cookie.size());
            *used = static_cast<ULONG>(cookie.size());
        }
        tx->Release();
        return hr;
    }

private:
    friend ULONG comRelease<Exporter>(Exporter*);
    ~Exporter() = default;
};

struct TransactionManager final : ITransactionImportWhereabouts, ITransactionExportFactory, IXATransLookup,
                                  ITransactionImport, IResourceManagerFactory {
    std::atomic<ULONG> refs{1};
    uint8_t instance[16]{}; // the coordinator reached at creation

    HRESULT QueryInterface(REFIID riid, void** object) override {
        return comQuery(*this, riid, object,
                        {comOffer<ITransactionImportWhereabouts>(IID_ITransactionImportWhereabouts, this),
                         comOffer<ITransactionExportFactory>(IID_ITransactionExportFactory, this),
                         comOffer<IXATransLookup>(IID_IXATransLookup, this),
                         comOffer<ITransactionImport>(IID_ITransactionImport, this),
                         comOffer<IResourceManagerFactory>(IID_IResourceManagerFactory, this)});
    }
    ULONG AddRef() override { return comAddRef(*this); }
    ULONG Release() override { return comRelease(this); }

    HRESULT GetWhereaboutsSize(ULONG* size) override {
        if (size == nullptr) return E_INVALIDARG;
        *size = static_cast<ULONG>(kWhereaboutsSize);
        return S_OK;
    }
    HRESULT GetWhereabouts(ULONG size, BYTE* buffer, ULONG* used) override {
        if (buffer == nullptr || used == nullptr) return E_INVALIDARG;
        *used = 0;
        if (size < kWhereaboutsSize) return E_INVALIDARG;
        std::string whereabouts = makeWhereabouts(instance);
        std::memcpy(buffer, whereabouts.data(), whereabouts.size());
        *used = static_cast<ULONG>(whereabouts.size());
        return S_OK;
    }

    HRESULT GetRemoteClassId(GUID* clsid) override {
        if (clsid == nullptr) return E_INVALIDARG;
        std::memset(clsid, 0, sizeof *clsid);
        return E_NOTIMPL;
    }
    HRESULT Create(ULONG size, BYTE* whereabouts, ITransactionExport** exporter) override {
        if (exporter == nullptr) return E_INVALIDARG;
        *exporter = nullptr;
        if (whereabouts == nullptr || size == 0) return E_INVALIDARG;
        if (size != kWhereaboutsSize || std::memcmp(whereabouts, "DTCW", 4) != 0) return E_FAIL;
        if (std::memcmp(whereabouts + 4, instance, kIdSize) != 0) return XACT_E_TMNOTAVAILABLE;
        auto* made = new (std::nothrow) Exporter;
        if (made == nullptr) return E_OUTOFMEMORY;
        std::memcpy(made->instance, instance, kIdSize);
        *exporter = made;
        return S_OK;
    }

    HRESULT Lookup(ITransaction** transaction) override {
        if (transaction == nullptr) return E_INVALIDARG;
        *transaction = nullptr;
        ThreadTransaction current;
        if (!currentTransaction(&current)) return XACT_E_NOTRANSACTION;
        Transaction* tx = newTransaction(current.connection, current.uow, current.token);
        if (tx == nullptr) return E_OUTOFMEMORY;
        HRESULT hr = ownLiveness(*tx, kOpTxInfo);
        if (hr != S_OK) {
            tx->Release();
            return hr; // XACT_E_ABORTED after a time-out or an abort
        }
        *transaction = tx;
        return S_OK;
    }

    HRESULT Import(ULONG size, BYTE* cookie, IID* iid, void** transaction) override {
        if (transaction == nullptr) return E_INVALIDARG;
        *transaction = nullptr;
        if (cookie == nullptr || iid == nullptr || size == 0 || size > kMaxFrame) return E_INVALIDARG;
        if (!(*iid == IID_ITransaction || *iid == IID_IUnknown)) return E_NOINTERFACE;
        ConnectionRef c = ensureTmConnection();
        if (c == nullptr) return XACT_E_TMNOTAVAILABLE;
        Writer w;
        putU32(w, size);
        putBytes(w, cookie, size);
        int32_t result = 0;
        std::string body;
        if (!connectionCall(*c, kOpImport, w.bytes, &result, &body)) return XACT_E_CONNECTION_DOWN;
        if (result != S_OK) return result;
        if (body.size() != 2 * kIdSize) return E_UNEXPECTED;
        Transaction* tx = newTransaction(c, reinterpret_cast<const uint8_t*>(body.data()),
                                         reinterpret_cast<const uint8_t*>(body.data()) + kIdSize);
        if (tx == nullptr) return E_OUTOFMEMORY;
        *transaction = static_cast<ITransaction*>(tx);
        return S_OK;
    }

    HRESULT Create(GUID* rmGuid, char* name, IResourceManagerSink* sink, IResourceManager** rm) override {
        return createResourceManager(rmGuid, name, sink, rm);
    }

private:
    friend ULONG comRelease<TransactionManager>(TransactionManager*);
    ~TransactionManager() = default;
};

} // namespace

bool coreTransactionIds(IUnknown* transaction, uint8_t* uow, uint8_t* token, ConnectionRef* connection) {
    Transaction* tx = ownTransaction(transaction);
    if (tx == nullptr) return false;
    std::memcpy(uow, tx->uow, kIdSize);
    std::memcpy(token, tx->token, kIdSize);
    *connection = tx->connection;
    tx->Release();
    return true;
}

extern "C" HRESULT dtcclient_get_transaction_manager(char* hostName, char* tmName, REFIID riid, DWORD, WORD, void*,
                                                     void** object) {
    if (object == nullptr) return E_INVALIDARG;
    *object = nullptr;
    // Only the local coordinator is served.
    if ((hostName != nullptr && hostName[0] != '\0') || (tmName != nullptr && tmName[0] != '\0')) return E_INVALIDARG;
    if (!(riid == IID_IUnknown || riid == IID_ITransactionImportWhereabouts || riid == IID_ITransactionExportFactory ||
          riid == IID_IXATransLookup || riid == IID_ITransactionImport || riid == IID_IResourceManagerFactory))
        return E_NOINTERFACE;
    ConnectionRef c = ensureTmConnection();
    if (c == nullptr) return XACT_E_TMNOTAVAILABLE;
    auto* tm = new (std::nothrow) TransactionManager;
    if (tm == nullptr) return E_OUTOFMEMORY;
    std::memcpy(tm->instance, c->instance, kIdSize);
    HRESULT hr = tm->QueryInterface(riid, object);
    tm->Release();
    return hr;
}
