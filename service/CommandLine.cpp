// The command line of the executable: options "-i", "-u", "-?", "-h", also
// with "/", in any letter case.
#include "service/CommandLine.h"

#include <cstdio>

#include "service/Install.h"

namespace {

char foldAscii(char c) noexcept { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Both texts equal once ASCII letters are folded to lower case; other bytes
// (those of UTF-8 letters included) must match exactly.
bool equalsFolded(const char* argument, const char* option) noexcept {
    for (; *argument != '\0' && *option != '\0'; ++argument, ++option) {
        if (foldAscii(*argument) != foldAscii(*option)) return false;
    }
    return *argument == '\0' && *option == '\0';
}

}  // namespace

CommandOption parseCommandOption(const char* argument) noexcept {
    if (argument == nullptr) return CommandOption::Unrecognized;
    struct Entry {
        const char* text;
        CommandOption option;
    };
    static constexpr Entry kOptions[] = {
        {"-i", CommandOption::Install},   {"/i", CommandOption::Install}, {"-u", CommandOption::Uninstall},
        {"/u", CommandOption::Uninstall}, {"-?", CommandOption::Usage},   {"/?", CommandOption::Usage},
        {"-h", CommandOption::Usage},     {"/h", CommandOption::Usage},
    };
    for (const Entry& entry : kOptions) {
        if (equalsFolded(argument, entry.text)) return entry.option;
    }
    return CommandOption::Unrecognized;
}

void printUsage() noexcept {
    std::printf("Orvanthe\n");
    std::printf("\n");
    std::printf("Usage: Morvalen [-Option]\n");
    std::printf("\n");
    std::printf("Options:\n");
    std::printf("\t-i\tInstall NT Service\n");
    std::printf("\t-u\tUninstall NT Service\n");
    std::printf("\t-? -h\tThis help\n");
}

void runCommandOption(const char* argument) noexcept {
    switch (parseCommandOption(argument)) {
        case CommandOption::Install:
            installService();
            break;
        case CommandOption::Uninstall:
            uninstallService();
            break;
        case CommandOption::Usage:
            printUsage();
            break;
        case CommandOption::Unrecognized:
            std::printf("Unrecognized option: %s\n\n", argument == nullptr ? "" : argument);
            printUsage();
            break;
    }
    std::fflush(stdout);
}
