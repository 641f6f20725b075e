// kesto is one small command per verb. Each verb lives in its own cmd_<verb>.cpp and registers
// itself with a static Verb object; its usage line and help text live in kesto.help, from which
// the build makes both `kesto help VERB` and the manual page.
#pragma once

#include "kesto_help.h"

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kesto {

// Exit statuses shared by every verb.
enum ExitCode : int {
    kExitOk = 0,
    kExitFailed = 1,        // the operation failed (the library's code is printed)
    kExitUsage = 2,         // bad command line
    kExitInterrupted = 130, // Ctrl-C ended the run (128 + SIGINT, as a shell reports it)
};

using VerbMain = int (*)(std::span<const std::string> args);

struct Verb {
    // Registers the verb `doc.name` (help::command("name"), which fails to compile for a verb
    // that kesto.help does not describe).
    Verb(const help::Command &doc, VerbMain main);
};

struct VerbInfo {
    std::string_view name;
    VerbMain main;
};
const std::vector<VerbInfo> &verbs();

} // namespace kesto
