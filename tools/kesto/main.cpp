// kesto: the command-line front end of the KestoUSB library.
#include "verb.h"

#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kesto {

static std::vector<VerbInfo> &registry() {
    static std::vector<VerbInfo> all;
    return all;
}

Verb::Verb(const help::Command &doc, VerbMain main) {
    registry().push_back({doc.name, main});
}

const std::vector<VerbInfo> &verbs() {
    return registry();
}

} // namespace kesto

namespace {

void printHelp(FILE *out) {
    std::fwrite(kesto::help::kHelp.data(), 1, kesto::help::kHelp.size(), out);
}

// "Usage: kesto VERB USAGE" and the verb's text, on stdout; false for an unknown verb.
bool printCommandHelp(std::string_view name) {
    for (const auto &c : kesto::help::kCommands)
        if (c.name == name) {
            std::printf("Usage: kesto %.*s%s%.*s\n\n%.*s", int(c.name.size()), c.name.data(),
                        c.usage.empty() ? "" : " ", int(c.usage.size()), c.usage.data(),
                        int(c.text.size()), c.text.data());
            return true;
        }
    return false;
}

// "--help" among a verb's arguments (before a "--" that makes the rest names) asks for its help.
bool asksForHelp(std::span<const std::string> args) {
    for (const std::string &a : args) {
        if (a == "--")
            return false;
        if (a == "--help")
            return true;
    }
    return false;
}

} // namespace

int main(int argc, char **argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        printHelp(stderr);
        return kesto::kExitUsage;
    }
    const std::string &name = args[0];
    if (name == "--version") {
        std::printf("kesto %.*s\n", int(kesto::help::kVersion.size()),
                    kesto::help::kVersion.data());
        return kesto::kExitOk;
    }
    if (name == "--help" || name == "-h" || name == "help") {
        if (args.size() > 1) {
            if (printCommandHelp(args[1]))
                return kesto::kExitOk;
            std::fprintf(stderr, "kesto: unknown command '%s'\n", args[1].c_str());
            return kesto::kExitUsage;
        }
        printHelp(stdout);
        return kesto::kExitOk;
    }
    const std::span<const std::string> verbArgs = std::span<const std::string>(args).subspan(1);
    for (const auto &v : kesto::verbs())
        if (v.name == name) {
            if (asksForHelp(verbArgs) && printCommandHelp(name))
                return kesto::kExitOk;
            return v.main(verbArgs);
        }
    std::fprintf(stderr, "kesto: unknown command '%s' (see 'kesto --help')\n", name.c_str());
    return kesto::kExitUsage;
}
