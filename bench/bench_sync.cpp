// The sync plan of a large library, in one run: 10,000 small FLAC files (copies of one, each a
// file of its own) in 1,000 album folders, planned against a full player (a hundred files of
// forty-character names and little room): the selection (folder scan), the plan's albums
// (metadata read, or taken from the cache), the ordered fit and a fill. The first plan reads
// every source; the second finds their information in the metadata cache (goal: at most 2 s).
// Then the whole plan (planSync) twice more: against the full player, and after the player took
// what the plan sent, a sync with nothing to do (goal: at most 1 s).
// Not run by the tests: `build/.../bin/bench_sync [FOLDER]` (needs sox; FOLDER defaults to a
// fresh folder under $TMPDIR, removed at the end).
#include "fill.h"
#include "fit.h"
#include "metadatacache.h"
#include "planalbums.h"
#include "selection.h"
#include "syncplan.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace tunara::sync;
using Clock = std::chrono::steady_clock;

constexpr int kAlbums = 1000;
constexpr int kTracksPerAlbum = 10;
constexpr double kGoalSeconds = 2.0;
constexpr double kNoopGoalSeconds = 1.0;

double seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

bool makeLibrary(const fs::path &root) {
    const fs::path tone = root / "tone.flac";
    const std::string command = std::string(TUNARA_SOX) + " -n -r 44100 -c 2 '" + tone.string() +
                                "' synth 0.2 sine 440 vol 0.5";
    if (std::system(command.c_str()) != 0)
        return false;
    std::error_code ec;
    for (int a = 0; a < kAlbums; ++a) {
        const fs::path folder = root / "library" / ("Artist " + std::to_string(a % 97)) /
                                ("Album number " + std::to_string(a));
        fs::create_directories(folder, ec);
        for (int t = 1; t <= kTracksPerAlbum; ++t) {
            fs::copy_file(tone, folder / (std::to_string(t) + " A song title of some length.flac"),
                          ec);
            if (ec)
                return false;
        }
    }
    return true;
}

struct Round {
    double select = 0, albums = 0, fit = 0, fill = 0;
    std::size_t files = 0, probed = 0, fitted = 0;
    double total() const { return select + albums + fit + fill; }
};

Round plan(const fs::path &root, MetadataCache &cache, const Room &room,
           const std::vector<std::string> &present) {
    Round r;
    auto start = Clock::now();
    const Selection selection = selectionOf({(root / "library").string()}, cache.trackNumbers());
    r.select = seconds(start);
    start = Clock::now();
    const PlannedAlbums planned = planAlbums(selection, present, PlanSettings{}, cache);
    r.albums = seconds(start);
    for (const PlanAlbum &a : planned.albums)
        r.files += a.tracks.size();
    r.probed = planned.probed;
    start = Clock::now();
    const FitResult fit = fitAlbums(planned.albums, room, FitMode::StopAtFirst);
    r.fit = seconds(start);
    r.fitted = fit.files;
    start = Clock::now();
    const FillResult fill = fillAlbums(planned.albums, room, 2026, {}, 0);
    r.fill = seconds(start);
    return r;
}

void print(const char *name, const Round &r) {
    std::printf("%-6s plan: %6.2f s (selection %5.2f s, albums %5.2f s, fit %5.3f s, fill %5.3f "
                "s); %zu files, %zu sources read, %zu fit\n",
                name, r.total(), r.select, r.albums, r.fit, r.fill, r.files, r.probed, r.fitted);
}

} // namespace

int main(int argc, char **argv) {
    const bool own = argc < 2;
    const char *tmp = std::getenv("TMPDIR");
    const fs::path root =
        own ? fs::path(tmp != nullptr ? tmp : "/tmp") / ("bench_sync_" + std::to_string(::getpid()))
            : fs::path(argv[1]);
    std::error_code ec;
    fs::create_directories(root, ec);
    auto start = Clock::now();
    if (!fs::exists(root / "library") && !makeLibrary(root)) {
        std::fprintf(stderr, "bench_sync: the library cannot be made in %s\n", root.c_str());
        return 1;
    }
    std::printf("library: %d files in %d folders, made in %.1f s\n", kAlbums * kTracksPerAlbum,
                kAlbums, seconds(start));

    // A full player: a hundred files of forty-character names and 2 MB free.
    std::vector<std::string> present;
    for (int i = 0; i < 100; ++i) {
        std::string name = std::to_string(i) + " ";
        name.resize(36, 'x');
        present.push_back(name + ".mp3");
    }
    const Room room = Room::of(2'000'000, present);
    fs::remove_all(root / "metadata", ec);
    MetadataCache cache((root / "metadata").string());
    const Round cold = plan(root, cache, room, present);
    print("first", cold);
    const Round warm = plan(root, cache, room, present);
    print("second", warm);
    // What the folder scan costs besides its track-number probe: the walk and a stat per file.
    start = Clock::now();
    std::size_t walked = 0;
    for (const auto &e : fs::recursive_directory_iterator(root / "library", ec))
        walked += e.is_regular_file(ec) && fs::file_size(e.path(), ec) > 0 ? 1 : 0;
    std::printf("the walk alone (no tag read): %.2f s for %zu files\n", seconds(start), walked);
    std::printf("second plan %.2f s against the goal of %.1f s: %s\n", warm.total(), kGoalSeconds,
                warm.total() <= kGoalSeconds ? "met" : "NOT met");

    // The whole plan against the full player, then against the player holding what it sent.
    PlayerState state;
    state.totalBytes = 64u << 20;
    state.freeBytes = room.freeBytes;
    // Sixty files of forty-character names: room for some albums in bytes and in records.
    for (std::size_t i = 0; i < 60; ++i)
        state.files.push_back({present[i], 20000, 0x5021, 0});
    SyncSettings settings;
    start = Clock::now();
    const Selection selection = selectionOf({(root / "library").string()}, cache.trackNumbers());
    const SyncPlan full = planSync(selection, state, settings, cache);
    const double fullSeconds = seconds(start);
    std::printf("sync plan against the full player: %.2f s; %zu to send, %zu did not fit\n",
                fullSeconds, full.counts.send, full.counts.didNotFit);
    for (const SyncItem &item : full.items) {
        if (item.action != Action::Send)
            continue;
        fs::path source(item.source);
        const auto mtime = fs::last_write_time(source, ec);
        const auto secondsSinceEpoch = std::chrono::duration_cast<std::chrono::seconds>(
            std::chrono::file_clock::to_sys(mtime).time_since_epoch());
        const auto [date, time] = dosStamp(secondsSinceEpoch.count());
        state.files.push_back({item.playerName, item.bytes, date, time});
        state.freeBytes -= std::min(state.freeBytes, occupiedBytes(item.bytes, 512));
    }
    start = Clock::now();
    const Selection again = selectionOf({(root / "library").string()}, cache.trackNumbers());
    const SyncPlan noop = planSync(again, state, settings, cache);
    const double noopSeconds = seconds(start);
    std::printf("sync with nothing to do: %.2f s (%zu kept, %zu to send) against the goal of "
                "%.1f s: %s\n",
                noopSeconds, noop.counts.keep, noop.counts.send, kNoopGoalSeconds,
                noopSeconds <= kNoopGoalSeconds && noop.counts.send == 0 ? "met" : "NOT met");
    if (own)
        fs::remove_all(root, ec);
    return warm.total() <= kGoalSeconds && warm.probed == 0 && noopSeconds <= kNoopGoalSeconds &&
                   noop.counts.send == 0
               ? 0
               : 1;
}
