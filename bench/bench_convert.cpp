// Conversion speed, in one run on one machine: one file converted by the engine against the
// ffmpeg command line with the same settings (goal: at most 1.05 of it); twenty files on every
// core against one worker (goal: at most 0.6 with two cores); twenty FLAC files sent by
// `kesto put` to the virtual player on the high-speed link, against the larger of the
// conversion time and the transfer time of the converted bytes (goal: at most 1.1).
// Not run by the tests: `build/.../bin/bench_convert` (needs sox, ffmpeg, kesto, tunara-vplayer).
#include "conversioncache.h"
#include "conversionqueue.h"
#include "converter.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace tunara::media;
using Clock = std::chrono::steady_clock;

constexpr int kRepeats = 3;
constexpr int kFolderFiles = 20;

bool shell(const std::string &command) {
    return std::system(command.c_str()) == 0;
}

double seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Music-like noise rather than a pure tone, so that the encoder works as hard as on music.
bool makeFlac(const std::string &path, int secondsLong) {
    return shell(std::string(TUNARA_SOX) + " -n -r 44100 -c 2 -b 16 '" + path + "' synth " +
                 std::to_string(secondsLong) + " pinknoise vol 0.3 2>/dev/null");
}

double convertFolder(const std::vector<std::string> &files, const std::string &cacheDir,
                     unsigned workers) {
    fs::remove_all(cacheDir);
    ConversionCache cache(cacheDir);
    const auto start = Clock::now();
    ConversionQueue queue(cache, ConvertSettings{}, workers);
    for (const auto &f : files)
        queue.add(f);
    for (size_t i = 0; i < files.size(); ++i) {
        const ConversionResult r = queue.wait(i);
        if (std::holds_alternative<ConvertFailure>(r)) {
            std::fprintf(stderr, "%s\n", std::get<ConvertFailure>(r).message.c_str());
            std::exit(1);
        }
        queue.release(r);
    }
    return seconds(start);
}

struct Player {
    pid_t pid = -1;
    std::string address;
    Player(const std::string &state) {
        fs::remove_all(state);
        fs::create_directories(state);
        std::ofstream(state + "/player.ini") << "[Player]\nModel=LUMA\nFlashBytes=134217728\n";
        pid = fork();
        if (pid == 0) {
            execl(TUNARA_VPLAYER, TUNARA_VPLAYER, "--state", state.c_str(), "--listen",
                  "127.0.0.1:0", static_cast<char *>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 100 && address.empty(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            std::ifstream(state + "/vplayer.addr") >> address;
        }
        shell(std::string(TUNARA_VPLAYER) + " ctl --state '" + state + "' speed high");
    }
    ~Player() {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
};

double kestoPut(const Player &p, const std::string &cache, const std::string &args) {
    const auto start = Clock::now();
    if (!shell("KESTOUSB_USBIP=" + p.address + " XDG_CACHE_HOME='" + cache + "' " + TUNARA_KESTO +
               " put -m M " + args + " >/dev/null")) {
        std::fprintf(stderr, "kesto put failed\n");
        std::exit(1);
    }
    return seconds(start);
}

} // namespace

int main() {
    const fs::path dir = fs::temp_directory_path() / ("bench_convert_" + std::to_string(getpid()));
    fs::create_directories(dir / "folder");
    const std::string one = (dir / "one.flac").string();
    if (!makeFlac(one, 120))
        return 1;
    std::vector<std::string> files;
    for (int i = 0; i < kFolderFiles; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "%02d track.flac", i + 1);
        files.push_back((dir / "folder" / name).string());
        if (!makeFlac(files.back(), 20))
            return 1;
    }

    // One file, ours against the ffmpeg command line, alternating.
    std::vector<double> ours, theirs;
    for (int r = 0; r < kRepeats; ++r) {
        const std::string out = (dir / "ours.mp3").string();
        fs::remove(out);
        auto start = Clock::now();
        if (auto failure = convertFile(one, out, ConvertSettings{}, {}, nullptr)) {
            std::fprintf(stderr, "%s\n", failure->message.c_str());
            return 1;
        }
        ours.push_back(seconds(start));
        start = Clock::now();
        if (!shell(std::string(TUNARA_FFMPEG) + " -nostdin -v error -y -threads 1 -i '" + one +
                   "' -map 0:a -c:a libmp3lame -b:a 192k -ar 44100 -ac 2 '" +
                   (dir / "theirs.mp3").string() + "'"))
            return 1;
        theirs.push_back(seconds(start));
    }
    const double oneOurs = median(ours), oneTheirs = median(theirs);
    std::printf("one 120 s FLAC, 192 kbit/s CBR: engine %.3f s, ffmpeg %.3f s, ratio %.3f "
                "(goal <= 1.05)\n",
                oneOurs, oneTheirs, oneOurs / oneTheirs);

    const std::string cache = (dir / "cache").string();
    const double serial = convertFolder(files, cache, 1);
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    const double parallel = convertFolder(files, cache, cores);
    std::printf("%d x 20 s FLAC: one worker %.3f s, %u workers %.3f s, ratio %.3f (goal <= 0.6 "
                "with two cores)\n",
                kFolderFiles, serial, cores, parallel, parallel / serial);

    // The converted bytes alone over the link, then the whole put with an empty cache.
    double transfer = 0;
    {
        Player p((dir / "state1").string());
        transfer = kestoPut(p, cache, "--no-convert '" + cache + "'");
    }
    double total = 0;
    {
        Player p((dir / "state2").string());
        total = kestoPut(p, (dir / "cache2").string(), "'" + (dir / "folder").string() + "'");
    }
    const double bound = std::max(parallel, transfer);
    std::printf("%d FLAC files to the virtual player (high link): put %.3f s, conversion %.3f s, "
                "transfer of the converted bytes %.3f s, ratio %.3f (goal <= 1.1)\n",
                kFolderFiles, total, parallel, transfer, total / bound);
    fs::remove_all(dir);
    return 0;
}
