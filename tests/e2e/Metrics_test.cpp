// The metrics endpoints end to end: the real morvalen (console run, port 1439,
// MORVALEN_METRICS_LISTEN) and the real dtcd (--metrics-listen) in this
// binary's own network namespace, scraped over HTTP while requests run, and
// the settings each refuses at start.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "MorvalenClient.h"
#include "support/NotifyReceiver.h"
#include "support/Process.h"

namespace {

using testsupport::ChildProcess;
constexpr uint16_t kPort = 1439;
constexpr uint16_t kServiceMetricsPort = 9439;
constexpr uint16_t kDtcdMetricsPort = 9440;

// A whole HTTP/1.0 GET of /metrics from 127.0.0.1:port: the body, or "" when
// the endpoint does not answer 200.
std::string scrape(uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return "";
    timeval bound{10, 0};
    (void)::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string response;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        const char request[] = "GET /metrics HTTP/1.0\r\nHost: localhost\r\n\r\n";
        if (::send(fd, request, sizeof request - 1, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof request - 1)) {
            char buffer[8192];
            ssize_t n = 0;
            while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) response.append(buffer, static_cast<size_t>(n));
        }
    }
    ::close(fd);
    if (response.rfind("HTTP/1.1 200", 0) != 0 && response.rfind("HTTP/1.0 200", 0) != 0) return "";
    size_t body = response.find("\r\n\r\n");
    return body == std::string::npos ? "" : response.substr(body + 4);
}

// The value of one series ("name" or "name{labels}", written as the endpoint
// writes it), or -1 when the scrape has no such line.
double value(const std::string& text, const std::string& series) {
    std::string line = "\n" + series + " ";
    size_t at = ("\n" + text).find(line);
    if (at == std::string::npos) return -1;
    return std::strtod(text.c_str() + at + line.size() - 1, nullptr);
}

// Polls (bounded) until the series reads expected; the last value read.
double waitForValue(uint16_t port, const std::string& series, double expected) {
    double last = -1;
    for (int waited = 0; waited < 10000; waited += 10) {
        last = value(scrape(port), series);
        if (last == expected) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return last;
}

struct Coordinator {
    testsupport::TempDir data;
    std::string socket = "@morvalen-metrics-e2e-" + std::to_string(getpid());
    ChildProcess process;

    bool start(const std::vector<std::string>& extra = {}) {
        return testsupport::startDtcd(&process, data.path, socket, extra);
    }
    void kill() {
        testsupport::sendSignal(process, SIGKILL);
        testsupport::ExitStatus status;
        EXPECT_TRUE(testsupport::waitForExit(&process, 10000, &status));
    }
};

// The service with the coordinator's socket, its library directory (see
// XaEndToEnd_test.cpp) and the given settings; false when port 1439 never opens.
bool startService(ChildProcess* service, const std::string& dtcdSocket, const std::vector<std::string>& settings) {
    std::vector<std::string> env = settings;
    env.push_back("DTCD_SOCKET=" + dtcdSocket);
    env.push_back("LD_LIBRARY_PATH=" + testsupport::libDir());
    env.push_back("NOTIFY_SOCKET");
    return testsupport::startProcess(service, testsupport::binPath("morvalen"), {}, env) &&
           testsupport::waitForTcpPort(kPort, 10000);
}

struct Client {
    morvalen::MorvalenConnection c;
    Client() { EXPECT_EQ(morvalen::clientConnect(&c, "127.0.0.1", kPort, 10000), morvalen::kClientOk); }
    ~Client() { morvalen::clientClose(&c); }
};

XID makeXid(const std::string& gtrid) {
    XID x{};
    EXPECT_EQ(morvalen::xidMake(morvalen::kDefaultFormatId, gtrid.data(), gtrid.size(), "b1", 2, &x),
              morvalen::kClientOk);
    return x;
}

// Runs a program to its end; its exit code and output.
int runToExit(const std::string& program, const std::vector<std::string>& args, const std::vector<std::string>& env,
              std::string* output) {
    ChildProcess child;
    if (!testsupport::startProcess(&child, program, args, env)) return -1;
    testsupport::ExitStatus status;
    if (!testsupport::waitForExit(&child, 20000, &status)) return -1;
    *output = testsupport::readOutput(child);
    return status.exited ? status.code : -1;
}

std::string svc(const std::string& name, const std::string& labels = "") {
    return labels.empty() ? name : name + "{" + labels + "}";
}

}  // namespace

TEST(Metrics, BothEndpointsCountTheRequestsThatRan) {
    Coordinator dtcd;
    ASSERT_TRUE(dtcd.start({"--metrics-listen", "127.0.0.1:" + std::to_string(kDtcdMetricsPort)}))
        << testsupport::readOutput(dtcd.process);
    ChildProcess service;
    ASSERT_TRUE(startService(&service, dtcd.socket,
                             {"MORVALEN_METRICS_LISTEN=127.0.0.1:" + std::to_string(kServiceMetricsPort)}))
        << testsupport::readOutput(service);
    EXPECT_NE(testsupport::readOutput(service).find("Completion mode: serial\n"), std::string::npos);

    std::string before = scrape(kServiceMetricsPort);
    ASSERT_FALSE(before.empty());
    EXPECT_EQ(value(before, svc("morvalen_requests_total", "verb=\"start\",result=\"0\"")), -1);  // none yet
    EXPECT_EQ(value(before, svc("morvalen_completion_mode", "mode=\"serial\"")), 1);
    EXPECT_EQ(value(before, svc("morvalen_completion_mode", "mode=\"parallel\"")), 0);
    ASSERT_FALSE(scrape(kDtcdMetricsPort).empty());

    Client client;
    // One whole transaction, one rolled back, one prepare of an unknown XID.
    XID committed = makeXid("metrics-commit");
    XID rolledBack = makeXid("metrics-rollback");
    int32_t r = 0;
    ASSERT_EQ(morvalen::clientStart(&client.c, &committed, TMNOFLAGS, &r, nullptr), morvalen::kClientOk);
    EXPECT_EQ(r, XA_OK);
    ASSERT_EQ(morvalen::clientStart(&client.c, &rolledBack, TMNOFLAGS, &r, nullptr), morvalen::kClientOk);
    EXPECT_EQ(r, XA_OK);
    // Two branches are live, each with its worker.
    EXPECT_EQ(waitForValue(kServiceMetricsPort, "morvalen_branches", 2), 2);
    EXPECT_EQ(waitForValue(kServiceMetricsPort, "morvalen_worker_threads", 2), 2);
    EXPECT_EQ(waitForValue(kDtcdMetricsPort, svc("dtcd_branches", "state=\"active\""), 2), 2);
    ASSERT_EQ(morvalen::clientEnd(&client.c, &committed, TMSUCCESS, &r), morvalen::kClientOk);
    ASSERT_EQ(morvalen::clientPrepare(&client.c, &committed, TMNOFLAGS, &r), morvalen::kClientOk);
    EXPECT_EQ(r, XA_OK);
    EXPECT_EQ(waitForValue(kDtcdMetricsPort, svc("dtcd_branches", "state=\"prepared\""), 1), 1);
    ASSERT_EQ(morvalen::clientCommit(&client.c, &committed, TMNOFLAGS, &r), morvalen::kClientOk);
    EXPECT_EQ(r, XA_OK);
    ASSERT_EQ(morvalen::clientEnd(&client.c, &rolledBack, TMSUCCESS, &r), morvalen::kClientOk);
    ASSERT_EQ(morvalen::clientRollback(&client.c, &rolledBack, TMNOFLAGS, &r), morvalen::kClientOk);
    EXPECT_EQ(r, XA_OK);
    XID unknown = makeXid("metrics-unknown");
    int32_t unknownResult = 0;
    ASSERT_EQ(morvalen::clientPrepare(&client.c, &unknown, TMNOFLAGS, &unknownResult), morvalen::kClientOk);
    EXPECT_LT(unknownResult, 0);

    std::string after = scrape(kServiceMetricsPort);
    EXPECT_EQ(value(after, svc("morvalen_requests_total", "verb=\"start\",result=\"0\"")), 2) << after;
    EXPECT_EQ(value(after, svc("morvalen_requests_total", "verb=\"end\",result=\"0\"")), 2);
    EXPECT_EQ(value(after, svc("morvalen_requests_total", "verb=\"prepare\",result=\"0\"")), 1);
    EXPECT_EQ(value(after, svc("morvalen_requests_total",
                               "verb=\"prepare\",result=\"" + std::to_string(unknownResult) + "\"")),
              1);
    EXPECT_EQ(value(after, svc("morvalen_requests_total", "verb=\"commit\",result=\"0\"")), 1);
    EXPECT_EQ(value(after, svc("morvalen_requests_total", "verb=\"rollback\",result=\"0\"")), 1);
    EXPECT_EQ(value(after, svc("morvalen_request_duration_seconds_count", "verb=\"start\"")), 2);
    EXPECT_EQ(value(after, svc("morvalen_request_duration_seconds_bucket", "verb=\"prepare\",le=\"+Inf\"")), 2);
    EXPECT_GT(value(after, svc("morvalen_request_duration_seconds_sum", "verb=\"prepare\"")), 0);
    EXPECT_EQ(value(after, "morvalen_connections_open"), 1);
    EXPECT_GE(value(after, "morvalen_connections_accepted_total"), 1);
    EXPECT_EQ(value(after, svc("morvalen_connections_refused_total", "reason=\"cap\"")), 0);
    EXPECT_EQ(value(after, "morvalen_coordinator_rebinds_total"), 0);
    // Both branches ended: their records and workers go.
    EXPECT_EQ(waitForValue(kServiceMetricsPort, "morvalen_branches", 0), 0);
    EXPECT_EQ(waitForValue(kServiceMetricsPort, "morvalen_worker_threads", 0), 0);

    std::string coordinator = scrape(kDtcdMetricsPort);
    EXPECT_EQ(value(coordinator, svc("dtcd_requests_total", "verb=\"start\"")), 2) << coordinator;
    EXPECT_EQ(value(coordinator, svc("dtcd_requests_total", "verb=\"prepare\"")), 1);
    EXPECT_EQ(value(coordinator, svc("dtcd_requests_total", "verb=\"commit\"")), 1);
    EXPECT_EQ(value(coordinator, svc("dtcd_requests_total", "verb=\"rollback\"")), 1);
    // The prepared row and its deletion at commit: two durable records, each
    // group commit timed.
    EXPECT_EQ(value(coordinator, "dtcd_durable_writes_total"), 2);
    double commits = value(coordinator, "dtcd_group_commits_total");
    EXPECT_GE(commits, 1);
    EXPECT_EQ(value(coordinator, "dtcd_flush_duration_seconds_count"), commits);
    EXPECT_EQ(value(coordinator, "dtcd_group_commit_records_sum"), 2);
    EXPECT_EQ(value(coordinator, svc("dtcd_participant_votes_total", "vote=\"yes\"")), 0);
    EXPECT_GE(value(coordinator, "dtcd_connections_open"), 1);  // the service's control connection
    EXPECT_EQ(waitForValue(kDtcdMetricsPort, svc("dtcd_branches", "state=\"prepared\""), 0), 0);
}

TEST(Metrics, CapRefusalsAndRebindsAreCounted) {
    Coordinator dtcd;
    ASSERT_TRUE(dtcd.start());
    ChildProcess service;
    ASSERT_TRUE(startService(&service, dtcd.socket,
                             {"MORVALEN_METRICS_LISTEN=127.0.0.1:" + std::to_string(kServiceMetricsPort),
                              "MORVALEN_MAX_CONNECTIONS=1", "MORVALEN_PARALLEL_COMPLETIONS=1"}))
        << testsupport::readOutput(service);
    EXPECT_NE(testsupport::readOutput(service).find("Completion mode: parallel\n"), std::string::npos);
    EXPECT_EQ(value(scrape(kServiceMetricsPort), svc("morvalen_completion_mode", "mode=\"parallel\"")), 1);

    Client first;
    morvalen::MorvalenRecoverList list;
    int32_t r = 0;
    ASSERT_EQ(morvalen::clientRecover(&first.c, TMSTARTRSCAN | TMENDRSCAN, &r, &list), morvalen::kClientOk);
    EXPECT_EQ(r, 0);  // bound once
    {
        // The second connection is over the cap and is closed at once.
        morvalen::MorvalenConnection second;
        EXPECT_NE(morvalen::clientConnect(&second, "127.0.0.1", kPort, 5000), morvalen::kClientOk);
        morvalen::clientClose(&second);
    }
    EXPECT_EQ(waitForValue(kServiceMetricsPort, svc("morvalen_connections_refused_total", "reason=\"cap\""), 1), 1);

    // The coordinator goes and comes back: the binding is dropped on -7 and
    // made afresh by the next request.
    dtcd.kill();
    ASSERT_EQ(morvalen::clientRecover(&first.c, TMSTARTRSCAN | TMENDRSCAN, &r, &list), morvalen::kClientOk);
    EXPECT_EQ(r, XAER_RMFAIL);
    ASSERT_TRUE(dtcd.start());
    ASSERT_EQ(morvalen::clientRecover(&first.c, TMSTARTRSCAN | TMENDRSCAN, &r, &list), morvalen::kClientOk);
    EXPECT_EQ(r, 0);
    std::string after = scrape(kServiceMetricsPort);
    EXPECT_EQ(value(after, "morvalen_coordinator_rebinds_total"), 1) << after;
    EXPECT_EQ(value(after, svc("morvalen_requests_total", "verb=\"recover\",result=\"-7\"")), 1);
    EXPECT_EQ(value(after, svc("morvalen_requests_total", "verb=\"recover\",result=\"0\"")), 2);
}

TEST(Metrics, BadOrUnbindableAddressesRefuseTheStart) {
    // The service: a malformed value, then an address whose port is taken.
    std::string out;
    std::vector<std::string> env = {"NOTIFY_SOCKET", "LD_LIBRARY_PATH=" + testsupport::libDir()};
    for (const char* bad : {"9439", "localhost:9439", "127.0.0.1:0", "127.0.0.1:65536", "127.0.0.1:9439s",
                            "127.0.0.1:9439,127.0.0.2:9439", "[::1:9439", ""}) {
        std::vector<std::string> settings = env;
        settings.push_back(std::string("MORVALEN_METRICS_LISTEN=") + bad);
        EXPECT_EQ(runToExit(testsupport::binPath("morvalen"), {}, settings, &out), 1) << bad;
        EXPECT_EQ(out, "MORVALEN_METRICS_LISTEN must be ADDRESS:PORT: an IPv4 address or a bracketed IPv6 address, "
                       "and a port from 1 to 65535\n")
            << bad;
    }
    int taken = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kServiceMetricsPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(taken, 1), 0);
    env.push_back("MORVALEN_METRICS_LISTEN=127.0.0.1:" + std::to_string(kServiceMetricsPort));
    EXPECT_EQ(runToExit(testsupport::binPath("morvalen"), {}, env, &out), 1);
    EXPECT_EQ(out, "MORVALEN_METRICS_LISTEN: cannot listen on 127.0.0.1:9439\n");

    // dtcd: the same two cases.
    testsupport::TempDir data;
    std::vector<std::string> dtcdEnv = {"DTCD_SOCKET=@morvalen-metrics-refused-" + std::to_string(getpid()),
                                        "NOTIFY_SOCKET"};
    EXPECT_EQ(runToExit(testsupport::binPath("dtcd"), {"--data-dir", data.path, "--metrics-listen", "somewhere"},
                        dtcdEnv, &out),
              1);
    EXPECT_EQ(out, "dtcd: --metrics-listen must be ADDRESS:PORT (an IP address and a port from 1 to 65535): "
                   "somewhere\n");
    EXPECT_EQ(runToExit(testsupport::binPath("dtcd"),
                        {"--data-dir", data.path, "--metrics-listen=127.0.0.1:" + std::to_string(kServiceMetricsPort)},
                        dtcdEnv, &out),
              1);
    EXPECT_EQ(out, "dtcd: cannot serve metrics on 127.0.0.1:9439\n");
    ::close(taken);
}

TEST(Metrics, AServiceRunWithTheEndpointStopsOnTheStopSignal) {
    // The endpoint's threads start before the service run blocks the stop
    // signal; they must not take it, or SIGTERM would kill the process
    // instead of stopping the service.
    testsupport::NotifyReceiver receiver;
    ASSERT_TRUE(receiver.bound);
    ChildProcess service;
    ASSERT_TRUE(testsupport::startProcess(
        &service, testsupport::binPath("morvalen"), {},
        {"NOTIFY_SOCKET=" + receiver.address, "DTCD_SOCKET=@morvalen-metrics-none-" + std::to_string(getpid()),
         "LD_LIBRARY_PATH=" + testsupport::libDir(),
         "MORVALEN_METRICS_LISTEN=127.0.0.1:" + std::to_string(kServiceMetricsPort)}));
    bool ready = false;
    for (int i = 0; i < 10 && !ready; ++i) {
        ready = testsupport::notifyNext(receiver, 10000)["READY"] == "1";
    }
    ASSERT_TRUE(ready) << testsupport::readOutput(service);
    ASSERT_FALSE(scrape(kServiceMetricsPort).empty());
    ASSERT_TRUE(testsupport::sendSignal(service, SIGTERM));
    testsupport::ExitStatus status;
    ASSERT_TRUE(testsupport::waitForExit(&service, 20000, &status));
    EXPECT_TRUE(status.exited) << "ended by signal " << status.signal;
    EXPECT_EQ(status.code, 0);
    EXPECT_NE(testsupport::readOutput(service).find("Stop Service"), std::string::npos)
        << testsupport::readOutput(service);
}
