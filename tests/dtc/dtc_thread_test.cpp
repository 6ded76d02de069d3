// Thread rules and the COM-style side: Lookup on threads with and without a
// branch, export of a branch's cookie and its import back to the same
// transaction, honest reference counts, time-outs, and the proxy unloaded and
// loaded again while branches live on.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "DtcHarness.h"
#include "contract/txdtc.h"

namespace {

constexpr int kRm = 1;

class DtcThreads : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(startDaemon(&daemon));
        useDaemon(daemon);
        ASSERT_EQ(XA_OK, DTC_XaOpen(kOpenString, kRm, TMNOFLAGS));
        ASSERT_EQ(S_OK, get(IID_IXATransLookup, &lookup));
        ASSERT_EQ(S_OK, get(IID_ITransactionImportWhereabouts, &whereabouts));
        ASSERT_EQ(S_OK, get(IID_ITransactionExportFactory, &factory));
        ASSERT_EQ(S_OK, get(IID_ITransactionImport, &importer));
    }
    void TearDown() override {
        for (IUnknown* p : std::initializer_list<IUnknown*>{lookup, whereabouts, factory, importer}) {
            if (p != nullptr) {
                EXPECT_EQ(0u, p->Release());
            }
        }
        DTC_XaClose(kOpenString, kRm, TMNOFLAGS);
        stopDaemon(&daemon);
        removeDaemonFiles(daemon);
    }
    template <typename T>
    HRESULT get(const IID& iid, T** out) {
        return DtcGetTransactionManager(nullptr, nullptr, iid, 0, 0, nullptr, reinterpret_cast<void**>(out));
    }
    // An exporter for this process's own whereabouts, as the service makes it.
    ITransactionExport* newExporter() {
        ULONG size = 0;
        EXPECT_EQ(S_OK, whereabouts->GetWhereaboutsSize(&size));
        std::vector<BYTE> where(size);
        ULONG used = 0;
        EXPECT_EQ(S_OK, whereabouts->GetWhereabouts(size, where.data(), &used));
        ITransactionExport* exporter = nullptr;
        EXPECT_EQ(S_OK, factory->Create(used, where.data(), &exporter));
        return exporter;
    }
    // The cookie of the calling thread's transaction, as the service makes it.
    HRESULT cookieOf(std::vector<BYTE>* cookie) {
        ITransactionExport* exporter = newExporter();
        ULONG used = 0;
        ITransaction* tx = nullptr;
        HRESULT hr = lookup->Lookup(&tx);
        if (hr == S_OK) {
            ULONG cookieSize = 0;
            hr = exporter->Export(tx, &cookieSize);
            if (hr == S_OK) {
                cookie->resize(cookieSize);
                hr = exporter->GetTransactionCookie(tx, cookieSize, cookie->data(), &used);
            }
            EXPECT_EQ(0u, tx->Release());
        }
        EXPECT_EQ(0u, exporter->Release());
        return hr;
    }
    Daemon daemon;
    IXATransLookup* lookup = nullptr;
    ITransactionImportWhereabouts* whereabouts = nullptr;
    ITransactionExportFactory* factory = nullptr;
    ITransactionImport* importer = nullptr;
};

TEST_F(DtcThreads, LookupAnswersForTheCallingThreadOnly) {
    ITransaction* tx = reinterpret_cast<ITransaction*>(0x1);
    EXPECT_EQ(XACT_E_NOTRANSACTION, lookup->Lookup(&tx));
    EXPECT_EQ(nullptr, tx);
    EXPECT_EQ(E_INVALIDARG, lookup->Lookup(nullptr));
    XID a = makeXid("lookup-a");
    ASSERT_EQ(XA_OK, DTC_XaStart(&a, kRm, TMNOFLAGS));
    ASSERT_EQ(S_OK, lookup->Lookup(&tx));
    XACTTRANSINFO info{};
    EXPECT_EQ(S_OK, tx->GetTransactionInfo(&info));
    EXPECT_EQ(ISOLATIONLEVEL_SERIALIZABLE, info.isoLevel);
    EXPECT_EQ(XACT_E_COMMITPREVENTED, tx->Commit(0, 0, 0));
    EXPECT_EQ(0u, tx->Release());
    // Another thread has no branch; a suspended association is no association.
    HRESULT other = S_OK;
    std::thread([&] {
        ITransaction* t = nullptr;
        other = lookup->Lookup(&t);
    }).join();
    EXPECT_EQ(XACT_E_NOTRANSACTION, other);
    ASSERT_EQ(XA_OK, DTC_XaEnd(&a, kRm, TMSUSPEND));
    EXPECT_EQ(XACT_E_NOTRANSACTION, lookup->Lookup(&tx));
    ASSERT_EQ(XA_OK, DTC_XaStart(&a, kRm, TMRESUME));
    EXPECT_EQ(S_OK, lookup->Lookup(&tx));
    EXPECT_EQ(0u, tx->Release());
    ASSERT_EQ(XA_OK, DTC_XaEnd(&a, kRm, TMSUCCESS));
    EXPECT_EQ(XACT_E_NOTRANSACTION, lookup->Lookup(&tx));
    EXPECT_EQ(XA_OK, DTC_XaRollback(&a, kRm, TMNOFLAGS));
}

TEST_F(DtcThreads, CookieImportsBackToItsTransaction) {
    XID a = makeXid("cookie-a");
    ASSERT_EQ(XA_OK, DTC_XaStart(&a, kRm, TMNOFLAGS));
    std::vector<BYTE> cookie;
    ASSERT_EQ(S_OK, cookieOf(&cookie));
    ITransaction* mine = nullptr;
    ASSERT_EQ(S_OK, lookup->Lookup(&mine));
    XACTTRANSINFO mineInfo{};
    ASSERT_EQ(S_OK, mine->GetTransactionInfo(&mineInfo));
    EXPECT_EQ(0u, mine->Release());

    IID iid = IID_ITransaction;
    void* imported = nullptr;
    ASSERT_EQ(S_OK, importer->Import(static_cast<ULONG>(cookie.size()), cookie.data(), &iid, &imported));
    auto* tx = static_cast<ITransaction*>(imported);
    XACTTRANSINFO info{};
    ASSERT_EQ(S_OK, tx->GetTransactionInfo(&info));
    EXPECT_EQ(0, std::memcmp(&info.uow, &mineInfo.uow, sizeof info.uow));

    // Forged and truncated cookies are refused, and so is a bad argument.
    std::vector<BYTE> forged = cookie;
    forged.back() ^= 1;
    EXPECT_EQ(XACT_E_INVALIDCOOKIE, importer->Import(static_cast<ULONG>(forged.size()), forged.data(), &iid, &imported));
    EXPECT_EQ(nullptr, imported);
    EXPECT_EQ(XACT_E_INVALIDCOOKIE, importer->Import(10, cookie.data(), &iid, &imported));
    std::vector<BYTE> unknown = cookie;
    unknown[30] ^= 1; // the transaction id
    EXPECT_EQ(XACT_E_NOTRANSACTION, importer->Import(static_cast<ULONG>(unknown.size()), unknown.data(), &iid, &imported));
    EXPECT_EQ(E_INVALIDARG, importer->Import(static_cast<ULONG>(cookie.size()), nullptr, &iid, &imported));
    IID wrong = IID_IXATransLookup;
    EXPECT_EQ(E_NOINTERFACE, importer->Import(static_cast<ULONG>(cookie.size()), cookie.data(), &wrong, &imported));

    // The importer aborts: the XA side sees the roll-back.
    EXPECT_EQ(S_OK, tx->Abort(nullptr, 0, 0));
    ITransaction* after = nullptr;
    EXPECT_EQ(XACT_E_ABORTED, lookup->Lookup(&after));
    EXPECT_EQ(XA_RBROLLBACK, DTC_XaEnd(&a, kRm, TMSUCCESS));
    EXPECT_EQ(XA_RBROLLBACK, DTC_XaPrepare(&a, kRm, TMNOFLAGS));
    EXPECT_EQ(XACT_E_NOTRANSACTION, tx->GetTransactionInfo(&info));
    EXPECT_EQ(0u, tx->Release());
}

TEST_F(DtcThreads, ExportIsRefusedOnceTheBranchLeftTheActiveStates) {
    XID a = makeXid("export-late");
    ASSERT_EQ(XA_OK, DTC_XaStart(&a, kRm, TMNOFLAGS));
    ITransaction* tx = nullptr;
    ASSERT_EQ(S_OK, lookup->Lookup(&tx));
    ASSERT_EQ(XA_OK, DTC_XaEnd(&a, kRm, TMSUCCESS));
    ASSERT_EQ(XA_OK, DTC_XaPrepare(&a, kRm, TMNOFLAGS));
    ITransactionExport* exporter = nullptr;
    ULONG size = 0;
    whereabouts->GetWhereaboutsSize(&size);
    std::vector<BYTE> where(size);
    ULONG used = 0;
    ASSERT_EQ(S_OK, whereabouts->GetWhereabouts(size, where.data(), &used));
    EXPECT_EQ(E_INVALIDARG, whereabouts->GetWhereabouts(size - 1, where.data(), &used));
    EXPECT_EQ(E_FAIL, factory->Create(3, where.data(), &exporter));
    EXPECT_EQ(0u, used);
    ASSERT_EQ(S_OK, factory->Create(size, where.data(), &exporter));
    ULONG cookieSize = 0;
    EXPECT_EQ(XACT_E_NOTRANSACTION, exporter->Export(tx, &cookieSize));
    EXPECT_EQ(E_INVALIDARG, exporter->Export(nullptr, &cookieSize));
    EXPECT_EQ(E_NOINTERFACE, exporter->Export(lookup, &cookieSize)); // not a transaction
    EXPECT_EQ(XACT_E_ALREADYINPROGRESS, tx->Abort(nullptr, 0, 0));      // prepared: the TM decides
    EXPECT_EQ(XACT_E_CANTRETAIN, tx->Abort(nullptr, 1, 0));
    EXPECT_EQ(0u, exporter->Release());
    EXPECT_EQ(0u, tx->Release());
    EXPECT_EQ(XA_OK, DTC_XaCommit(&a, kRm, TMNOFLAGS));
}

TEST_F(DtcThreads, ReferenceCountsAndInterfaces) {
    EXPECT_EQ(2u, lookup->AddRef());
    void* same = nullptr;
    EXPECT_EQ(S_OK, lookup->QueryInterface(IID_ITransactionImportWhereabouts, &same));
    EXPECT_EQ(2u, static_cast<IUnknown*>(same)->Release());
    EXPECT_EQ(1u, lookup->Release());
    EXPECT_EQ(E_NOINTERFACE, lookup->QueryInterface(IID_ITransaction, &same));
    EXPECT_EQ(nullptr, same);
    void* object = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(E_NOINTERFACE, DtcGetTransactionManager(nullptr, nullptr, IID_ITransaction, 0, 0, nullptr, &object));
    EXPECT_EQ(nullptr, object);
    EXPECT_EQ(E_INVALIDARG, DtcGetTransactionManager(nullptr, nullptr, IID_IXATransLookup, 0, 0, nullptr, nullptr));
    char host[] = "elsewhere";
    EXPECT_EQ(E_INVALIDARG, DtcGetTransactionManager(host, nullptr, IID_IXATransLookup, 0, 0, nullptr, &object));
}

TEST_F(DtcThreads, TimeoutRollsBackUnpreparedBranches) {
    char openString[] = "TM=Morvalen,RmRecoveryGuid=11111111-2222-3333-4444-555555555555,Timeout=50";
    ASSERT_EQ(XA_OK, DTC_XaOpen(openString, 2, TMNOFLAGS));
    XID a = makeXid("timeout-a");
    XID kept = makeXid("timeout-kept");
    ASSERT_EQ(XA_OK, DTC_XaStart(&kept, 2, TMNOFLAGS));
    ASSERT_EQ(XA_OK, DTC_XaEnd(&kept, 2, TMSUCCESS));
    ASSERT_EQ(XA_OK, DTC_XaPrepare(&kept, 2, TMNOFLAGS)); // prepared: no longer timed
    ASSERT_EQ(XA_OK, DTC_XaStart(&a, 2, TMNOFLAGS));
    ITransaction* tx = nullptr;
    HRESULT hr = S_OK;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while ((hr = lookup->Lookup(&tx)) == S_OK && std::chrono::steady_clock::now() < deadline) tx->Release();
    EXPECT_EQ(XACT_E_ABORTED, hr);
    EXPECT_EQ(XA_RBROLLBACK, DTC_XaEnd(&a, 2, TMSUCCESS));
    EXPECT_EQ(XA_RBROLLBACK, DTC_XaPrepare(&a, 2, TMNOFLAGS));
    EXPECT_EQ(XAER_NOTA, DTC_XaRollback(&a, 2, TMNOFLAGS));
    EXPECT_EQ(XA_OK, DTC_XaCommit(&kept, 2, TMNOFLAGS));
    EXPECT_EQ(XA_OK, DTC_XaClose(openString, 2, TMNOFLAGS));
}

TEST_F(DtcThreads, ProxyUnloadedAndLoadedAgainKeepsBranches) {
    // The service loads libmsdtcprx.so by bare name and drops it on every
    // unbind; branches and associations live in the core meanwhile.
    XID a = makeXid("reload-a");
    for (int round = 0; round < 20; ++round) {
        void* lib = dlopen("libmsdtcprx.so", RTLD_NOW);
        ASSERT_NE(nullptr, lib) << dlerror();
        auto start = reinterpret_cast<DTC_XaBranchFn>(dlsym(lib, "DTC_XaStart"));
        auto end = reinterpret_cast<DTC_XaBranchFn>(dlsym(lib, "DTC_XaEnd"));
        auto open = reinterpret_cast<DTC_XaOpenFn>(dlsym(lib, "DTC_XaOpen"));
        auto close = reinterpret_cast<DTC_XaCloseFn>(dlsym(lib, "DTC_XaClose"));
        ASSERT_NE(nullptr, dlsym(lib, "DTC_XaComplete"));
        ASSERT_EQ(XA_OK, open(kOpenString, kRm, TMNOFLAGS));
        ASSERT_EQ(XA_OK, start(&a, kRm, round == 0 ? TMNOFLAGS : TMRESUME));
        ASSERT_EQ(XA_OK, end(&a, kRm, TMSUSPEND));
        // This thread holds a suspended association, so it may not close; another may.
        ASSERT_EQ(XAER_PROTO, close(kOpenString, kRm, TMNOFLAGS));
        int closed = XAER_RMERR;
        std::thread([&] { closed = close(kOpenString, kRm, TMNOFLAGS); }).join();
        ASSERT_EQ(XA_OK, closed);
        dlclose(lib);
    }
    EXPECT_EQ(XA_OK, DTC_XaEnd(&a, kRm, TMSUCCESS));
    EXPECT_EQ(XA_OK, DTC_XaCommit(&a, kRm, TMONEPHASE));
}

} // namespace

TEST_F(DtcThreads, AnAbortElsewhereIsSeenAtOnceByTheAssociatedThreadsLookupAndExport) {
    // Lookup and Export of a thread's own transaction are answered from what
    // dtcd told the process: an abort made through another connection or
    // another thread must be seen by the very next call, every time.
    ITransactionExport* exporter = newExporter();
    ASSERT_NE(nullptr, exporter);
    ULONG used = 0;
    IID iid = IID_ITransaction;
    for (int i = 0; i < 50; ++i) {
        XID x = makeXid("aborted-" + std::to_string(i));
        ASSERT_EQ(XA_OK, DTC_XaStart(&x, kRm, TMNOFLAGS));
        ITransaction* mine = nullptr;
        ASSERT_EQ(S_OK, lookup->Lookup(&mine));
        ULONG cookieSize = 0;
        ASSERT_EQ(S_OK, exporter->Export(mine, &cookieSize));
        if (i % 2 == 0) {
            // An importer aborts, through the process's other connection.
            std::vector<BYTE> cookie(cookieSize);
            ASSERT_EQ(S_OK, exporter->GetTransactionCookie(mine, cookieSize, cookie.data(), &used));
            void* imported = nullptr;
            ASSERT_EQ(S_OK, importer->Import(cookieSize, cookie.data(), &iid, &imported));
            auto* theirs = static_cast<ITransaction*>(imported);
            ASSERT_EQ(S_OK, theirs->Abort(nullptr, 0, 0));
            EXPECT_EQ(0u, theirs->Release());
        } else {
            // Another thread rolls the branch back while this one is associated.
            int32_t rolledBack = -1;
            std::thread([&] { rolledBack = DTC_XaRollback(&x, kRm, TMNOFLAGS); }).join();
            ASSERT_EQ(XA_OK, rolledBack);
        }
        ITransaction* after = nullptr;
        EXPECT_EQ(XACT_E_ABORTED, lookup->Lookup(&after)) << i;
        EXPECT_EQ(XACT_E_NOTRANSACTION, exporter->Export(mine, &cookieSize)) << i;
        EXPECT_EQ(0u, mine->Release());
        EXPECT_EQ(XA_RBROLLBACK, DTC_XaEnd(&x, kRm, TMSUCCESS));
        if (i % 2 == 0) {
            EXPECT_EQ(XA_OK, DTC_XaRollback(&x, kRm, TMNOFLAGS));  // the importer's abort left it rollback-only
        }
    }
    // The next branch of the thread is live again.
    XID fresh = makeXid("aborted-then-fresh");
    ASSERT_EQ(XA_OK, DTC_XaStart(&fresh, kRm, TMNOFLAGS));
    ITransaction* tx = nullptr;
    ASSERT_EQ(S_OK, lookup->Lookup(&tx));
    ULONG cookieSize = 0;
    EXPECT_EQ(S_OK, exporter->Export(tx, &cookieSize));
    EXPECT_EQ(0u, tx->Release());
    EXPECT_EQ(XA_OK, DTC_XaEnd(&fresh, kRm, TMSUCCESS));
    EXPECT_EQ(XA_OK, DTC_XaRollback(&fresh, kRm, TMNOFLAGS));
    EXPECT_EQ(0u, exporter->Release());
}
