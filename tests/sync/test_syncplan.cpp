#include "syncplan.h"

#include "convertfixture.h"
#include "playerformat.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include <fcntl.h>
#include <sys/stat.h>

namespace {

using namespace tunara::sync;
namespace fs = std::filesystem;

constexpr std::int64_t kBase = 1'614'834'366; // 2021-03-04, an even second
constexpr std::uint64_t kMiB = 1 << 20;

struct PlayerRow {
    std::string name;
    std::uint64_t size;
    std::string sameTimeAs; // the library file whose time it has, or "" for another time
};

struct PlanRow {
    const char *name;
    std::vector<std::pair<std::string, std::uint64_t>> library; // path in the library, bytes
    std::vector<PlayerRow> player;
    std::uint64_t freeBytes = kMiB; // of a 1 MiB memory: 512-byte clusters, 512 records
    void (*tweak)(SyncSettings &, PlayerState &) = nullptr;
    // Per item: action letter (D delete, S send, R replace, K keep, N did not fit, X refused),
    // ':' and the player name; items apart by '|'.
    std::string items;
    std::vector<std::string> order = {};
};

std::string itemsText(const SyncPlan &plan) {
    std::string text;
    for (const SyncItem &i : plan.items) {
        static constexpr char kLetters[] = {'S', 'R', 'K', 'D', 'N', 'X'};
        text += (text.empty() ? "" : "|") + std::string(1, kLetters[int(i.action)]) + ":" +
                i.playerName;
    }
    return text;
}

class SyncPlanTest : public ::testing::TestWithParam<PlanRow> {
protected:
    // The library's files, each modified 10 s after the one before; a .flac is a real tone.
    std::map<std::string, std::int64_t> makeLibrary(const PlanRow &r) {
        std::map<std::string, std::int64_t> times;
        std::int64_t t = kBase;
        for (const auto &[path, bytes] : r.library) {
            const std::string file = dir.file("lib/" + path);
            fs::create_directories(fs::path(file).parent_path());
            if (path.ends_with(".flac"))
                mediatest::makeTone(file, 1.0);
            else
                mediatest::writeFile(file, mediatest::Bytes(bytes, std::uint8_t(t)));
            t += 10;
            const timespec stamp[2] = {{t, 0}, {t, 0}};
            EXPECT_EQ(utimensat(AT_FDCWD, file.c_str(), stamp, 0), 0);
            times[path] = t;
        }
        return times;
    }

    mediatest::TempDir dir;
};

TEST_P(SyncPlanTest, NamesActionsAndOrder) {
    const PlanRow &r = GetParam();
    const auto times = makeLibrary(r);
    PlayerState state;
    state.totalBytes = kMiB;
    state.freeBytes = r.freeBytes;
    for (const PlayerRow &p : r.player) {
        const auto [date, time] =
            dosStamp(p.sameTimeAs.empty() ? kBase - 86400 : times.at(p.sameTimeAs));
        state.files.push_back({p.name, p.size, date, time});
    }
    SyncSettings settings;
    settings.plan.model = tunara::media::ModelQn520; // plays every MP3: none is opened
    if (r.tweak != nullptr)
        r.tweak(settings, state);
    MetadataCache cache(dir.file("cache"));
    const SyncPlan plan = planSync(selectionOf({dir.file("lib")}), state, settings, cache);
    EXPECT_EQ(itemsText(plan), r.items);
    if (!r.order.empty()) {
        EXPECT_EQ(plan.order, r.order);
    }
    // The room the plan leaves adds up: what it sends and deletes, in 512-byte clusters.
    std::uint64_t sent = 0, removed = 0, replacedOld = 0;
    for (const SyncItem &i : plan.items) {
        if (i.action == Action::Send || i.action == Action::Replace)
            sent += occupiedBytes(i.bytes, 512);
        if (i.action == Action::Delete)
            removed += occupiedBytes(i.bytes, 512);
        if (i.action == Action::Replace)
            for (const PlayerFile &p : state.files)
                if (p.name == i.replaces)
                    replacedOld += occupiedBytes(p.size, 512);
    }
    EXPECT_EQ(plan.after.freeBytes + sent, state.freeBytes + removed + replacedOld);
    EXPECT_LE(plan.after.usedRecords, plan.after.totalRecords);
}

INSTANTIATE_TEST_SUITE_P(
    Plans, SyncPlanTest,
    ::testing::Values(
        PlanRow{"FirstSyncSendsAlbumsInOrderWithFreeNames",
                {{"B/01 a.mp3", 1024}, {"B/02 b.mp3", 512}, {"C/01 a.mp3", 2048}},
                {},
                kMiB,
                nullptr,
                "S:01 a.mp3|S:02 b.mp3|S:01 a (2).mp3",
                {"01 a.mp3", "02 b.mp3", "01 a (2).mp3"}},
        // The numbered name is found again by its time and size, whatever the order on the
        // player; the order is set to the library's.
        PlanRow{"SecondSyncKeepsEverything",
                {{"B/01 a.mp3", 1024}, {"B/02 b.mp3", 512}, {"C/01 a.mp3", 2048}},
                {{"01 a (2).mp3", 2048, "C/01 a.mp3"},
                 {"01 a.mp3", 1024, "B/01 a.mp3"},
                 {"02 B.MP3", 512, "B/02 b.mp3"}},
                kMiB - 4096,
                nullptr,
                "K:01 a.mp3|K:02 B.MP3|K:01 a (2).mp3",
                {"01 a.mp3", "02 B.MP3", "01 a (2).mp3"}},
        PlanRow{"ChangedFileReplacedAndExtraKept",
                {{"B/01 a.mp3", 1024}, {"B/02 b.mp3", 700}},
                {{"01 a.mp3", 1024, "B/01 a.mp3"}, {"02 b.mp3", 512, ""}, {"x.mp3", 512, ""}},
                kMiB - 2048,
                nullptr,
                "K:01 a.mp3|R:02 b.mp3"},
        // Its very name before a name equal but for case.
        PlanRow{"ExactNameBeforeOtherCase",
                {{"B/B.mp3", 100}, {"B/b.mp3", 100}},
                {{"b.mp3", 50, ""}},
                kMiB - 512,
                nullptr,
                "S:B (2).mp3|R:b.mp3"},
        // The levelling a file was sent with is part of what it is.
        PlanRow{"OtherLevellingReplaces",
                {{"B/1.mp3", 100}, {"B/2.mp3", 100}, {"B/3.mp3", 100}},
                {{"1.mp3", 100, "B/1.mp3"}, {"2.mp3", 100, "B/2.mp3"}, {"3.mp3", 100, "B/3.mp3"}},
                kMiB - 1536,
                [](SyncSettings &s, PlayerState &p) {
                    s.level = tunara::media::LevelMode::Track;
                    p.levels["2.mp3"] = tunara::media::LevelMode::Track;
                    p.levels["3.mp3"] = tunara::media::LevelMode::Album;
                },
                "R:1.mp3|K:2.mp3|R:3.mp3"},
        // A source that cannot be read (damaged, or gone while the plan ran) is no reason to
        // delete the player's copy.
        PlanRow{"UnreadableSourceKeepsItsPlayerFile",
                {{"B/a.ogg", 100}, {"B/b.mp3", 100}},
                {{"a.mp3", 100, ""}},
                kMiB - 512,
                [](SyncSettings &s, PlayerState &) { s.deleteExtras = true; },
                "S:b.mp3"},
        // Two player files of one size and time in one family of names: each file is found
        // under the name the selection gives it, not under another's.
        PlanRow{"SameSizeAndTimeInOneFamily",
                {{"A/Song.mp3", 5000}, {"B/song.mp3", 3000}},
                {{"Song.mp3", 3000, "B/song.mp3"}, {"song (2).mp3", 3000, "B/song.mp3"}},
                kMiB - 6144,
                nullptr,
                "R:Song.mp3|K:song (2).mp3"},
        PlanRow{"ExtraDeletedWithDelete",
                {{"B/01 a.mp3", 1024}},
                {{"01 a.mp3", 1024, "B/01 a.mp3"}, {"x.mp3", 512, ""}},
                kMiB - 1536,
                [](SyncSettings &s, PlayerState &) { s.deleteExtras = true; },
                "D:x.mp3|K:01 a.mp3"},
        // A converted file never takes the name of one sent as it is, nor its place.
        PlanRow{"ConvertedFileBesideAnMp3OfItsName",
                {{"B/song.flac", 0}, {"B/song.mp3", 1024}},
                {{"song.mp3", 1024, "B/song.mp3"}},
                kMiB - 1024,
                nullptr,
                "S:song (2).mp3|K:song.mp3"},
        // Whole albums in order until one does not fit; nothing after it.
        PlanRow{"AlbumsThatDoNotFitInBytes",
                {{"B/1.mp3", 300000}, {"C/1.mp3", 300000}, {"C/2.mp3", 300000}, {"D/1.mp3", 10}},
                {},
                700000,
                nullptr,
                "S:1.mp3|N:1 (2).mp3|N:2.mp3|N:1 (3).mp3"},
        PlanRow{"AlbumsThatDoNotFitInNameRecords",
                {{"B/a long name of a file.mp3", 10}, {"C/another long name.mp3", 10}},
                {{"x.mp3", 512, ""}},
                kMiB - 512,
                [](SyncSettings &, PlayerState &p) { p.learnedRecords = 5; },
                "S:a long name of a file.mp3|N:another long name.mp3"},
        // An album larger than the whole memory goes track by track.
        PlanRow{"AlbumLargerThanTheMemory",
                {{"B/1.mp3", 600000}, {"B/2.mp3", 600000}},
                {},
                kMiB,
                nullptr,
                "S:1.mp3|N:2.mp3"},
        PlanRow{
            "ShortNames",
            {{"B/A title much longer than thirteen.mp3", 10}, {"B/A title much longer.mp3", 10}},
            {},
            kMiB,
            [](SyncSettings &s, PlayerState &) { s.plan.shortNames = true; },
            "S:A title m.mp3|S:A title~2.mp3"},
        PlanRow{"ReplaceNeedsRoomForBothCopies",
                {{"B/1.mp3", 600000}},
                {{"1.mp3", 500000, ""}},
                kMiB - 500224,
                nullptr,
                "N:1.mp3"}),
    [](const auto &row) { return std::string(row.param.name); });

// The fill's history decides: the album sent last goes, the other comes.
TEST_F(SyncPlanTest, FillWithDeleteReplacesTheLastFill) {
    PlanRow r{"fill", {{"B/1.mp3", 600000}, {"C/1.mp3", 600000}}, {}, 0, nullptr, ""};
    const auto times = makeLibrary(r);
    PlayerState state;
    state.totalBytes = kMiB;
    state.freeBytes = kMiB - 600064;
    const auto [date, time] = dosStamp(times.at("B/1.mp3"));
    state.files.push_back({"1.mp3", 600000, date, time});
    SyncSettings settings;
    settings.plan.model = tunara::media::ModelQn520;
    settings.mode = SyncMode::Fill;
    settings.deleteExtras = true;
    MetadataCache cache(dir.file("cache"));
    const Selection selection = selectionOf({dir.file("lib")});
    for (const std::uint64_t seed : {1u, 2u, 3u}) {
        settings.seed = seed;
        settings.history = {};
        settings.history.add({selection.albums[0].key});
        const SyncPlan plan = planSync(selection, state, settings, cache);
        EXPECT_EQ(itemsText(plan), "D:1.mp3|N:1.mp3|S:1 (2).mp3") << seed;
        EXPECT_EQ(plan.chosenAlbums, std::vector<std::string>{selection.albums[1].key});
        settings.history = {};
        settings.history.add({selection.albums[1].key});
        EXPECT_EQ(itemsText(planSync(selection, state, settings, cache)), "K:1.mp3|N:1 (2).mp3")
            << seed;
    }
}

// The staging name of a replace is none of the player's names in any case.
TEST(SyncPlanStaging, FreeInAnyCase) {
    EXPECT_EQ(stagingName({}, ".mp3"), "kesto-sync-new.mp3");
    EXPECT_EQ(stagingName({"KESTO-SYNC-NEW.MP3"}, ".mp3"), "kesto-sync-new-2.mp3");
    EXPECT_EQ(stagingName({"kesto-sync-new.tmp"}, ".toolong"), "kesto-sync-new-2.tmp");
    EXPECT_EQ(stagingName({}, ""), "kesto-sync-new.tmp");
}

TEST(SyncPlanGeometry, FormattedMemories) {
    struct Row {
        std::uint64_t bytes;
        unsigned records;
        std::uint32_t cluster;
    };
    for (const Row r : {Row{512 * 1024, 224, 512}, Row{kMiB, 512, 512}, Row{16 * kMiB, 512, 2048},
                        Row{128 * kMiB, 512, 2048}, Row{512 * kMiB, 512, 8192},
                        Row{2048 * kMiB, 512, 32768}, Row{4095 * kMiB, 512, 32768}}) {
        const Geometry g = formattedGeometry(r.bytes);
        EXPECT_EQ(g.rootRecords, r.records) << r.bytes;
        EXPECT_EQ(g.clusterBytes, r.cluster) << r.bytes;
    }
    EXPECT_EQ(occupiedBytes(0, 512), 0u);
    EXPECT_EQ(occupiedBytes(1, 512), 512u);
    EXPECT_EQ(occupiedBytes(513, 512), 1024u);
}

} // namespace
