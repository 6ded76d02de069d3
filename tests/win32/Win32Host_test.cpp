// The service host and the bridge as they behave on Windows: status reports
// outside a service run fail with the warning and keep the check-point rule,
// the error text of lastErrorText is FormatMessageA's with the code, that of
// winsockErrorText one line that keeps the blank of its line end, the
// binding refuses an MSDTCPRX.DLL without DTC_XaComplete. (Faults inside DTC
// calls, with their Windows codes, are the shared XaRequests tests'.)
#include <gtest/gtest.h>

#include <string>

#include "unit/XaTestSupport.h"
#include "platform/Error.h"
#include "platform/Library.h"
#include "platform/Process.h"
#include "report/Report.h"
#include "report/Status.h"

using xatest::countLines;
using xatest::Reports;
using xatest::Request;
using xatest::freshStart;

TEST(Win32Host, StatusReportsWithoutTheManagerWarnAndKeepTheCheckPoints) {
    statusAttachServiceManager(true);  // as serviceMain does; no handle behind it here
    Reports reports;
    EXPECT_EQ(reportStatus(SERVICE_START_PENDING, 0, 3000), 0u);
    uint32_t first = statusSnapshot().dwCheckPoint;
    EXPECT_EQ(reportStatus(SERVICE_RUNNING, 0, 0), 0u);
    EXPECT_EQ(statusSnapshot().dwCheckPoint, 0u);
    EXPECT_EQ(statusSnapshot().dwControlsAccepted, SERVICE_ACCEPT_STOP);
    EXPECT_EQ(reportStatus(SERVICE_STOP_PENDING, 0, 0), 0u);
    EXPECT_EQ(statusSnapshot().dwCheckPoint, first + 1);
    EXPECT_EQ(countLines(reports.text(), "SetServiceStatus failed"), 3);
    statusAttachServiceManager(false);
}

TEST(Win32Host, LastErrorTextIsTheSystemTextAndTheCodeInHex) {
    char buffer[256];
    platform::setLastError(5);
    std::string text = lastErrorText(buffer, sizeof buffer);
    ASSERT_GT(text.size(), 6u);
    EXPECT_EQ(text.substr(text.size() - 6), " (0x5)") << text;
    EXPECT_EQ(text.find('\n'), std::string::npos);
    EXPECT_EQ(text.find('\r'), std::string::npos);
    platform::setLastError(1073);  // ERROR_SERVICE_EXISTS
    text = lastErrorText(buffer, sizeof buffer);
    EXPECT_EQ(text.substr(text.size() - 8), " (0x431)") << text;
    // Too small for text and code: the empty text.
    platform::setLastError(5);
    EXPECT_STREQ(lastErrorText(buffer, 10), "");
}

TEST(Win32Host, WinsockErrorTextIsOneLineEndingInTheBlankOfItsLineEnd) {
    std::string text = winsockErrorText(10061);  // WSAECONNREFUSED
    ASSERT_GT(text.size(), 1u);
    EXPECT_EQ(text.back(), ' ') << text;
    EXPECT_EQ(text.find('\n'), std::string::npos) << text;
    EXPECT_EQ(text.find('\r'), std::string::npos) << text;
    // Without a text for the code, the last text stays.
    EXPECT_EQ(std::string(winsockErrorText(0x2FFFFFFF)), text);
}

TEST(Win32Host, BindingRefusesAnMsdtcprxWithoutComplete) {
    freshStart();
    // Loaded by its path first, the variant is the module that the bare name
    // then finds (Windows matches loaded modules by name).
    char path[1024];
    size_t length = platform::executablePath(path, sizeof path);
    ASSERT_GT(length, 0u);
    std::string exe(path, length);
    std::string variant = exe.substr(0, exe.find_last_of('\\')) + "\\..\\lib\\doubles\\without-complete\\MSDTCPRX.DLL";
    platform::LibraryHandle library = platform::libraryLoad(variant.c_str());
    ASSERT_NE(library, nullptr) << variant;
    ASSERT_EQ(platform::librarySymbol(library, "DTC_XaComplete"), nullptr);
    {
        Reports reports;
        Request request;
        EXPECT_EQ(request.run(xa_recover, dtcdouble::makeXid(-1, "", ""), TMSTARTRSCAN), XAER_RMFAIL);
        std::string text = reports.text();
        EXPECT_EQ(countLines(text, "MSDTCPRX.DLL not init. : -7"), 1) << text;
        EXPECT_EQ(countLines(text, "Morvalen not init. : -7"), 1) << text;
        EXPECT_EQ(dtcdouble::callCount(dtcdouble::kOpen), 0);
    }
    platform::libraryFree(library);
    deinit();
}
