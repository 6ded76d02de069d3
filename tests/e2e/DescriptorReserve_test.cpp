// The descriptors the service keeps back from its clients, end to end: the
// real morvalen (console run, port 1439, under a limit of 128 descriptors) and
// the real dtcd. Clients take every descriptor they may have, the coordinator
// is killed and started again, and the service must still reach it from one of
// the connections already open. This binary runs in a network namespace of its
// own, so port 1439 and the coordinator's socket are private.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "MorvalenClient.h"
#include "support/Process.h"

namespace {

using testsupport::backTo;
using testsupport::ChildProcess;
using testsupport::descriptorsOf;
using testsupport::threadsOf;
constexpr uint16_t kPort = kServicePort;
// The limit the service runs under, and at most how many clients it can take
// under it (the real number is lower: its own descriptors and the reserve).
constexpr int kDescriptorLimit = 128;
constexpr int kMostClients = kDescriptorLimit;

std::string socketName() { return "@morvalen-reserve-e2e-" + std::to_string(::getpid()); }

struct Coordinator {
    testsupport::TempDir data;
    std::string socket = socketName();
    ChildProcess process;

    bool start() { return testsupport::startDtcd(&process, data.path, socket); }
    void kill() {
        testsupport::sendSignal(process, SIGKILL);
        testsupport::ExitStatus status;
        EXPECT_TRUE(testsupport::waitForExit(&process, 10000, &status));
    }
};

// A client connection through the client library, closed on destruction.
struct Client {
    morvalen::MorvalenConnection c;
    bool connected = false;
    Client() { connected = morvalen::clientConnect(&c, "127.0.0.1", kPort, 5000) == morvalen::kClientOk; }
    ~Client() { morvalen::clientClose(&c); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;
};

XID makeXid(const std::string& gtrid) {
    XID x{};
    EXPECT_EQ(morvalen::xidMake(0x4D56, gtrid.data(), gtrid.size(), "r", 1, &x), morvalen::kClientOk);
    return x;
}

// Start (with the cookie, which needs the coordinator's second library),
// end, prepare and commit of one branch; the first result that is not XA_OK,
// or XA_OK. A transport failure counts as XAER_RMFAIL.
int32_t wholeTransaction(Client* client, const XID& x) {
    int32_t r = XAER_RMFAIL;
    morvalen::MorvalenCookie cookie;
    if (morvalen::clientStart(&client->c, &x, TMNOFLAGS, &r, &cookie) != morvalen::kClientOk) return XAER_RMFAIL;
    if (r != XA_OK) return r;
    if (cookie.length <= 0) return XAER_RMERR;
    if (morvalen::clientEnd(&client->c, &x, TMSUCCESS, &r) != morvalen::kClientOk) return XAER_RMFAIL;
    if (r != XA_OK) return r;
    if (morvalen::clientPrepare(&client->c, &x, TMNOFLAGS, &r) != morvalen::kClientOk) return XAER_RMFAIL;
    if (r != XA_OK) return r;
    if (morvalen::clientCommit(&client->c, &x, TMNOFLAGS, &r) != morvalen::kClientOk) return XAER_RMFAIL;
    return r;
}

// Opens clients until the service refuses one; the admitted ones are added to
// held. False when it never refused (the reserve is not there).
bool fillUntilRefused(std::vector<std::unique_ptr<Client>>* held) {
    for (int i = 0; i < kMostClients; ++i) {
        auto client = std::make_unique<Client>();
        if (!client->connected) {
            return true;
        }
        held->push_back(std::move(client));
    }
    return false;
}

}  // namespace

TEST(DescriptorReserve, ARestartedCoordinatorIsReachedWhileClientsHoldEveryOtherDescriptor) {
    Coordinator dtcd;
    ASSERT_TRUE(dtcd.start()) << testsupport::readOutput(dtcd.process);
    // prlimit execs the service, so the child's pid is the service's. The
    // library directory is on LD_LIBRARY_PATH for dlopen under the sanitizers.
    ChildProcess service;
    ASSERT_TRUE(testsupport::startProcess(
        &service, "/usr/bin/prlimit",
        {"--nofile=" + std::to_string(kDescriptorLimit) + ":" + std::to_string(kDescriptorLimit), "--",
         testsupport::binPath("morvalen")},
        {"DTCD_SOCKET=" + dtcd.socket, "NOTIFY_SOCKET", "LD_LIBRARY_PATH=" + testsupport::libDir()}));
    ASSERT_TRUE(testsupport::waitForTcpPort(kPort, 10000)) << testsupport::readOutput(service);

    // The baseline once a first whole transaction has come and gone: the
    // binding to the coordinator, its libraries and their connections stay.
    // The client's connection thread leaves within moments; the smallest
    // count seen over a while is the one without it.
    {
        Client first;
        ASSERT_TRUE(first.connected);
        ASSERT_EQ(wholeTransaction(&first, makeXid("reserve-first")), XA_OK) << testsupport::readOutput(service);
    }
    int threads = threadsOf(service.pid);
    int descriptors = descriptorsOf(service.pid);
    for (int i = 0; i < 30; ++i) {
        ::usleep(10000);
        threads = std::min(threads, threadsOf(service.pid));
        descriptors = std::min(descriptors, descriptorsOf(service.pid));
    }

    std::vector<std::unique_ptr<Client>> held;
    ASSERT_TRUE(fillUntilRefused(&held)) << held.size() << " clients admitted under " << kDescriptorLimit;
    ASSERT_GT(held.size(), 50u);
    ASSERT_TRUE(testsupport::waitForOutput(service, "accept() failed with error " + std::to_string(EMFILE), 5000));

    // The coordinator goes. A request finds its binding dead and drops it,
    // which frees the descriptors of its connections; clients then take
    // those too, so that whatever the service opens to reach the new
    // coordinator can only come from the reserve.
    dtcd.kill();
    Client& worker = *held.front();
    morvalen::MorvalenRecoverList list;
    int32_t r = XA_OK;
    ASSERT_EQ(morvalen::clientRecover(&worker.c, TMSTARTRSCAN | TMENDRSCAN, &r, &list), morvalen::kClientOk);
    EXPECT_EQ(r, XAER_RMFAIL);
    ASSERT_EQ(morvalen::clientRecover(&worker.c, TMSTARTRSCAN | TMENDRSCAN, &r, &list), morvalen::kClientOk);
    EXPECT_EQ(r, XAER_RMFAIL);
    ASSERT_TRUE(fillUntilRefused(&held));

    // Back again: a whole transaction on a connection opened before the
    // restart. Its first request may still find a connection of the old
    // coordinator to drop (XAER_RMFAIL, the answer a manager retries on);
    // the one after it must bind afresh.
    ASSERT_TRUE(dtcd.start()) << testsupport::readOutput(dtcd.process);
    int32_t result = wholeTransaction(&worker, makeXid("reserve-back-1"));
    if (result == XAER_RMFAIL) {
        result = wholeTransaction(&worker, makeXid("reserve-back-2"));
    }
    EXPECT_EQ(result, XA_OK) << testsupport::readOutput(service);
    ASSERT_EQ(morvalen::clientRecover(&worker.c, TMSTARTRSCAN | TMENDRSCAN, &r, &list), morvalen::kClientOk);
    EXPECT_EQ(r, 0);  // nothing left prepared

    // Once the clients have gone, the service holds what it held before.
    held.clear();
    EXPECT_TRUE(backTo(service.pid, threads, descriptors))
        << threadsOf(service.pid) << " threads (" << threads << " before), " << descriptorsOf(service.pid)
        << " descriptors (" << descriptors << " before)";
    Client after;
    ASSERT_TRUE(after.connected);
    EXPECT_EQ(wholeTransaction(&after, makeXid("reserve-after")), XA_OK);
}
