// The command line: the first argument alone chooses the action.
#pragma once

enum class CommandOption {
    Install,       // "-i", "/i"
    Uninstall,     // "-u", "/u"
    Usage,         // "-?", "/?", "-h", "/h"
    Unrecognized,  // any other text, the empty one included
};

// The action an argument asks for; letters are compared without regard to
// ASCII case. A null argument is unrecognized.
[[nodiscard]] CommandOption parseCommandOption(const char* argument) noexcept;

// The usage text, to standard output.
void printUsage() noexcept;

// Acts on a first argument: install, remove, or the usage text, the last after
// "Unrecognized option: <argument>" and a blank line for an unknown option.
void runCommandOption(const char* argument) noexcept;
