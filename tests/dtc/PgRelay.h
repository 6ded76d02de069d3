// A relay between libpq clients and a test cluster's Unix socket, for the
// participant tests: it can cut or hold the answer to one command (PREPARE
// TRANSACTION unless told otherwise).
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "DtcHarness.h"

namespace pgtest {

// A relay between libpq clients and the cluster's Unix socket that acts once
// the server has answered a PREPARE TRANSACTION: it cuts the connection (the
// server has prepared, the client never hears it), or, holding, keeps the
// answer back until the test lets it go (the participant has prepared and
// not voted yet).
struct CuttingRelay {
    std::string dir;              // holds .s.PGSQL.5432
    std::string target;           // the server's socket file
    bool hold = false;            // hold the answer instead of cutting
    std::string trigger = "PREPARE TRANSACTION"; // the command whose answer is cut or held
    int listener = -1;
    std::atomic<bool> stopping{false};
    std::atomic<int> cuts{0};
    std::thread acceptor;
    std::mutex mu;
    std::condition_variable cv;
    bool holding = false;         // an answer is held back (under mu)
    bool released = false;        // the test let it go (under mu)
    std::vector<std::thread> relays;

    // Waits (ten seconds at most) until an answer to PREPARE TRANSACTION is held.
    bool waitHeld() {
        std::unique_lock lock(mu);
        return cv.wait_for(lock, std::chrono::seconds(10), [&] { return holding; });
    }
    void release() {
        std::lock_guard lock(mu);
        released = true;
        cv.notify_all();
    }

    bool start(const std::string& clusterDir) {
        dir = makeTempDir();
        target = clusterDir + "/.s.PGSQL.5432";
        listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::string path = dir + "/.s.PGSQL.5432";
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listener, 8) != 0)
            return false;
        acceptor = std::thread([this] {
            for (;;) {
                int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
                if (client < 0) return; // the listener was shut down
                std::lock_guard lock(mu);
                relays.emplace_back([this, client] { relay(client); });
            }
        });
        return true;
    }
    void relay(int client) {
        int server = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", target.c_str());
        bool cutNext = false; // the client sent PREPARE TRANSACTION: cut at the answer
        if (connect(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
            char buffer[65536];
            for (;;) {
                pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
                if (poll(fds, 2, 200) < 0 || stopping) break;
                if ((fds[0].revents & (POLLIN | POLLHUP)) != 0) {
                    ssize_t n = recv(client, buffer, sizeof buffer, 0);
                    if (n <= 0) break;
                    if (std::string_view(buffer, static_cast<size_t>(n)).find(trigger) !=
                        std::string_view::npos)
                        cutNext = true;
                    if (send(server, buffer, static_cast<size_t>(n), MSG_NOSIGNAL) != n) break;
                }
                if ((fds[1].revents & (POLLIN | POLLHUP)) != 0) {
                    ssize_t n = recv(server, buffer, sizeof buffer, 0);
                    if (n <= 0) break;
                    if (cutNext && hold) {
                        std::unique_lock lock(mu);
                        holding = true;
                        cv.notify_all();
                        cv.wait(lock, [&] { return released || stopping.load(); });
                        cutNext = false;
                    } else if (cutNext) {
                        cuts++;
                        break;
                    }
                    if (send(client, buffer, static_cast<size_t>(n), MSG_NOSIGNAL) != n) break;
                }
            }
        }
        close(server);
        close(client);
    }
    void stop() {
        {
            std::lock_guard lock(mu);
            stopping = true;
            cv.notify_all();
        }
        if (listener >= 0) shutdown(listener, SHUT_RDWR);
        if (acceptor.joinable()) acceptor.join();
        for (std::thread& t : relays) t.join();
        if (listener >= 0) close(listener);
        std::filesystem::remove_all(dir);
    }
};

} // namespace pgtest
