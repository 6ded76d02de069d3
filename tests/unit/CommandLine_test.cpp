// The command line: the option table, and the real executable for the texts
// and the exit code. Nothing here installs or removes anything: the options
// that would are only parsed (the install tests run them in a namespace).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service/CommandLine.h"
#include "support/Process.h"

namespace {

const char* const kUsage =
    "Orvanthe\n"
    "\n"
    "Usage: Morvalen [-Option]\n"
    "\n"
    "Options:\n"
    "\t-i\tInstall NT Service\n"
    "\t-u\tUninstall NT Service\n"
    "\t-? -h\tThis help\n";

TEST(CommandLine, OptionsMatchWithAsciiCaseFoldingAndNothingElse) {
    for (const char* text : {"-i", "/i", "-I", "/I"}) EXPECT_EQ(parseCommandOption(text), CommandOption::Install) << text;
    for (const char* text : {"-u", "/u", "-U", "/U"})
        EXPECT_EQ(parseCommandOption(text), CommandOption::Uninstall) << text;
    for (const char* text : {"-?", "/?", "-h", "/h", "-H", "/H"})
        EXPECT_EQ(parseCommandOption(text), CommandOption::Usage) << text;
    // Prefix-only, doubled, longer, shorter, and look-alike letters outside ASCII.
    for (const char* text : {"", "-", "/", "i", "u", "h", "?", "--i", "-install", "-i ", " -i", "-iu", "\\i",
                             "-\xC4\xB0", "-\xC3\x8D", "-?\n"})
        EXPECT_EQ(parseCommandOption(text), CommandOption::Unrecognized) << text;
    EXPECT_EQ(parseCommandOption(nullptr), CommandOption::Unrecognized);
}

std::string runMorvalen(const std::vector<std::string>& args, int* code) {
    testsupport::ChildProcess child;
    *code = -1;
    if (!testsupport::startProcess(&child, testsupport::binPath("morvalen"), args)) return "<not started>";
    testsupport::ExitStatus status;
    if (!testsupport::waitForExit(&child, 10000, &status)) return "<still running>";
    if (status.exited) *code = status.code;
    return testsupport::readOutput(child);
}

TEST(CommandLine, UsageAndUnrecognizedOptionsPrintExactlyAndExitZero) {
    int code = -1;
    EXPECT_EQ(runMorvalen({"-?"}, &code), kUsage);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(runMorvalen({"/H", "-i"}, &code), kUsage) << "only the first argument counts";
    EXPECT_EQ(code, 0);

    // The unknown first argument is shown unchanged; a later "-i" is ignored.
    EXPECT_EQ(runMorvalen({"x", "-i"}, &code), std::string("Unrecognized option: x\n\n") + kUsage);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(runMorvalen({""}, &code), std::string("Unrecognized option: \n\n") + kUsage);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(runMorvalen({"--i"}, &code), std::string("Unrecognized option: --i\n\n") + kUsage);
    EXPECT_EQ(code, 0);
    // Format directives in the argument are printed, not interpreted.
    EXPECT_EQ(runMorvalen({"%s%n%x"}, &code), std::string("Unrecognized option: %s%n%x\n\n") + kUsage);
    EXPECT_EQ(code, 0);
}

}  // namespace
