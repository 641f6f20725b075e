// The soak: random operations through the library against the virtual player with random
// faults armed, and after every step the invariants: nothing crashes or hangs; what the
// library reported as done is true on the player's image (read back with mtools, byte for
// byte); a failed copy to the PC left no file there; fsck.fat finds both images clean; once the
// fault is cleared the library's next call works. SOAK_SEED and SOAK_OPS choose the run (the
// ctest form is a few dozen operations; scripts/soak.sh runs a thousand); a seed reproduces it.
#include "KestoUSB.h"
#include "library_state.h"
#include "notices.h"
#include "usbip_backend.h"
#include "vplayer_process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <regex>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using kestousb::test::Notices;
using kestousb::test::runProcess;
using kestousb::test::VplayerProcess;

namespace {

constexpr size_t kMaxFileBytes = 4u << 20;

// One file as the image holds it, in directory (play) order.
struct ImageFile {
    std::string shortName; // "BASE.EXT"
    std::string longName;  // empty without one
    bool operator==(const ImageFile &) const = default;
};

std::vector<std::string> mtoolsEnv() {
    return {"MTOOLS_SKIP_CHECK=1", "LC_ALL=C.UTF-8"};
}

// The root directory with mtools, the image's independent reader.
std::optional<std::vector<ImageFile>> listImage(const fs::path &image) {
    const auto r = runProcess({MDIR_PROGRAM, "-a", "-i", image.string(), "::"}, mtoolsEnv());
    if (r.exitCode != 0 && r.out.find("No files") == std::string::npos)
        return std::nullopt;
    static const std::regex line(
        R"(^(.{8}) (.{3}) +[0-9 ]+ \d{4}-\d{2}-\d{2} +\d+:\d+(?:  (.*))?$)");
    std::vector<ImageFile> files;
    size_t start = 0;
    while (start < r.out.size()) {
        size_t end = r.out.find('\n', start);
        if (end == std::string::npos)
            end = r.out.size();
        const std::string text = r.out.substr(start, end - start);
        start = end + 1;
        std::smatch m;
        if (!std::regex_match(text, m, line))
            continue;
        auto trim = [](std::string s) {
            while (!s.empty() && s.back() == ' ')
                s.pop_back();
            return s;
        };
        ImageFile f{trim(m[1]) + "." + trim(m[2]), m[3].matched ? std::string(m[3]) : ""};
        files.push_back(f);
    }
    return files;
}

std::optional<std::string> readImageFile(const fs::path &image, const std::string &shortName,
                                         const fs::path &scratch) {
    fs::remove(scratch);
    const auto r =
        runProcess({MCOPY_PROGRAM, "-n", "-i", image.string(), "::" + shortName, scratch.string()},
                   mtoolsEnv());
    if (r.exitCode != 0)
        return std::nullopt;
    std::ifstream in(scratch, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string readPcFile(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool fsckClean(const fs::path &image) {
    return runProcess({FSCK_PROGRAM, "-n", image.string()}).exitCode == 0;
}

// The table the library holds for a memory after a refresh.
std::vector<KSUSB_TFileEntry> libraryTable(unsigned char mem) {
    static KSUSB_TOpenTable table;
    GetFileInfo(mem, &table);
    return {table.entries, table.entries + table.count};
}

struct Counts {
    std::map<std::string, int> done, failed;
    int faults = 0;
};

class Soak {
public:
    Soak(VplayerProcess &player, uint64_t seed, fs::path pc)
        : m_player(player), m_rng(seed), m_pc(std::move(pc)) {
        fs::create_directories(m_pc / "src");
        fs::create_directories(m_pc / "dst");
    }

    Counts counts;

    // One random step with its checks; false (and a message) when an invariant broke.
    bool step(int index, std::string &why) {
        const unsigned char mem = pick(4) == 0 ? KSUSB_MEM_CARD : KSUSB_MEM_FLASH;
        const fs::path image =
            fs::path(m_player.stateDir()) / (mem == 'M' ? "flash.img" : "card.img");
        auto before = listImage(image);
        if (!before)
            return fail(why, "mdir could not read " + image.string());
        if (KSUSB_RefreshMemory(mem) == 0 && KSUSB_RefreshMemory(mem) == 0)
            return fail(why, "refresh before the step failed: " +
                                 std::string(KSUSB_ErrorName(KSUSB_GetLastError())));
        const auto table = libraryTable(mem);

        std::string fault;
        if (pick(10) < 3)
            fault = armFault();
        const int choice = pick(100);
        std::string op;
        bool ok = false;
        std::string err;
        const fs::path dst = m_pc / "dst" / ("get-" + std::to_string(index) + ".bin");
        std::string expected; // content a done put or get must show
        std::string name;     // the file the step is about
        size_t position = 0;
        if (choice < 30 || table.empty()) {
            op = "put";
            name = randomName(255 - (m_pc / "src").string().size() - 1);
            const size_t size = pick(8) == 0 ? 0 : size_t(pick(int(kMaxFileBytes)) + 1);
            expected = randomBytes(size);
            const fs::path src = m_pc / "src" / name;
            std::ofstream(src, std::ios::binary).write(expected.data(), std::streamsize(size));
            ok = transfer(KSUSB_Download(mem, src.c_str(), &m_notices, 65536), err);
            fs::remove(src);
        } else {
            const KSUSB_TFileEntry &e = table[size_t(pick(int(table.size())))];
            name = e.name;
            if (choice < 50) {
                op = "get";
                ok = transfer(KSUSB_Upload(mem, e.name, dst.c_str(), &m_notices, 65536), err);
            } else if (choice < 62) {
                op = "rm";
                ok = KSUSB_DeleteFileInMemory(mem, e.name) != 0;
            } else if (choice < 74) {
                op = "mv";
                std::string fresh = randomName(255);
                std::vector<char> buffer(fresh.begin(), fresh.end());
                buffer.push_back('\0');
                ok = KSUSB_RenameInMemory(mem, e.name, buffer.data()) != 0;
                expected = fresh;
            } else if (choice < 82) {
                op = "mv83";
                std::string fresh = "R" + std::to_string(index % 100000) + ".MP3";
                std::vector<char> buffer(fresh.begin(), fresh.end());
                buffer.push_back('\0');
                ok = KSUSB_RenameInMemory83(mem, e.name, buffer.data()) != 0;
            } else if (choice < 92) {
                op = "order";
                position = size_t(pick(int(table.size())) + 1);
                ok = KSUSB_ReplaceInMemory(mem, e.name, static_cast<unsigned char>(position)) != 0;
            } else if (choice < 94) {
                op = "format";
                ok = KSUSB_FormatMemory(mem) != 0;
            } else {
                op = "refresh";
                ok = KSUSB_RefreshMemory(mem) != 0;
            }
        }
        if (!ok && err.empty())
            err = KSUSB_ErrorName(KSUSB_GetLastError());
        (ok ? counts.done : counts.failed)[op]++;
        const std::string what = "step " + std::to_string(index) + " " + op + " '" + name +
                                 "' on " + char(mem) + (fault.empty() ? "" : " with " + fault) +
                                 (ok ? ": done" : ": failed " + err);
        if (std::getenv("SOAK_VERBOSE")) {
            std::printf("%s\n", what.c_str());
            std::fflush(stdout);
        }
        if (!clearFaults())
            return fail(why, what + "; the player did not take the clearing commands");

        // The library recovers: the next call works (a card that went and came back is told
        // once as "card changed" first).
        if (KSUSB_RefreshMemory(mem) == 0) {
            const int code = KSUSB_GetLastError();
            if (code != KSUSB_ERR_CARD_CHANGED || KSUSB_RefreshMemory(mem) == 0)
                return fail(why, what + "; no recovery: " + KSUSB_ErrorName(KSUSB_GetLastError()));
        }
        const auto after = listImage(image);
        if (!after)
            return fail(why, what + "; mdir could not read the image");
        if (!fsckClean(fs::path(m_player.stateDir()) / "flash.img") ||
            !fsckClean(fs::path(m_player.stateDir()) / "card.img"))
            return fail(why, what + "; fsck.fat -n finds an image damaged");
        if (op == "get" && !ok) {
            for (const auto &f : fs::directory_iterator(m_pc / "dst"))
                return fail(why, what + "; left " + f.path().filename().string() + " on the PC");
        }
        if (!ok)
            return true;
        return checkDone(op, mem, image, *before, *after, name, expected, position, dst, what, why);
    }

private:
    bool checkDone(const std::string &op, unsigned char mem, const fs::path &image,
                   const std::vector<ImageFile> &before, const std::vector<ImageFile> &after,
                   const std::string &name, const std::string &expected, size_t position,
                   const fs::path &dst, const std::string &what, std::string &why) {
        const fs::path scratch = m_pc / "scratch.bin";
        auto named = [&](const std::vector<ImageFile> &files, const std::string &n) {
            return std::find_if(files.begin(), files.end(), [&](const ImageFile &f) {
                return (f.longName.empty() ? f.shortName : f.longName) == n;
            });
        };
        if (op == "put") {
            std::vector<ImageFile> added;
            for (const ImageFile &f : after)
                if (std::find(before.begin(), before.end(), f) == before.end())
                    added.push_back(f);
            if (added.size() != 1 || after.size() != before.size() + 1)
                return fail(why, what + "; the image does not show exactly one new file");
            const auto content = readImageFile(image, added[0].shortName, scratch);
            if (!content || *content != expected)
                return fail(why, what + "; the file's bytes on the image differ");
        } else if (op == "get") {
            const auto it = named(before, name);
            const auto content =
                it == before.end() ? std::nullopt : readImageFile(image, it->shortName, scratch);
            if (!content || readPcFile(dst) != *content)
                return fail(why, what + "; the PC copy differs from the image");
            fs::remove(dst);
        } else if (op == "rm") {
            if (named(after, name) != after.end() || after.size() + 1 != before.size())
                return fail(why, what + "; the file is still on the image");
        } else if (op == "mv" || op == "mv83") {
            if (after.size() != before.size() || named(after, name) != after.end())
                return fail(why, what + "; the old name is still on the image");
            if (op == "mv") {
                // The player's long name is the new name cut to 80 bytes with its extension.
                const bool found = std::any_of(after.begin(), after.end(), [&](const ImageFile &f) {
                    return !f.longName.empty() && expected.rfind(f.longName.substr(0, 4), 0) == 0;
                });
                if (!found)
                    return fail(why, what + "; no file under the new name");
            }
        } else if (op == "order") {
            const size_t want = std::min(position, after.size()) - 1;
            const auto it = named(after, name);
            if (it == after.end() || size_t(it - after.begin()) != want)
                return fail(why,
                            what + "; the file is not at position " + std::to_string(position));
        } else if (op == "format") {
            if (!after.empty())
                return fail(why, what + "; the memory is not empty");
        } else if (op == "refresh") {
            const auto table = libraryTable(mem);
            if (table.size() != after.size())
                return fail(why, what + "; the table and the image list different counts");
            for (size_t i = 0; i < table.size(); ++i)
                if (table[i].name83 != after[i].shortName)
                    return fail(why, what + "; entry " + std::to_string(i) + " differs");
        }
        return true;
    }

    int pick(int n) { return int(std::uniform_int_distribution<int>(0, n - 1)(m_rng)); }

    std::string randomBytes(size_t size) {
        std::string s(size, '\0');
        for (size_t i = 0; i < size; i += 8) {
            const uint64_t v = m_rng();
            for (size_t k = 0; k < 8 && i + k < size; ++k)
                s[i + k] = char(v >> (8 * k));
        }
        return s;
    }

    // Hangul, accented, plain, an 80-byte and a 255-byte name (or the longest that `room`
    // allows: the library takes PC paths of up to 255 bytes); unique by a running number.
    std::string randomName(size_t room) {
        const std::string n = std::to_string(++m_names);
        switch (pick(5)) {
        case 0:
            return "노래 " + n + " 한글.mp3";
        case 1:
            return "Café déjà vu " + n + ".mp3";
        case 2:
            return "t" + n + ".wav";
        case 3: {
            std::string s = "long " + n + " ";
            s += std::string(80 - 4 - s.size(), 'x');
            return s + ".mp3";
        }
        default: {
            std::string s = "longest " + n + " ";
            s += std::string(std::min<size_t>(255, room) - 4 - s.size(), 'y');
            return s + ".mp3";
        }
        }
    }

    bool ctl(const std::vector<std::string> &args) { return m_player.ctl(args) == 0; }

    std::string armFault() {
        ++counts.faults;
        static const char *const names[] = {"drop-reply",   "short-reply", "stall",
                                            "pipe-error",   "drop-stream", "short-block",
                                            "unplug-after", "busy",        "card-out"};
        const std::string f = names[pick(9)];
        if (f == "busy")
            ctl({"busy", "on"});
        else if (f == "card-out")
            ctl({"card", "out"});
        else if (f == "drop-stream" || f == "unplug-after")
            ctl({"fault", f, std::to_string(pick(int(kMaxFileBytes)))});
        else
            ctl({"fault", f});
        return f;
    }

    bool clearFaults() {
        return ctl({"fault", "clear"}) && ctl({"busy", "off"}) && ctl({"card", "in"}) &&
               ctl({"plug"});
    }

    static bool fail(std::string &why, std::string text) {
        why = std::move(text);
        return false;
    }

    bool transfer(int started, std::string &err) {
        if (!started)
            return false;
        const auto end = m_notices.end(std::chrono::seconds(120));
        if (!end) {
            err = "no end within 120 s (hang)";
            KSUSB_Stop();
            m_notices.end(std::chrono::seconds(30));
            return false;
        }
        if (end->first == 4)
            err = KSUSB_ErrorName(int(end->second));
        return end->first == 3;
    }

    VplayerProcess &m_player;
    std::mt19937_64 m_rng;
    fs::path m_pc;
    Notices m_notices;
    int m_names = 0;
};

uint64_t envNumber(const char *name, uint64_t fallback) {
    const char *v = std::getenv(name);
    return v && *v ? std::strtoull(v, nullptr, 10) : fallback;
}

TEST(Soak, RandomOperationsUnderFaults) {
    const uint64_t seed = envNumber("SOAK_SEED", 1);
    const int ops = int(envNumber("SOAK_OPS", 40));
    VplayerProcess player{VPLAYER_PROGRAM};
    ASSERT_TRUE(player.started());
    ::setenv("KESTOUSB_USBIP", player.address().c_str(), 1);
    // A stalled or dropped transfer gives up after 3 s rather than the usual 30 s.
    kestousb::resetLibraryForTesting(
        {.usbipLimits = {std::chrono::milliseconds(1000), std::chrono::milliseconds(1000),
                         std::chrono::milliseconds(3000)}});
    const fs::path pc = fs::temp_directory_path() / ("soak-" + std::to_string(::getpid()));
    Soak soak(player, seed, pc);
    std::string why;
    int stepsDone = 0;
    for (int i = 0; i < ops; ++i, ++stepsDone)
        if (!soak.step(i, why))
            break;
    std::printf("soak seed %llu: %d of %d steps, %d faults armed\n",
                static_cast<unsigned long long>(seed), stepsDone, ops, soak.counts.faults);
    for (const auto &[op, n] : soak.counts.done)
        std::printf("  %-8s done %d, failed %d\n", op.c_str(), n, soak.counts.failed[op]);
    for (const auto &[op, n] : soak.counts.failed)
        if (!soak.counts.done.count(op))
            std::printf("  %-8s done 0, failed %d\n", op.c_str(), n);
    fs::remove_all(pc);
    ::unsetenv("KESTOUSB_USBIP");
    kestousb::resetLibraryForTesting();
    EXPECT_TRUE(why.empty()) << "seed " << seed << ": " << why;
}

} // namespace
