#include "fit.h"
#include "nameallocator.h"
#include "playerformat.h"
#include "recordcost.h"
#include "shortnames.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace {

using namespace tunara::sync;

// A track: bytes, records, present ('p').
struct T {
    std::uint64_t bytes;
    unsigned records;
    bool present = false;
};

struct FitRow {
    const char *name;
    std::vector<std::vector<T>> albums;
    std::uint64_t freeBytes;
    unsigned usedRecords; // of 512
    FitMode mode;
    std::uint64_t keepFree;
    std::string verdicts; // per album, per track: F fits, P present, D did not fit; '|' between
    std::uint64_t bytes;
    unsigned recordsAfter;
};

std::vector<PlanAlbum> albumsOf(const std::vector<std::vector<T>> &tracks) {
    std::vector<PlanAlbum> albums;
    for (std::size_t a = 0; a < tracks.size(); ++a) {
        PlanAlbum album;
        album.key = "/music/" + std::to_string(a);
        for (const T &t : tracks[a]) {
            PlanTrack track;
            track.bytes = t.bytes;
            track.records = t.records;
            track.present = t.present;
            album.tracks.push_back(track);
        }
        albums.push_back(album);
    }
    return albums;
}

std::string verdictText(const FitResult &r) {
    std::string text;
    for (const auto &album : r.verdicts) {
        if (!text.empty())
            text += '|';
        for (const Verdict v : album)
            text += v == Verdict::Fits ? 'F' : v == Verdict::Present ? 'P' : 'D';
    }
    return text;
}

class FitTest : public ::testing::TestWithParam<FitRow> {};

TEST_P(FitTest, MarksWhatTheMemoryTakes) {
    const FitRow &r = GetParam();
    Room room;
    room.freeBytes = r.freeBytes;
    room.usedRecords = r.usedRecords;
    const FitResult result = fitAlbums(albumsOf(r.albums), room, r.mode, r.keepFree);
    EXPECT_EQ(verdictText(result), r.verdicts);
    EXPECT_EQ(result.bytes, r.bytes);
    EXPECT_EQ(result.recordsBefore, r.usedRecords);
    EXPECT_EQ(result.recordsAfter, r.recordsAfter);
    EXPECT_EQ(result.roomAfter.freeBytes, r.freeBytes - r.bytes);
    EXPECT_LE(result.recordsAfter, 512u);
    std::size_t didNotFit = 0;
    for (const char c : r.verdicts)
        didNotFit += c == 'D' ? 1 : 0;
    EXPECT_EQ(result.didNotFit, didNotFit);
}

constexpr auto Stop = FitMode::StopAtFirst;
constexpr auto Skip = FitMode::SkipWhatDoesNotFit;

INSTANTIATE_TEST_SUITE_P(
    Albums, FitTest,
    ::testing::Values(
        FitRow{"all_fit", {{{10, 2}, {10, 2}}, {{5, 5}}}, 100, 0, Stop, 0, "FF|F", 25, 9},
        FitRow{"exactly_full", {{{60, 2}}, {{40, 510}}}, 100, 0, Stop, 0, "F|F", 100, 512},
        FitRow{"stops_at_first_too_big_in_bytes",
               {{{40, 2}}, {{70, 2}}, {{1, 2}}},
               100,
               0,
               Stop,
               0,
               "F|D|D",
               40,
               2},
        FitRow{"stops_at_first_too_big_in_records",
               {{{1, 500}}, {{1, 5}, {1, 5}, {1, 5}}, {{1, 1}}},
               1000,
               0,
               Stop,
               0,
               "F|DDD|D",
               1,
               500},
        FitRow{"records_already_used", {{{1, 5}}, {{1, 5}}}, 1000, 505, Stop, 0, "F|D", 1, 510},
        FitRow{"larger_than_memory_track_by_track",
               {{{40, 2}, {40, 2}, {40, 2}}, {{1, 2}}},
               100,
               0,
               Stop,
               0,
               "FFD|D",
               80,
               4},
        FitRow{"larger_than_memory_after_a_fitting_album",
               {{{30, 2}}, {{40, 2}, {40, 2}, {40, 2}}},
               100,
               0,
               Stop,
               0,
               "F|FDD",
               70,
               4},
        FitRow{"larger_than_records_track_by_track",
               {{{1, 200}, {1, 200}, {1, 200}}},
               1000,
               0,
               Stop,
               0,
               "FFD",
               2,
               400},
        FitRow{"present_tracks_cost_nothing",
               {{{90, 3, true}, {10, 2}}, {{5, 2, true}}},
               10,
               0,
               Stop,
               0,
               "PF|P",
               10,
               2},
        FitRow{"present_kept_after_a_stop",
               {{{50, 2}}, {{1, 1, true}, {1, 1}}},
               10,
               0,
               Stop,
               0,
               "D|PD",
               0,
               0},
        FitRow{"keep_free", {{{40, 2}}, {{40, 2}}}, 100, 0, Stop, 30, "F|D", 40, 2},
        FitRow{"keep_free_above_free", {{{1, 2}}}, 10, 0, Stop, 30, "D", 0, 0},
        FitRow{"no_albums", {}, 10, 0, Stop, 0, "", 0, 0},
        FitRow{"empty_room", {{{1, 1}}}, 0, 512, Stop, 0, "D", 0, 512},
        FitRow{"skip_mode_takes_later_small",
               {{{70, 2}}, {{40, 2}}, {{50, 2}}, {{10, 2}}},
               100,
               0,
               Skip,
               0,
               "F|D|D|F",
               80,
               4},
        FitRow{"skip_mode_never_splits",
               {{{60, 2}, {60, 2}}, {{1, 1}}},
               100,
               0,
               Skip,
               0,
               "DD|F",
               1,
               1}),
    [](const auto &row) { return std::string(row.param.name); });

struct ShortRow {
    const char *name;
    int track;
    std::string title;
    std::vector<std::string> taken;
    std::string expected;
};

class ShortNameTest : public ::testing::TestWithParam<ShortRow> {};

TEST_P(ShortNameTest, TakesAtMostTwoRecords) {
    const ShortRow &r = GetParam();
    std::set<std::string> taken(r.taken.begin(), r.taken.end());
    const std::string name = shortPlayerName(r.track, r.title, "mp3", taken);
    EXPECT_EQ(name, r.expected);
    EXPECT_LE(utf16Length(name), kShortNameUnits);
    EXPECT_LE(recordCost(name), 2u);
    EXPECT_TRUE(taken.contains(tunara::media::foldCase(name)));
}

INSTANTIATE_TEST_SUITE_P(
    Names, ShortNameTest,
    ::testing::Values(
        ShortRow{"track_and_title", 7, "Blue Horizon", {}, "07 Blue H.mp3"},
        ShortRow{"short_title", 1, "Go", {}, "01 Go.mp3"},
        ShortRow{"no_track", 0, "Blue Horizon", {}, "Blue Hori.mp3"},
        ShortRow{"no_title", 3, "", {}, "03 Track.mp3"},
        ShortRow{"track_over_99", 123, "Finale", {}, "123 Final.mp3"},
        ShortRow{"taken_gets_a_number", 7, "Blue Horizon", {"07 blue h.mp3"}, "07 Blue~2.mp3"},
        ShortRow{
            "taken_twice", 7, "Blue Horizon", {"07 blue h.mp3", "07 blue~2.mp3"}, "07 Blue~3.mp3"},
        ShortRow{"space_before_cut_trimmed", 7, "Blue  Horizon", {}, "07 Blue.mp3"},
        ShortRow{"illegal_characters", 2, "A/B:C?", {}, "02 A_B_C_.mp3"},
        // Five surrogate pairs of 2 units each: the cut keeps whole characters only.
        ShortRow{"surrogate_not_split",
                 1,
                 "\xF0\x9F\x8E\xB5\xF0\x9F\x8E\xB5\xF0\x9F\x8E\xB5\xF0\x9F\x8E\xB5",
                 {},
                 "01 \xF0\x9F\x8E\xB5\xF0\x9F\x8E\xB5\xF0\x9F\x8E\xB5.mp3"},
        ShortRow{
            "hangul",
            4,
            "\xEA\xB0\x80\xEB\x82\x98\xEB\x8B\xA4\xEB\x9D\xBC\xEB\xA7\x88\xEB\xB0\x94\xEC\x82\xAC",
            {},
            "04 \xEA\xB0\x80\xEB\x82\x98\xEB\x8B\xA4\xEB\x9D\xBC\xEB\xA7\x88\xEB\xB0\x94.mp3"}),
    [](const auto &row) { return std::string(row.param.name); });

struct CountRow {
    const char *name;
    std::size_t albums, tracksPerAlbum, nameLength;
    std::uint64_t freeBytes;
    std::size_t withNames, withShortNames;
};

class FilesThatFitTest : public ::testing::TestWithParam<CountRow> {};

TEST_P(FilesThatFitTest, CountsWithAndWithoutShortNames) {
    const CountRow &r = GetParam();
    std::vector<PlanAlbum> albums;
    for (std::size_t a = 0; a < r.albums; ++a) {
        PlanAlbum album;
        album.key = "/music/" + std::to_string(a);
        for (std::size_t t = 0; t < r.tracksPerAlbum; ++t) {
            PlanTrack track;
            track.playerName = std::to_string(a) + "-" + std::to_string(t) + " ";
            track.playerName.resize(r.nameLength - 4, 'x');
            track.playerName += ".mp3";
            track.records = recordCost(track.playerName);
            track.bytes = 1000;
            track.trackNumber = int(t + 1);
            track.title = "A title longer than thirteen";
            album.tracks.push_back(track);
        }
        albums.push_back(album);
    }
    Room room;
    room.freeBytes = r.freeBytes;
    const NameCounts counts = filesThatFit(albums, room, {});
    EXPECT_EQ(counts.withNames, r.withNames);
    EXPECT_EQ(counts.withShortNames, r.withShortNames);
}

INSTANTIATE_TEST_SUITE_P(
    Libraries, FilesThatFitTest,
    ::testing::Values(
        // Forty characters: five records a file, ten albums of ten in 512 records.
        CountRow{"forty_char_names", 30, 10, 40, 1'000'000'000, 100, 250},
        CountRow{"bytes_bound_both", 30, 10, 40, 50'000, 50, 50},
        CountRow{"short_names_already", 30, 10, 12, 1'000'000'000, 250, 250}),
    [](const auto &row) { return std::string(row.param.name); });

} // namespace

namespace {

struct AllocRow {
    const char *name;
    std::vector<std::string> present;
    std::vector<std::string> desired;
};

class NameAllocatorTest : public ::testing::TestWithParam<AllocRow> {};

// The plan's names are the ones media::freeName gives, one by one.
TEST_P(NameAllocatorTest, GivesTheNamesFreeNameGives) {
    const AllocRow &r = GetParam();
    std::set<std::string> taken;
    for (const std::string &p : r.present)
        taken.insert(tunara::media::foldCase(p));
    tunara::sync::NameAllocator names(taken);
    for (const std::string &d : r.desired)
        EXPECT_EQ(names.take(d), tunara::media::freeName(d, taken)) << d;
}

std::vector<std::string> repeated(const std::string &name, std::size_t n) {
    return std::vector<std::string>(n, name);
}

std::string longName(char fill) {
    return std::string(60, fill) + "\xEA\xB0\x80\xEA\xB0\x80\xEA\xB0\x80\xEA\xB0\x80\xEA\xB0\x80"
                                   "\xEA\xB0\x80.mp3";
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, NameAllocatorTest,
    ::testing::Values(
        AllocRow{"free", {}, {"a.mp3", "b.mp3"}},
        AllocRow{"repeated", {}, repeated("01 Intro.mp3", 30)},
        AllocRow{"case_folded", {"INTRO.MP3"}, {"intro.mp3", "Intro.mp3", "intro (2).MP3"}},
        AllocRow{"numbered_present", {"x.mp3", "x (2).mp3", "x (4).mp3"}, repeated("x.mp3", 5)},
        AllocRow{"numbered_desired_between",
                 {},
                 {"x.mp3", "x.mp3", "x (3).mp3", "x.mp3", "x (5).mp3", "x.mp3"}},
        AllocRow{"no_extension", {}, repeated("README", 4)},
        AllocRow{"cut_at_80_bytes", {}, repeated(longName('a'), 12)}),
    [](const auto &row) { return std::string(row.param.name); });

TEST(ShortNames, AThousandOfOneTitleStayUnique) {
    std::vector<tunara::sync::PlanAlbum> albums(1000);
    for (auto &album : albums) {
        tunara::sync::PlanTrack t;
        t.playerName = "Intro.mp3";
        t.trackNumber = 1;
        t.title = "Intro to everything";
        album.tracks.push_back(t);
    }
    tunara::sync::useShortNames(albums, {"01 intro.mp3"});
    std::set<std::string> seen;
    for (const auto &album : albums) {
        const std::string &name = album.tracks[0].playerName;
        EXPECT_TRUE(seen.insert(tunara::media::foldCase(name)).second) << name;
        EXPECT_LE(tunara::sync::utf16Length(name), tunara::sync::kShortNameUnits) << name;
    }
    EXPECT_EQ(albums[0].tracks[0].playerName, "01 Intr~2.mp3");
    EXPECT_EQ(albums[999].tracks[0].playerName, "01 I~1001.mp3");
}

} // namespace
