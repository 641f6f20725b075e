// kesto: the command-line front end of the KestoUSB library.
#include "verb.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace kesto {

static std::vector<VerbInfo> &registry() {
    static std::vector<VerbInfo> all;
    return all;
}

Verb::Verb(std::string_view name, std::string_view usage, std::string_view help, VerbMain main) {
    registry().push_back({name, usage, help, main});
}

const std::vector<VerbInfo> &verbs() {
    return registry();
}

} // namespace kesto

namespace {

void printHelp(FILE *out) {
    auto all = kesto::verbs();
    std::sort(all.begin(), all.end(), [](auto &a, auto &b) { return a.name < b.name; });
    std::fprintf(out,
                 "Usage: kesto <command> [arguments]\n\n"
                 "Talks to the player through the KestoUSB library. The player is searched on\n"
                 "the USB/IP servers named in KESTOUSB_USBIP (host[:port],...) first, then on\n"
                 "the USB bus. Exit status: 0 success, 1 the operation failed, 2 bad usage.\n\n"
                 "Commands:\n");
    for (const auto &v : all)
        std::fprintf(out, "  kesto %.*s %.*s\n", int(v.name.size()), v.name.data(),
                     int(v.usage.size()), v.usage.data());
    std::fprintf(out, "\n'kesto help COMMAND' describes one command.\n");
}

} // namespace

int main(int argc, char **argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        printHelp(stderr);
        return kesto::kExitUsage;
    }
    const std::string &name = args[0];
    if (name == "--help" || name == "-h" || name == "help") {
        if (args.size() > 1) {
            for (const auto &v : kesto::verbs())
                if (v.name == args[1]) {
                    std::printf("Usage: kesto %.*s %.*s\n\n%.*s\n", int(v.name.size()),
                                v.name.data(), int(v.usage.size()), v.usage.data(),
                                int(v.help.size()), v.help.data());
                    return kesto::kExitOk;
                }
            std::fprintf(stderr, "kesto: unknown command '%s'\n", args[1].c_str());
            return kesto::kExitUsage;
        }
        printHelp(stdout);
        return kesto::kExitOk;
    }
    for (const auto &v : kesto::verbs())
        if (v.name == name)
            return v.main(std::span<const std::string>(args).subspan(1));
    std::fprintf(stderr, "kesto: unknown command '%s' (see 'kesto --help')\n", name.c_str());
    return kesto::kExitUsage;
}
