// Reporting: what goes to standard output and to the system log, and the
// shapes and size rules of the two error-text helpers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "platform/Error.h"
#include "platform/Process.h"
#include "report/Report.h"
#include "support/Process.h"
#include "support/SyslogCapture.h"

namespace {

// When this binary is started with MORVALEN_REPORT_TEST_CHILD set, it makes
// these reports and exits before any test runs: the child whose system log
// the capture test reads.
const bool reportChildRan = [] {
    if (getenv("MORVALEN_REPORT_TEST_CHILD") == nullptr) {
        return false;
    }
    reportInfo("Start Service");
    reportWarning("SetServiceStatus failed");
    reportError("bind() failed with error 98: Address already in use\n");
    reportErrorCode("Exception in xa_start", -6);
    std::exit(0);
}();

std::string selfPath() {
    char path[4096];
    return platform::executablePath(path, sizeof path) > 0 ? path : "";
}

}  // namespace

TEST(Report, EachReportGoesToStandardOutputAndTheSystemLogAtItsLevel) {
    ASSERT_FALSE(reportChildRan);
    if (!testsupport::syslogCaptureSupported()) {
        GTEST_SKIP() << "a private mount namespace needs root and unshare";
    }
    testsupport::SyslogCapture capture;
    ASSERT_TRUE(capture.ready);
    testsupport::ChildProcess child;
    ASSERT_TRUE(testsupport::startProcessWithSyslogCapture(&child, capture, selfPath(), {},
                                                           {"MORVALEN_REPORT_TEST_CHILD=1"}));
    testsupport::ExitStatus status;
    ASSERT_TRUE(testsupport::waitForExit(&child, 20000, &status));
    EXPECT_TRUE(status.exited);
    EXPECT_EQ(status.code, 0) << testsupport::readOutput(child);

    // A text that ends in a line end is followed by an empty line.
    EXPECT_EQ(testsupport::readOutput(child),
              "Start Service\n"
              "SetServiceStatus failed\n"
              "bind() failed with error 98: Address already in use\n\n"
              "Exception in xa_start : -6\n");

    ASSERT_TRUE(testsupport::syslogWaitFor(capture, "Exception in xa_start : -6", 5000));
    std::vector<testsupport::SyslogEntry> entries = testsupport::syslogEntries(capture);
    ASSERT_EQ(entries.size(), 4u);
    const int expectedLevels[] = {6, 4, 3, 3};  // LOG_INFO, LOG_WARNING, LOG_ERR, LOG_ERR
    const char* expectedTexts[] = {"Start Service", "SetServiceStatus failed",
                                   "bind() failed with error 98: Address already in use\n",
                                   "Exception in xa_start : -6"};
    for (size_t i = 0; i < entries.size(); ++i) {
        SCOPED_TRACE(entries[i].raw);
        EXPECT_EQ(entries[i].ident, "Morvalen");
        EXPECT_EQ(entries[i].pid, child.pid);
        EXPECT_EQ(entries[i].facility, 1);  // LOG_USER
        EXPECT_EQ(entries[i].level, expectedLevels[i]);
        EXPECT_EQ(entries[i].text, expectedTexts[i]);
    }
}

TEST(Report, ErrorCodeFormatAndLongTexts) {
    testing::internal::CaptureStdout();
    reportErrorCode("Exception in xa_start", -6);
    reportErrorCode("Exception in accpet socket", static_cast<int32_t>(0xC0000005));
    std::string longText(2000, 'x');
    reportErrorCode(longText.c_str(), 12345);
    reportEvent(nullptr, EVENTLOG_INFORMATION_TYPE);
    reportErrorCode(nullptr, 1);
    std::string printed = testing::internal::GetCapturedStdout();
    // A text longer than the 1024-byte buffer is cut to 1023 characters.
    EXPECT_EQ(printed, "Exception in xa_start : -6\n"
                       "Exception in accpet socket : -1073741819\n" +
                           std::string(1023, 'x') + "\n"
                           "\n"
                           " : 1\n");
}

TEST(Report, LinesOfConcurrentReportersNeverMix) {
    const std::string first(300, 'a');
    const std::string second(300, 'b');
    testing::internal::CaptureStdout();
    auto reporter = [](const std::string* text) {
        for (int i = 0; i < 200; ++i) {
            reportInfo(text->c_str());
        }
    };
    std::thread one(reporter, &first);
    std::thread two(reporter, &second);
    one.join();
    two.join();
    std::istringstream printed(testing::internal::GetCapturedStdout());
    int lines = 0;
    for (std::string line; std::getline(printed, line); ++lines) {
        ASSERT_TRUE(line == first || line == second) << line.substr(0, 80);
    }
    EXPECT_EQ(lines, 400);
}

TEST(Report, LastErrorTextShapeAndSizeRule) {
    char buffer[256];
    platform::setLastError(5);
    EXPECT_STREQ(lastErrorText(buffer, sizeof buffer), "Input/output error (0x5)");
    platform::setLastError(13);
    EXPECT_STREQ(lastErrorText(buffer, sizeof buffer), "Permission denied (0xd)");

    // The text counts two more characters for the line end a system text
    // would carry, then 14 for the code: "Permission denied" (17) needs 33.
    std::strcpy(buffer, "stale");
    platform::setLastError(13);
    EXPECT_STREQ(lastErrorText(buffer, 33), "Permission denied (0xd)");
    platform::setLastError(13);
    EXPECT_STREQ(lastErrorText(buffer, 32), "");

    // No text for the number: the empty text.
    std::strcpy(buffer, "stale");
    platform::setLastError(99999);
    EXPECT_STREQ(lastErrorText(buffer, sizeof buffer), "");

    // Degenerate buffers are left alone.
    EXPECT_EQ(lastErrorText(nullptr, 256), nullptr);
    std::strcpy(buffer, "kept");
    EXPECT_STREQ(lastErrorText(buffer, 0), "kept");
    EXPECT_STREQ(lastErrorText(buffer, -5), "kept");
}

TEST(Report, WinsockErrorTextKeepsTheLastTextWhenThereIsNone) {
    const char* text = winsockErrorText(98);
    EXPECT_STREQ(text, "Address already in use");
    EXPECT_EQ(winsockErrorText(111), text);  // one static buffer
    EXPECT_STREQ(text, "Connection refused");
    EXPECT_STREQ(winsockErrorText(99999), "Connection refused");
    EXPECT_STREQ(winsockErrorText(-1), "Connection refused");
}
