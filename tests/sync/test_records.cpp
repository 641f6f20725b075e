#include "recordcost.h"
#include "room.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using tunara::sync::recordCost;
using tunara::sync::Room;
using tunara::sync::RoomSource;

struct CostRow {
    const char *name;
    std::string fileName;
    unsigned records;
};

class RecordCostTest : public ::testing::TestWithParam<CostRow> {};

TEST_P(RecordCostTest, CountsTheDirectoryRecordsOfAName) {
    EXPECT_EQ(recordCost(GetParam().fileName), GetParam().records);
}

INSTANTIATE_TEST_SUITE_P(
    Names, RecordCostTest,
    ::testing::Values(
        CostRow{"plain_8_3", "SONG.MP3", 1}, CostRow{"eight_three_full", "ABCDEFGH.MP3", 1},
        CostRow{"no_extension", "README", 1}, CostRow{"punctuation", "A_B-C~1.MP3", 1},
        CostRow{"lower_case", "song.mp3", 2}, CostRow{"mixed_case", "Song.MP3", 2},
        CostRow{"nine_char_base", "ABCDEFGHI.MP3", 2}, CostRow{"four_char_ext", "A.MPEG", 2},
        CostRow{"space", "A B.MP3", 2}, CostRow{"two_dots", "A.B.MP3", 2},
        CostRow{"trailing_dot", "NAME.", 2}, CostRow{"leading_dot", ".MP3", 2},
        CostRow{"thirteen_units", "abcdefghi.mp3", 2},
        CostRow{"fourteen_units", "abcdefghij.mp3", 3},
        CostRow{"twenty_six_units", std::string(22, 'a') + ".mp3", 3},
        CostRow{"twenty_seven_units", std::string(23, 'a') + ".mp3", 4},
        CostRow{"forty_chars", std::string(36, 'x') + ".mp3", 5},
        // Hangul: one unit per character, three UTF-8 bytes each.
        CostRow{"hangul", "\xEA\xB0\x80\xEB\x82\x98\xEB\x8B\xA4.mp3", 2},
        // U+1F3B5 is a surrogate pair: 5 x 2 + 4 = 14 units.
        CostRow{"surrogate_pairs",
                "\xF0\x9F\x8E\xB5\xF0\x9F\x8E\xB5\xF0\x9F\x8E\xB5\xF0\x9F\x8E\xB5"
                "\xF0\x9F\x8E\xB5.mp3",
                3},
        CostRow{"accent_upper", "\xC3\x89T\xC3\x89.MP3", 2},
        CostRow{"invalid_utf8_byte",
                "\xFF"
                "ABC.MP3",
                2}),
    [](const auto &row) { return std::string(row.param.name); });

struct RoomRow {
    const char *name;
    std::vector<std::string> present;
    std::optional<unsigned> layoutRecords;
    std::vector<unsigned> refusals; // used records at each -34, in order
    unsigned total;
    unsigned freeRecords;
    RoomSource source;
};

class RoomTest : public ::testing::TestWithParam<RoomRow> {};

TEST_P(RoomTest, KnowsTheRecordsLeft) {
    const RoomRow &r = GetParam();
    Room room = Room::of(1'000'000, r.present, r.layoutRecords);
    for (const unsigned used : r.refusals)
        room.learnFromRefusal(used);
    EXPECT_EQ(room.totalRecords, r.total);
    EXPECT_EQ(room.freeRecords(), r.freeRecords);
    EXPECT_EQ(room.source, r.source);
    EXPECT_EQ(room.freeBytes, 1'000'000u);
}

std::vector<std::string> names(std::size_t n, std::size_t length) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < n; ++i) {
        std::string name = std::to_string(i) + " ";
        name.resize(length - 4, 'x');
        out.push_back(name + ".mp3");
    }
    return out;
}

INSTANTIATE_TEST_SUITE_P(
    Rooms, RoomTest,
    ::testing::Values(
        RoomRow{"empty", {}, std::nullopt, {}, 512, 512, RoomSource::Default512},
        RoomRow{"short_and_long",
                {"A.MP3", "song.mp3"},
                std::nullopt,
                {},
                512,
                509,
                RoomSource::Default512},
        // Forty characters take five records: a hundred files leave 12 of 512.
        RoomRow{"hundred_real_names",
                names(100, 40),
                std::nullopt,
                {},
                512,
                12,
                RoomSource::Default512},
        RoomRow{
            "full_beyond_total", names(103, 40), std::nullopt, {}, 512, 0, RoomSource::Default512},
        RoomRow{"layout", {"song.mp3"}, 224u, {}, 224, 222, RoomSource::Layout},
        // Deleted records hold room the table does not show: a refusal at 480 says so.
        RoomRow{"refusal_lowers", names(96, 40), std::nullopt, {480}, 480, 0, RoomSource::Learned},
        RoomRow{"refusal_never_raises",
                names(10, 40),
                std::nullopt,
                {400, 450},
                400,
                0,
                RoomSource::Learned},
        RoomRow{"refusal_at_total_keeps_source",
                names(10, 40),
                300u,
                {300},
                300,
                0,
                RoomSource::Layout}),
    [](const auto &row) { return std::string(row.param.name); });

} // namespace
