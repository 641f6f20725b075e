// kesto check: the download compatibility check on local MP3 files.
#include "verb.h"

#include "mpegheader.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

using namespace tunara::media;

// The analysis's own refusals go to stderr, so that stdout keeps one line per file.
class StderrSink final : public MessageSink {
public:
    void showMessage(MessageIcon, std::string_view, std::string_view text) override {
        std::fprintf(stderr, "%.*s\n", int(text.size()), text.data());
    }
};

void printLine(const MpegCheck &check, const std::string &path, bool verbose) {
    std::printf("%d\t%s", static_cast<int>(check.code), path.c_str());
    if (verbose) {
        if (!check.opened) {
            std::printf("\tnot examined: cannot open");
        } else if (!check.examined) {
            std::printf("\tnot examined: fewer than 10 bytes");
        } else if (!check.headerOffset) {
            std::printf("\tno confirmed frame header from byte %llu",
                        static_cast<unsigned long long>(check.searchStart));
        } else {
            // The description without its leading path: version, layer, sample rate, bit rate.
            const std::string_view d = check.description;
            const auto afterPath = d.find("\n\n");
            std::string rest(afterPath == std::string_view::npos ? d : d.substr(afterPath + 2));
            for (char &c : rest)
                c = c == '\n' ? '\t' : c;
            std::printf("\t%s\theader at byte %llu", rest.c_str(),
                        static_cast<unsigned long long>(*check.headerOffset));
        }
    }
    std::printf("\n");
}

int checkMain(std::span<const std::string> args) {
    bool verbose = false;
    bool optionsDone = false;
    std::vector<std::string> files;
    for (const auto &a : args) {
        if (!optionsDone && (a == "--verbose" || a == "-v")) {
            verbose = true;
        } else if (!optionsDone && a == "--") {
            optionsDone = true;
        } else if (!optionsDone && a.size() > 1 && a[0] == '-') {
            std::fprintf(stderr, "kesto check: unknown option '%s'\n", a.c_str());
            return kesto::kExitUsage;
        } else {
            files.push_back(a);
        }
    }
    if (files.empty()) {
        std::fprintf(stderr, "kesto check: no file given (see 'kesto help check')\n");
        return kesto::kExitUsage;
    }
    StderrSink sink;
    bool allPassed = true;
    for (const auto &path : files) {
        errno = 0;
        const MpegCheck check = CheckMpegHeader(path, sink);
        if (!check.opened) {
            // The analysis lets an unreadable file through; a check from the command line must
            // not call it passed.
            std::fprintf(stderr, "kesto check: cannot open '%s': %s\n", path.c_str(),
                         std::strerror(errno != 0 ? errno : ENOENT));
            allPassed = false;
        }
        if (check.code != MpegCheckCode::Accepted)
            allPassed = false;
        printLine(check, path, verbose);
    }
    std::fflush(stdout);
    return allPassed ? kesto::kExitOk : kesto::kExitFailed;
}

const kesto::Verb checkVerb(kesto::help::command("check"), checkMain);

} // namespace
