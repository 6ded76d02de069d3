// Shared helpers of the XA unit tests, which run in-process against the DTC
// test doubles (tests/doubles): a connection record to call handlers with, the
// reply's payload, the reports printed meanwhile, and a clean start.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "DtcDouble.h"
#include "net/Connection.h"
#include "platform/Clock.h"
#include "platform/FaultGuard.h"
#include "xa/Binding.h"
#include "xa/Registry.h"
#include "xa/Requests.h"

namespace xatest {

// A connection record as the connection loop hands it to a handler; no socket.
struct Request {
    ClientConnection connection;
    int32_t result = 0;

    // Runs a handler for xid and flags; the result is kept.
    template <typename Handler>
    int32_t run(Handler handler, const XID& xid, int32_t flags = TMNOFLAGS) {
        connection.replyLength = 8;
        connection.xid = xid;
        connection.flags = flags;
        result = handler(&connection);
        return result;
    }
    // The payload the handler appended.
    std::vector<uint8_t> payload() const {
        return std::vector<uint8_t>(connection.replyBuffer + 8, connection.replyBuffer + connection.replyLength);
    }
    // The reply's length as the connection loop would send it.
    uint32_t replyLength() const { return connection.replyLength; }
    // A start's cookie: the bytes after the length word; empty with length -1.
    int32_t cookieLength() const {
        int32_t n = 0;
        std::memcpy(&n, connection.replyBuffer + 8, 4);
        return n;
    }
    std::vector<uint8_t> cookie() const {
        int32_t n = cookieLength();
        if (n <= 0) {
            return {};
        }
        return std::vector<uint8_t>(connection.replyBuffer + 12, connection.replyBuffer + 12 + n);
    }
};

// Everything printed to standard output (the reports) while it lives.
struct Reports {
    Reports() { testing::internal::CaptureStdout(); }
    ~Reports() {
        if (!taken) {
            (void)testing::internal::GetCapturedStdout();
        }
    }
    std::string text() {
        taken = true;
        return testing::internal::GetCapturedStdout();
    }
    bool taken = false;
};

// Counts the lines that are exactly line.
inline int countLines(const std::string& text, const std::string& line) {
    int n = 0;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        n += text.compare(start, end - start, line) == 0 ? 1 : 0;
        start = end + 1;
    }
    return n;
}

// Each test starts unbound, with the doubles at their defaults, the real clock
// and the default (locked) completion mode.
inline void freshStart() {
    platform::faultGuardInstall();
    platform::tickCountSubstitute(nullptr);
    setParallelCompletions(false);
    deinit();
    dtcdouble::reset();
}

// A substitutable clock.
inline uint32_t fakeNow = 0;
inline uint32_t fakeTicks() { return fakeNow; }

inline XID xid(const std::string& gtrid, const std::string& bqual = "b1", int32_t format = 0x4D56) {
    return dtcdouble::makeXid(format, gtrid, bqual);
}

// Polls (bounded) until no record is alive any more.
inline bool waitNoRecords(int timeoutMs = 5000) {
    for (int i = 0; i < timeoutMs && threadDatenAlive() != 0; ++i) {
        platform::sleepMs(1);
    }
    return threadDatenAlive() == 0;
}

}  // namespace xatest
