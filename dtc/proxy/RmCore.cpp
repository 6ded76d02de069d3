// Resource managers that enlist in a coordinator transaction: the objects
// behind IResourceManagerFactory::Create.
//
// Objects (each reference-counted, freed at its last Release):
//  - ResourceManager: one connection of its own to dtcd, registered under the
//    resource manager's GUID (kOpRmOpen), and one Dispatch.
//  - Dispatch: a queue and a thread of the library (joined at the resource
//    manager's last Release, so no callback runs after it). The connection's reader
//    queues what dtcd asks (prepare, commit, abort, and the loss of the
//    connection); the dispatch thread calls the resource manager's
//    ITransactionResourceAsync (and TMDown on its sink) from there, so that a
//    callback never runs inside one of the resource manager's own calls and
//    may itself call back into the library (PrepareRequestDone at once). An
//    enlistment's sink is held until its last answer (a read-only or no vote,
//    or the phase-two answer), so a phase-two request that dtcd sends again
//    reaches the resource manager again.
//  - Enlistment: ITransactionEnlistmentAsync and IPrepareInfo for one
//    enlistment; its answers go to dtcd over the resource manager's connection.
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <new>
#include <thread>
#include <unordered_map>

#include "ComObject.h"
#include "Connection.h"
#include "Core.h"
#include "Wire.h"
#include "platform/ThreadSafety.h"

using namespace dtcwire;

namespace {

struct Dispatch {
    // The reader thread only ever takes queueMu, so a caller may wait for dtcd
    // while it holds mu (Enlist does).
    platform::Mutex queueMu;                                        // guards queue, stopping
    std::condition_variable cv;                                     // wakes the thread
    std::deque<std::pair<int32_t, std::string>> queue GUARDED_BY(queueMu);  // notes not yet handled
    bool stopping GUARDED_BY(queueMu) = false;                      // the resource manager was released
    platform::Mutex mu;                                             // guards the rest
    // enlistment id -> the RM's sink (one reference)
    std::unordered_map<uint64_t, ITransactionResourceAsync*> sinks GUARDED_BY(mu);
    IResourceManagerSink* rmSink GUARDED_BY(mu) = nullptr;          // one reference, or null
    bool lost GUARDED_BY(mu) = false;                               // TMDown delivered
};

// Calls the resource manager for one note. Runs on the dispatch thread.
void handleNote(Dispatch& d, int32_t kind, const std::string& body) {
    if (kind == kNoteLost) {
        std::unordered_map<uint64_t, ITransactionResourceAsync*> sinks;
        IResourceManagerSink* rmSink = nullptr;
        {
            platform::MutexLock lock(d.mu);
            if (d.lost) return;
            d.lost = true;
            sinks.swap(d.sinks);
            rmSink = d.rmSink;
            if (rmSink != nullptr) rmSink->AddRef();
        }
        for (auto& [id, sink] : sinks) {
            sink->TMDown();
            sink->Release();
        }
        if (rmSink != nullptr) {
            rmSink->TMDown();
            rmSink->Release();
        }
        return;
    }
    Reader r = reader(body);
    uint64_t id = getU64(r);
    uint8_t singlePhase = kind == kNotePrepare ? getU8(r) : 0;
    if (r.bad) return;
    ITransactionResourceAsync* sink = nullptr;
    {
        platform::MutexLock lock(d.mu);
        auto it = d.sinks.find(id);
        if (it == d.sinks.end()) return;
        // The sink stays registered until the resource manager answers: dtcd
        // sends phase two again until it hears the answer, and each resend
        // reaches the resource manager (the answer drops the sink).
        sink = it->second;
        sink->AddRef();
    }
    XACTUOW none{};
    switch (kind) {
    case kNotePrepare: sink->PrepareRequest(0, 0, 0, singlePhase != 0); break;
    case kNoteCommit: sink->CommitRequest(0, &none); break;
    case kNoteAbort: sink->AbortRequest(nullptr, 0, &none); break;
    }
    sink->Release();
}

void dispatchLoop(std::shared_ptr<Dispatch> d) {
    for (;;) {
        std::pair<int32_t, std::string> note;
        {
            platform::MutexLock lock(d->queueMu);
            while (d->queue.empty() && !d->stopping) platform::condWait(d->cv, d->queueMu);
            if (d->stopping) break; // released: nobody is to be called any more
            note = std::move(d->queue.front());
            d->queue.pop_front();
        }
        handleNote(*d, note.first, note.second);
    }
    // Released: whatever is still held goes.
    std::unordered_map<uint64_t, ITransactionResourceAsync*> sinks;
    IResourceManagerSink* rmSink = nullptr;
    {
        platform::MutexLock lock(d->mu);
        sinks.swap(d->sinks);
        rmSink = d->rmSink;
        d->rmSink = nullptr;
    }
    for (auto& [id, sink] : sinks) sink->Release();
    if (rmSink != nullptr) rmSink->Release();
}

// Drops the sink of an enlistment that will get no more requests.
void dropSink(Dispatch& d, uint64_t id) {
    ITransactionResourceAsync* sink = nullptr;
    {
        platform::MutexLock lock(d.mu);
        auto it = d.sinks.find(id);
        if (it == d.sinks.end()) return;
        sink = it->second;
        d.sinks.erase(it);
    }
    sink->Release();
}

struct Enlistment final : ITransactionEnlistmentAsync, IPrepareInfo {
    std::atomic<ULONG> refs{1};
    std::shared_ptr<Dispatch> dispatch; // the resource manager's
    ConnectionRef connection; // the resource manager's
    uint64_t id = 0;          // dtcd's enlistment id
    uint8_t uow[16]{};        // the transaction

    HRESULT QueryInterface(REFIID riid, void** object) override {
        return comQuery(*this, riid, object,
                        {comOffer<ITransactionEnlistmentAsync>(IID_ITransactionEnlistmentAsync, this),
                         comOffer<IPrepareInfo>(IID_IPrepareInfo, this)});
    }
    ULONG AddRef() override { return comAddRef(*this); }
    ULONG Release() override { return comRelease(this); }
    HRESULT PrepareRequestDone(HRESULT hr, IMoniker*, BOID*) override {
        Writer w;
        putU64(w, id);
        putI32(w, hr);
        HRESULT result = send(kOpVote, w.bytes);
        // After a read-only or a no vote no request follows (dtcd's abort
        // after a no concerns only the others).
        if (result == S_OK && hr != S_OK) dropSink(*dispatch, id);
        return result;
    }
    HRESULT CommitRequestDone(HRESULT) override { return phaseTwoDone(1); }
    HRESULT AbortRequestDone(HRESULT) override { return phaseTwoDone(0); }
    HRESULT GetPrepareInfoSize(ULONG* size) override {
        if (size == nullptr) return E_INVALIDARG;
        *size = static_cast<ULONG>(kPrepareInfoSize);
        return S_OK;
    }
    HRESULT GetPrepareInfo(BYTE* info) override {
        if (info == nullptr) return E_INVALIDARG;
        std::memcpy(info, "DTCP", 4);
        std::memcpy(info + 4, uow, kIdSize);
        return S_OK;
    }

private:
    friend ULONG comRelease<Enlistment>(Enlistment*);
    ~Enlistment() = default;
    HRESULT phaseTwoDone(uint8_t commit) {
        Writer w;
        putU64(w, id);
        putU8(w, commit);
        HRESULT result = send(kOpPhaseTwoDone, w.bytes);
        // Answered (or refused as answered before, or as not in the
        // transaction): no phase-two request is due any more. A lost
        // connection keeps the sink: TMDown reaches it.
        if (result != XACT_E_CONNECTION_DOWN) dropSink(*dispatch, id);
        return result;
    }
    HRESULT send(uint16_t op, const std::string& body) {
        int32_t result = 0;
        if (!connectionCall(*connection, op, body, &result, nullptr)) return XACT_E_CONNECTION_DOWN;
        return result;
    }
};

struct ResourceManager final : IResourceManager {
    std::atomic<ULONG> refs{1};
    ConnectionRef connection;           // registered under the resource manager's GUID
    std::shared_ptr<Dispatch> dispatch; // its callbacks
    std::thread thread;                 // the dispatch thread

    HRESULT QueryInterface(REFIID riid, void** object) override {
        return comQuery(*this, riid, object, {comOffer<IResourceManager>(IID_IResourceManager, this)});
    }
    ULONG AddRef() override { return comAddRef(*this); }
    ULONG Release() override { return comRelease(this); }

    HRESULT Enlist(ITransaction* transaction, ITransactionResourceAsync* res, XACTUOW* uow, LONG* isoLevel,
                   ITransactionEnlistmentAsync** enlistment) override {
        if (enlistment == nullptr) return E_INVALIDARG;
        *enlistment = nullptr;
        if (transaction == nullptr || res == nullptr || uow == nullptr || isoLevel == nullptr) return E_INVALIDARG;
        uint8_t txUow[kIdSize];
        uint8_t token[kIdSize];
        ConnectionRef txConnection;
        if (!coreTransactionIds(transaction, txUow, token, &txConnection)) return E_INVALIDARG;
        if (std::memcmp(txConnection->instance, connection->instance, kIdSize) != 0) return XACT_E_NOTRANSACTION;
        auto* made = new (std::nothrow) Enlistment;
        if (made == nullptr) return E_OUTOFMEMORY;
        Writer w;
        putBytes(w, txUow, kIdSize);
        putBytes(w, token, kIdSize);
        int32_t result = 0;
        std::string body;
        // The sink is registered under the id before any note for it can be
        // handled: the dispatch thread waits on the same lock.
        HRESULT failed = S_OK;
        {
            platform::MutexLock lock(dispatch->mu);
            bool answered = connectionCall(*connection, kOpEnlist, w.bytes, &result, &body);
            Reader r = reader(body);
            uint64_t id = getU64(r);
            if (answered && result == S_OK && !r.bad) {
                made->connection = connection;
                made->dispatch = dispatch;
                made->id = id;
                std::memcpy(made->uow, txUow, kIdSize);
                std::memcpy(uow->rgb, txUow, kIdSize);
                *isoLevel = ISOLATIONLEVEL_SERIALIZABLE;
                // Every out-value is set before the first request can be delivered
                // (the dispatch thread takes the same lock first).
                *enlistment = made;
                res->AddRef();
                dispatch->sinks[id] = res;
                return S_OK;
            }
            failed = !answered ? XACT_E_CONNECTION_DOWN : (result != S_OK ? result : E_UNEXPECTED);
        }
        made->Release();
        return failed;
    }

    HRESULT Reenlist(BYTE* prepInfo, ULONG size, DWORD timeoutMs, XACTSTAT* outcome) override {
        if (outcome == nullptr) return E_INVALIDARG;
        *outcome = XACTSTAT_NONE;
        if (prepInfo == nullptr || size != kPrepareInfoSize || std::memcmp(prepInfo, "DTCP", 4) != 0)
            return E_INVALIDARG;
        Writer w;
        putBytes(w, prepInfo + 4, kIdSize);
        putU32(w, timeoutMs);
        int32_t result = 0;
        std::string body;
        if (!connectionCall(*connection, kOpReenlist, w.bytes, &result, &body)) return XACT_E_CONNECTION_DOWN;
        if (result != S_OK) return result;
        Reader r = reader(body);
        int32_t stat = getI32(r);
        if (r.bad) return E_UNEXPECTED;
        *outcome = stat;
        return S_OK;
    }

    HRESULT ReenlistmentComplete() override {
        int32_t result = 0;
        if (!connectionCall(*connection, kOpReenlistDone, {}, &result, nullptr)) return XACT_E_CONNECTION_DOWN;
        return result;
    }

    HRESULT GetDistributedTransactionManager(REFIID riid, void** object) override {
        return dtcclient_get_transaction_manager(nullptr, nullptr, riid, 0, 0, nullptr, object);
    }

    ~ResourceManager() {
        // Nothing is called any more (the dispatch thread stops before the
        // connection's loss is queued), then the connection ends: dtcd takes
        // that as the resource manager going away and aborts the enlistments
        // that have not voted yes.
        if (dispatch != nullptr) {
            {
                platform::MutexLock lock(dispatch->queueMu);
                dispatch->stopping = true;
            }
            dispatch->cv.notify_one();
        }
        // Once Release returns no callback runs any more (the one in progress
        // is waited for), unless the release comes from inside a callback.
        if (thread.joinable()) {
            if (thread.get_id() == std::this_thread::get_id())
                thread.detach();
            else
                thread.join();
        }
        if (connection != nullptr) connectionShutdown(*connection);
    }
};

} // namespace

HRESULT createResourceManager(GUID* rmGuid, char* name, IResourceManagerSink* sink, IResourceManager** rm) {
    if (rm == nullptr) return E_INVALIDARG;
    *rm = nullptr;
    if (rmGuid == nullptr || name == nullptr) return E_INVALIDARG;
    auto dispatch = std::make_shared<Dispatch>();
    ConnectionRef connection = connectionOpen([dispatch](int32_t kind, std::string body) {
        {
            platform::MutexLock lock(dispatch->queueMu);
            dispatch->queue.emplace_back(kind, std::move(body));
        }
        dispatch->cv.notify_one();
    });
    if (connection == nullptr) return XACT_E_TMNOTAVAILABLE;
    char text[40];
    std::snprintf(text, sizeof text, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", rmGuid->Data1, rmGuid->Data2,
                  rmGuid->Data3, rmGuid->Data4[0], rmGuid->Data4[1], rmGuid->Data4[2], rmGuid->Data4[3],
                  rmGuid->Data4[4], rmGuid->Data4[5], rmGuid->Data4[6], rmGuid->Data4[7]);
    int32_t result = 0;
    // The name goes along (at most 255 bytes), for dtcctl list.
    std::string open(text, kGuidText);
    open.append(name, strnlen(name, 255));
    if (!connectionCall(*connection, kOpRmOpen, open, &result, nullptr) ||
        result != S_OK) {
        connectionShutdown(*connection);
        return result != S_OK ? result : XACT_E_CONNECTION_DOWN;
    }
    auto* made = new (std::nothrow) ResourceManager;
    if (made == nullptr) {
        connectionShutdown(*connection);
        return E_OUTOFMEMORY;
    }
    if (sink != nullptr) sink->AddRef();
    {
        platform::MutexLock lock(dispatch->mu); // no thread runs yet; taken for the analysis's sake
        dispatch->rmSink = sink;
    }
    try {
        made->thread = std::thread(dispatchLoop, dispatch);
    } catch (...) {
        connectionShutdown(*connection);
        made->Release();
        return E_OUTOFMEMORY;
    }
    made->connection = std::move(connection);
    made->dispatch = std::move(dispatch);
    *rm = made;
    return S_OK;
}
