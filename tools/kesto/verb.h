// kesto is one small command per verb. Each verb lives in its own cmd_<verb>.cpp and registers
// itself with a static Verb object, so adding a verb touches no other file.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kesto {

// Exit statuses shared by every verb.
enum ExitCode : int {
    kExitOk = 0,
    kExitFailed = 1, // the operation failed (the library's code is printed)
    kExitUsage = 2,  // bad command line
};

using VerbMain = int (*)(std::span<const std::string> args);

struct Verb {
    // Registers the verb; `usage` is the text after "kesto <name>", `help` one paragraph.
    Verb(std::string_view name, std::string_view usage, std::string_view help, VerbMain main);
};

struct VerbInfo {
    std::string_view name, usage, help;
    VerbMain main;
};
const std::vector<VerbInfo> &verbs();

} // namespace kesto
