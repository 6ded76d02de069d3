// The store under stress: a data directory whose disk fills up and frees again
// (a tmpfs of a few MiB in a private mount namespace of the test), and a store
// that was emptied, truncated or corrupted behind dtcd's back.
#include <gtest/gtest.h>
#include <sched.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "DtcHarness.h"
#include "Wire.h"
#include "contract/txdtc.h"

namespace {

constexpr int kRm = 1;

// A participant that votes yes at once and acknowledges whatever follows.
struct YesVoter final : ITransactionResourceAsync {
    ITransactionEnlistmentAsync* enlistment = nullptr;
    HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG AddRef() override { return 2; } // lives on the test's stack
    ULONG Release() override { return 1; }
    HRESULT PrepareRequest(BOOL, DWORD, BOOL, BOOL) override { return enlistment->PrepareRequestDone(S_OK, nullptr, nullptr); }
    HRESULT CommitRequest(DWORD, XACTUOW*) override { return enlistment->CommitRequestDone(S_OK); }
    HRESULT AbortRequest(BOID*, BOOL, XACTUOW*) override { return enlistment->AbortRequestDone(S_OK); }
    HRESULT TMDown() override { return S_OK; }
};

// A one-phase commit of a branch with a participant that votes yes: its
// decision has to be written.
int onePhaseWithParticipant(const std::string& name) {
    XID xid = makeXid(name);
    EXPECT_EQ(XA_OK, DTC_XaStart(&xid, kRm, TMNOFLAGS));
    void* object = nullptr;
    EXPECT_EQ(S_OK, DtcGetTransactionManager(nullptr, nullptr, IID_IXATransLookup, 0, 0, nullptr, &object));
    auto* lookup = static_cast<IXATransLookup*>(object);
    ITransaction* tx = nullptr;
    EXPECT_EQ(S_OK, lookup->Lookup(&tx));
    lookup->Release();
    EXPECT_EQ(S_OK, DtcGetTransactionManager(nullptr, nullptr, IID_IResourceManagerFactory, 0, 0, nullptr, &object));
    auto* factory = static_cast<IResourceManagerFactory*>(object);
    GUID guid = {0x5eed0001, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x01}};
    char rmName[] = "yes-voter";
    IResourceManager* rm = nullptr;
    EXPECT_EQ(S_OK, factory->Create(&guid, rmName, nullptr, &rm));
    factory->Release();
    YesVoter voter;
    XACTUOW uow{};
    LONG iso = 0;
    EXPECT_EQ(S_OK, rm->Enlist(tx, &voter, &uow, &iso, &voter.enlistment));
    tx->Release();
    EXPECT_EQ(XA_OK, DTC_XaEnd(&xid, kRm, TMSUCCESS));
    int rc = DTC_XaCommit(&xid, kRm, TMONEPHASE);
    rm->Release(); // no callback runs after this
    voter.enlistment->Release();
    return rc;
}

// Mounts a tmpfs of `bytes` at `dir` in a mount namespace of this process
// alone (dtcd, started later, inherits it). Must run before any thread is
// started. False where namespaces or mounts are not allowed.
bool privateTmpfs(const std::string& dir, size_t bytes) {
    if (unshare(CLONE_NEWNS) != 0) return false;
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
    std::string options = "size=" + std::to_string(bytes) + ",mode=0700";
    return mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) == 0;
}

// Writes a file until the file system is full; answers the bytes written.
size_t fillDisk(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr) return 0;
    std::setvbuf(f, nullptr, _IONBF, 0);
    std::vector<char> chunk(4096, 'x');
    size_t written = 0;
    while (std::fwrite(chunk.data(), 1, chunk.size(), f) == chunk.size()) written += chunk.size();
    std::fclose(f);
    return written;
}

std::string readText(const std::string& path) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A full disk under dtcd: no XA_OK for a record that is not stored, no
// XAER_RMFAIL on the live connection (the service would unbind and every
// unprepared branch of the resource manager would be rolled back), and work
// resumes when space comes back.
TEST(DtcStoreFull, WritesFailWithBranchCodesAndResumeWhenSpaceReturns) {
    std::string root = makeTempDir();
    if (!privateTmpfs(root, 3u << 20)) GTEST_SKIP() << "no private mount namespace here";
    Daemon d;
    d.dataDir = root + "/data";
    ASSERT_TRUE(startDaemon(&d));
    useDaemon(d);
    ASSERT_EQ(XA_OK, DTC_XaOpen(kOpenString, kRm, TMNOFLAGS));
    std::set<std::string> prepared;
    for (int i = 0; i < 24; ++i) {
        std::string name = "full-p" + std::to_string(i);
        ASSERT_EQ(XA_OK, prepareNew(name, kRm));
        prepared.insert(name);
    }
    std::string out;
    ASSERT_EQ(0, runCtl(d, {"resolve", dtcwire::xidText(makeXid("full-p0")), "commit"}, &out)) << out;
    XID bystander = makeXid("full-bystander"); // unprepared work that must survive the fault
    ASSERT_EQ(XA_OK, DTC_XaStart(&bystander, kRm, TMNOFLAGS));
    ASSERT_EQ(XA_OK, DTC_XaEnd(&bystander, kRm, TMSUCCESS));

    ASSERT_GT(fillDisk(root + "/filler"), 0u);
    // Prepares until one cannot be stored (the log may still hold room for a few).
    std::string refused;
    for (int i = 0; i < 500 && refused.empty(); ++i) {
        std::string name = "full-f" + std::to_string(i);
        int rc = prepareNew(name, kRm);
        if (rc == XA_OK) {
            prepared.insert(name);
        } else {
            ASSERT_EQ(XAER_RMERR, rc) << name;
            refused = name;
        }
    }
    ASSERT_FALSE(refused.empty()) << "the full disk never refused a write";
    // The refused prepare rolled its branch back: it is not in doubt, not known.
    XID refusedXid = makeXid(refused);
    EXPECT_EQ(XAER_NOTA, DTC_XaCommit(&refusedXid, kRm, TMNOFLAGS));
    EXPECT_EQ(0u, recoverNames(kRm).count(refused));
    // Decisions cannot be recorded: XA_RETRY, the branch stays prepared.
    XID p1 = makeXid("full-p1");
    XID p2 = makeXid("full-p2");
    XID p0 = makeXid("full-p0");
    EXPECT_EQ(XA_RETRY, DTC_XaCommit(&p1, kRm, TMNOFLAGS));
    EXPECT_EQ(XA_RETRY, DTC_XaRollback(&p2, kRm, TMNOFLAGS));
    EXPECT_EQ(XAER_RMERR, DTC_XaForget(&p0, kRm, TMNOFLAGS)); // the heuristic record stays
    EXPECT_EQ(XA_HEURCOM, DTC_XaCommit(&p0, kRm, TMNOFLAGS));
    // A one-phase commit whose decision cannot be recorded rolled back: a rollback code.
    EXPECT_EQ(XA_RBROLLBACK, onePhaseWithParticipant("full-one-phase"));
    EXPECT_EQ(prepared, recoverNames(kRm));                           // the connection is alive
    ASSERT_EQ(0, runCtl(d, {"--json", "stats"}, &out));
    EXPECT_EQ(std::string::npos, out.find("\"write_failures\":0,")) << out;

    // Space comes back: the same calls now succeed, the bystander goes on.
    std::filesystem::remove(root + "/filler");
    EXPECT_EQ(XA_OK, DTC_XaCommit(&p1, kRm, TMNOFLAGS));
    EXPECT_EQ(XA_OK, DTC_XaRollback(&p2, kRm, TMNOFLAGS));
    EXPECT_EQ(XA_OK, DTC_XaForget(&p0, kRm, TMNOFLAGS));
    EXPECT_EQ(XA_OK, DTC_XaPrepare(&bystander, kRm, TMNOFLAGS));
    EXPECT_EQ(XA_OK, prepareNew(refused, kRm));
    prepared.erase("full-p0");
    prepared.erase("full-p1");
    prepared.erase("full-p2");
    prepared.insert("full-bystander");
    prepared.insert(refused);

    // What was answered is what is on disk.
    killDaemon(&d);
    ASSERT_TRUE(startDaemon(&d));
    EXPECT_EQ(XA_OK, DTC_XaClose(kOpenString, kRm, TMNOFLAGS));
    ASSERT_EQ(XA_OK, DTC_XaOpen(kOpenString, kRm, TMNOFLAGS));
    EXPECT_EQ(prepared, recoverNames(kRm));
    EXPECT_EQ(XA_OK, DTC_XaClose(kOpenString, kRm, TMNOFLAGS));
    EXPECT_EQ(0, stopDaemon(&d));
    umount(root.c_str());
    std::filesystem::remove_all(root);
}

// Copies of dtcd.db in the states an operator may find after a bad restore.
void truncateTo(const std::string& path, uintmax_t size) { std::filesystem::resize_file(path, size); }

void overwrite(const std::string& path, size_t offset, size_t count) {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(offset));
    std::string junk(count, '\x5a');
    f.write(junk.data(), static_cast<std::streamsize>(junk.size()));
}

// Expects dtcd to refuse the directory with exit 1 and one line naming `what`.
void expectRefused(const Daemon& d, const std::string& what) {
    std::string err;
    EXPECT_EQ(1, runDaemonToExit({"--data-dir", d.dataDir}, uniqueSocketName(), &err)) << what;
    EXPECT_EQ(1, std::count(err.begin(), err.end(), '\n')) << err;
    EXPECT_NE(std::string::npos, err.find(what)) << err;
    EXPECT_NE(std::string::npos, err.find("--new-store")) << err;
}

class DtcStoreIdentity : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(startDaemon(&daemon));
        useDaemon(daemon);
        ASSERT_EQ(XA_OK, DTC_XaOpen(kOpenString, kRm, TMNOFLAGS));
        // Enough rows for several pages, so a cut file loses some of them.
        for (int i = 0; i < 300; ++i) ASSERT_EQ(XA_OK, prepareNew("kept-" + std::to_string(i), kRm));
        ASSERT_EQ(XA_OK, DTC_XaClose(kOpenString, kRm, TMNOFLAGS));
        ASSERT_EQ(0, stopDaemon(&daemon));
        db = daemon.dataDir + "/dtcd.db";
        saved = daemon.dataDir + "/../saved.db";
        std::filesystem::copy_file(db, saved);
        ASSERT_GT(std::filesystem::file_size(db), 16384u);
        ASSERT_TRUE(std::filesystem::exists(daemon.dataDir + "/dtcd.id"));
    }
    void TearDown() override {
        stopDaemon(&daemon);
        removeDaemonFiles(daemon);
    }
    void restore() { std::filesystem::copy_file(saved, db, std::filesystem::copy_options::overwrite_existing); }
    size_t recovered() {
        EXPECT_EQ(XA_OK, DTC_XaOpen(kOpenString, kRm, TMNOFLAGS));
        size_t n = recoverNames(kRm).size();
        EXPECT_EQ(XA_OK, DTC_XaClose(kOpenString, kRm, TMNOFLAGS));
        return n;
    }
    Daemon daemon;
    std::string db;
    std::string saved;
};

TEST_F(DtcStoreIdentity, MissingEmptyCutOrDamagedStoreIsRefused) {
    truncateTo(db, 0);
    expectRefused(daemon, "missing or empty");
    std::filesystem::remove(db);
    expectRefused(daemon, "missing or empty");
    EXPECT_FALSE(std::filesystem::exists(db)); // the refusal made no new file
    restore();
    truncateTo(db, std::filesystem::file_size(db) / 2);
    expectRefused(daemon, "damaged");
    restore();
    overwrite(db, 0, 100); // the header
    expectRefused(daemon, "damaged");
    restore();
    overwrite(db, 4096, 3 * 4096); // pages 2 to 4: table roots and branch rows
    expectRefused(daemon, "damaged");
    // The good copy put back starts with every branch.
    restore();
    ASSERT_TRUE(startDaemon(&daemon));
    EXPECT_EQ(300u, recovered());
}

TEST_F(DtcStoreIdentity, ForeignOrUnmarkedStores) {
    std::string id = daemon.dataDir + "/dtcd.id";
    std::string idText = readText(id);
    // A store of another directory (another instance) is not this one.
    Daemon other;
    ASSERT_TRUE(startDaemon(&other));
    ASSERT_EQ(0, stopDaemon(&other));
    std::filesystem::copy_file(other.dataDir + "/dtcd.db", db, std::filesystem::copy_options::overwrite_existing);
    expectRefused(daemon, "another store");
    removeDaemonFiles(other);
    restore();
    std::ofstream(id) << "garbage\n";
    expectRefused(daemon, "dtcd.id is damaged");
    // A store made before the identity file existed gets one and keeps its branches.
    std::filesystem::remove(id);
    ASSERT_TRUE(startDaemon(&daemon));
    EXPECT_EQ(300u, recovered());
    EXPECT_EQ(idText, readText(id));
}

// A store written before participants and the identity file existed: the
// old table layout (no participants column), no dtcd.id.
TEST(DtcStoreUpgrade, StoreOfTheEarlierLayoutKeepsItsBranches) {
    Daemon d;
    d.dataDir = makeTempDir() + "/data";
    std::filesystem::create_directory(d.dataDir);
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open((d.dataDir + "/dtcd.db").c_str(), &db));
    XID xid = makeXid("old-layout");
    std::string insert = "PRAGMA journal_mode=WAL;"
                         "CREATE TABLE meta(key TEXT PRIMARY KEY, value BLOB);"
                         "CREATE TABLE branches(guid TEXT NOT NULL, xid BLOB NOT NULL, uow BLOB NOT NULL,"
                         " token BLOB NOT NULL, state INTEGER NOT NULL, heuristic INTEGER NOT NULL,"
                         " created INTEGER NOT NULL, PRIMARY KEY(guid, xid)) WITHOUT ROWID;"
                         "INSERT INTO meta VALUES('instance', x'00112233445566778899AABBCCDDEEFF');"
                         "INSERT INTO branches VALUES('7592BBA9-26B4-421A-AE43-6E27A5BFD134', x'" +
                         dtcwire::hexEncode(&xid, sizeof xid) + "', zeroblob(16), zeroblob(16), 3, 0, 0);";
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, insert.c_str(), nullptr, nullptr, nullptr)) << sqlite3_errmsg(db);
    sqlite3_close(db);
    ASSERT_TRUE(startDaemon(&d));
    useDaemon(d);
    ASSERT_EQ(XA_OK, DTC_XaOpen(kOpenString, kRm, TMNOFLAGS));
    EXPECT_EQ((std::set<std::string>{"old-layout"}), recoverNames(kRm));
    EXPECT_EQ(XA_OK, prepareNew("new-row", kRm)); // written with the added column
    EXPECT_EQ(XA_OK, DTC_XaCommit(&xid, kRm, TMNOFLAGS));
    EXPECT_EQ(XA_OK, DTC_XaClose(kOpenString, kRm, TMNOFLAGS));
    EXPECT_EQ(0, stopDaemon(&d));
    EXPECT_NE(std::string::npos, readText(d.dataDir + "/dtcd.id").find("00112233445566778899aabbccddeeff"));
    // A committing branch whose participants were written without their names.
    dtcwire::Writer parties;
    dtcwire::putBytes(parties, "0A1B2C3D-0000-4000-8000-00000000AB01", dtcwire::kGuidText);
    dtcwire::putI32(parties, dtcwire::kVoteYes);
    XID owed = makeXid("owed-ack");
    ASSERT_EQ(SQLITE_OK, sqlite3_open((d.dataDir + "/dtcd.db").c_str(), &db));
    std::string committing = "INSERT INTO branches VALUES('7592BBA9-26B4-421A-AE43-6E27A5BFD134', x'" +
                             dtcwire::hexEncode(&owed, sizeof owed) + "', zeroblob(16), zeroblob(16), 6, 0, 0, x'" +
                             dtcwire::hexEncode(parties.bytes.data(), parties.bytes.size()) + "');";
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, committing.c_str(), nullptr, nullptr, nullptr)) << sqlite3_errmsg(db);
    sqlite3_close(db);
    ASSERT_TRUE(startDaemon(&d));
    std::string out;
    ASSERT_EQ(0, runCtl(d, {"list"}, &out));
    EXPECT_NE(std::string::npos, out.find("participant 0A1B2C3D-0000-4000-8000-00000000AB01 voted yes")) << out;
    ASSERT_EQ(XA_OK, DTC_XaOpen(kOpenString, kRm, TMNOFLAGS));
    EXPECT_EQ((std::set<std::string>{"new-row"}), recoverNames(kRm));
    EXPECT_EQ(XA_OK, DTC_XaClose(kOpenString, kRm, TMNOFLAGS));
    stopDaemon(&d);
    removeDaemonFiles(d);
}

TEST_F(DtcStoreIdentity, NewStoreStartsAfreshOnPurposeAndSetsTheOldOneAside) {
    truncateTo(db, 0);
    ASSERT_TRUE(startDaemon(&daemon, {"--new-store"}));
    EXPECT_EQ(0u, recovered());
    ASSERT_EQ(0, stopDaemon(&daemon));
    bool setAside = false;
    for (const auto& entry : std::filesystem::directory_iterator(daemon.dataDir))
        setAside = setAside || entry.path().filename().string().rfind("dtcd.db.set-aside-", 0) == 0;
    EXPECT_TRUE(setAside);
    // The new store is guarded like the old one.
    truncateTo(db, 0);
    expectRefused(daemon, "missing or empty");
}

// A failed flush: the request that needed it is answered XAER_RMFAIL (the
// outcome is unknown), never a definite outcome; dtcd stops at once with one
// line naming the failed flush and answers nothing more; the next start
// finds every branch that was acknowledged, and whatever the failed request
// left is either still prepared or gone, and completes as such.
TEST(DtcStoreFlush, AFailedFlushStopsTheDaemonAndTheRestartIsConsistent) {
    Daemon d;
    std::string trigger = makeTempDir() + "/fail-flushes";
    ASSERT_TRUE(startDaemonWithFlushFault(&d, trigger));
    useDaemon(d);
    ASSERT_EQ(XA_OK, DTC_XaOpen(kOpenString, kRm, TMNOFLAGS));
    ASSERT_EQ(XA_OK, prepareNew("acknowledged", kRm));

    // A prepare whose flush fails.
    std::ofstream(trigger).put('x');
    XID lost = makeXid("flush-failed");
    ASSERT_EQ(XA_OK, DTC_XaStart(&lost, kRm, TMNOFLAGS));
    ASSERT_EQ(XA_OK, DTC_XaEnd(&lost, kRm, TMSUCCESS));
    EXPECT_EQ(XAER_RMFAIL, DTC_XaPrepare(&lost, kRm, TMNOFLAGS));
    EXPECT_EQ(1, daemonExitCode(&d));
    EXPECT_NE(readText(d.stderrPath).find("dtcd: a durable write (the flush of the log) failed"), std::string::npos)
        << readText(d.stderrPath);
    XID after = makeXid("after-the-failure");
    EXPECT_EQ(XAER_RMFAIL, DTC_XaStart(&after, kRm, TMNOFLAGS));
    (void)DTC_XaClose(kOpenString, kRm, TMNOFLAGS);

    // The restart: the acknowledged branch is there; the failed one is
    // prepared or gone, and either way the manager's decision completes it.
    std::remove(trigger.c_str());
    ASSERT_TRUE(startDaemonWithFlushFault(&d, trigger));
    ASSERT_EQ(XA_OK, DTC_XaOpen(kOpenString, kRm, TMNOFLAGS));
    std::set<std::string> inDoubt = recoverNames(kRm);
    EXPECT_EQ(1u, inDoubt.count("acknowledged"));
    EXPECT_EQ(inDoubt.count("flush-failed") == 1 ? XA_OK : XAER_NOTA, DTC_XaRollback(&lost, kRm, TMNOFLAGS));

    // A commit whose flush fails: XAER_RMFAIL, not XA_RETRY; after the
    // restart the branch is prepared (commit again) or gone (committed).
    std::ofstream(trigger).put('x');
    XID acknowledged = makeXid("acknowledged");
    EXPECT_EQ(XAER_RMFAIL, DTC_XaCommit(&acknowledged, kRm, TMNOFLAGS));
    EXPECT_EQ(1, daemonExitCode(&d));
    (void)DTC_XaClose(kOpenString, kRm, TMNOFLAGS);
    std::remove(trigger.c_str());
    ASSERT_TRUE(startDaemonWithFlushFault(&d, trigger));
    ASSERT_EQ(XA_OK, DTC_XaOpen(kOpenString, kRm, TMNOFLAGS));
    bool stillPrepared = recoverNames(kRm).count("acknowledged") == 1;
    EXPECT_EQ(stillPrepared ? XA_OK : XAER_NOTA, DTC_XaCommit(&acknowledged, kRm, TMNOFLAGS));
    EXPECT_TRUE(recoverNames(kRm).empty());
    EXPECT_EQ(XA_OK, DTC_XaClose(kOpenString, kRm, TMNOFLAGS));
    stopDaemon(&d);
    removeDaemonFiles(d);
}

} // namespace
