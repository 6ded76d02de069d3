// The unit file that install writes: how the executable's path is spelt in
// ExecStart=, which paths are refused, and the bound of removal's stop wait.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "service/Install.h"

namespace {

TEST(UnitFile, ExecStartDoublesPercentAndQuotesOnlyWhenNeeded) {
    EXPECT_EQ(unitExecPath("/usr/sbin/morvalen"), "/usr/sbin/morvalen");
    // '%' would start a specifier; '$' and ';' are plain inside a path.
    EXPECT_EQ(unitExecPath("/opt/100%/m$x;y"), "/opt/100%%/m$x;y");
    EXPECT_EQ(unitExecPath("/opt/my dir/morvalen"), "\"/opt/my dir/morvalen\"");
    EXPECT_EQ(unitExecPath("/opt/a\tb %n"), "\"/opt/a\tb %%n\"");
    // Escaped if they ever get through (install refuses them first).
    EXPECT_EQ(unitExecPath("/a\"b\\c"), "\"/a\\\"b\\\\c\"");
    EXPECT_EQ(unitExecPath("/a\nb"), "\"/a\\x0ab\"");
}

TEST(UnitFile, PathsTheManagerRefusesAreRecognised) {
    EXPECT_TRUE(unitExecPathAccepted("/usr/sbin/morvalen"));
    EXPECT_TRUE(unitExecPathAccepted("/opt/my dir %i $x;`*#{}/\xC3\xA9/morvalen"));
    for (const char* path : {"/a\"b", "/a'b", "/a\\b", "/a\tb", "/a\nb", "/a\x7f" "b"})
        EXPECT_FALSE(unitExecPathAccepted(path)) << path;
}

TEST(UnitFile, UnitNamesTheServiceAndItsOrdering) {
    std::string unit = unitFileContent("/usr/sbin/morvalen");
    for (const char* line : {"[Unit]\n", "Description=Orvanthe\n", "Wants=dtcd.service\n", "After=dtcd.service\n", "[Service]\n",
                             "Type=notify\n", "ExecStart=/usr/sbin/morvalen\n", "StandardOutput=null\n",
                             "Restart=no\n", "[Install]\n", "WantedBy=multi-user.target\n"})
        EXPECT_NE(unit.find(line), std::string::npos) << line;
}

TEST(UnitFile, StopWaitIsTheStopTimeOutPlusAMargin) {
    EXPECT_EQ(stopWaitBoundSeconds(1000000), 6u);
    EXPECT_EQ(stopWaitBoundSeconds(1500000), 7u) << "a part second counts whole";
    EXPECT_EQ(stopWaitBoundSeconds(90000000), 95u);
    // No time-out (0 or infinity) or an absurd one: the manager's default.
    EXPECT_EQ(stopWaitBoundSeconds(0), 95u);
    EXPECT_EQ(stopWaitBoundSeconds(UINT64_MAX), 95u);
    EXPECT_EQ(stopWaitBoundSeconds(7200ULL * 1000000ULL), 95u);
}

}  // namespace
