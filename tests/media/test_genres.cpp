// The genre list and the TCON and TRCK text rules.
#include "genres.h"
#include "leadinginteger.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>

using namespace tunara::media;

namespace {

TEST(GenreList, HasTheNamesAndTheEmptyEntry) {
    ASSERT_EQ(GenreNames.size(), 127u);
    const std::pair<int, const char *> spotChecks[] = {
        {0, "Blues"},       {1, "Classic Rock"}, {17, "Rock"},        {29, "Jazz+Funk"},
        {40, "AlternRock"}, {62, "Pop/Funk"},    {67, "Psychadelic"}, {78, "Rock & Roll"},
        {79, "Hard Rock"},  {80, "Folk"},        {85, "Bebob"},       {93, "Psychedelic Rock"},
        {123, "Acapella"},  {124, "Euro-House"}, {125, "Dance Hall"}, {126, ""}};
    for (const auto &[index, name] : spotChecks)
        EXPECT_EQ(GenreNames[index], name) << index;
    for (int i = 0; i < kGenreCount; ++i)
        EXPECT_FALSE(GenreNames[i].empty()) << i;
}

TEST(GenreList, SortedRowsStartWithAcapellaAndPutExactNamesFirst) {
    const auto &rows = genreRows();
    ASSERT_EQ(rows.size(), 126u);
    EXPECT_EQ(GenreNames[rows[0]], "Acapella");
    const auto pos = [&](std::string_view name) {
        return std::find_if(rows.begin(), rows.end(),
                            [&](int g) { return GenreNames[g] == name; }) -
               rows.begin();
    };
    EXPECT_LT(pos("Rock"), pos("Rock & Roll"));
    EXPECT_LT(pos("Pop"), pos("Pop-Folk"));
    EXPECT_LT(pos("Pop-Folk"), pos("Pop/Funk"));
    EXPECT_LT(pos("Alternative"), pos("AlternRock")); // case ignored: "alterna" < "alternr"
}

struct TypingCase {
    const char *name;
    const char *typed;
    const char *selected; // nullptr: no row
};
class Typing : public testing::TestWithParam<TypingCase> {};
TEST_P(Typing, SelectsTheEarliestMatchThenTheUpperRow) {
    const auto row = genreRowMatching(GetParam().typed);
    if (!GetParam().selected) {
        EXPECT_FALSE(row);
        return;
    }
    ASSERT_TRUE(row);
    EXPECT_EQ(GenreNames[genreRows()[*row]], GetParam().selected);
}
INSTANTIATE_TEST_SUITE_P(Texts, Typing,
                         testing::Values(TypingCase{"rock_over_rock_and_roll_and_hard_rock", "rock",
                                                    "Rock"},
                                         TypingCase{"pop_over_pop_folk", "pop", "Pop"},
                                         TypingCase{"case_ignored", "PSYCH", "Psychadelic"},
                                         TypingCase{"inside_a_name", "roll", "Rock & Roll"},
                                         TypingCase{"empty_selects_row_0", "", "Acapella"},
                                         TypingCase{"nothing_matches", "zzz", nullptr}),
                         [](const auto &row) { return std::string(row.param.name); });

struct TconCase {
    const char *name;
    const char *text;
    std::optional<int> genre;
};
class Tcon : public testing::TestWithParam<TconCase> {};
TEST_P(Tcon, SelectsAGenre) {
    EXPECT_EQ(genreFromTcon(GetParam().text), GetParam().genre);
}
INSTANTIATE_TEST_SUITE_P(
    Texts, Tcon,
    testing::Values(
        TconCase{"number_only", "(17)", 17}, TconCase{"number_and_name", "(17)Rock", 17},
        TconCase{"number_wins_over_name", "(17)Jazz", 17}, TconCase{"first_and_last", "(0)", 0},
        TconCase{"last_named", "(125)", 125},
        TconCase{"empty_entry_is_no_genre", "(126)", std::nullopt},
        TconCase{"above_the_list", "(200)", std::nullopt},
        TconCase{"above_the_list_named", "(200)Rock", 17},
        TconCase{"negative", "(-1)", std::nullopt}, TconCase{"remix", "(RX)", std::nullopt},
        TconCase{"plain_name", "Rock", 17}, TconCase{"plain_name_any_case", "hard rock", 79},
        TconCase{"plain_number_v24", "17", 17},
        TconCase{"plain_number_too_big", "300", std::nullopt},
        TconCase{"unknown_name", "Synthpop", std::nullopt}, TconCase{"empty", "", std::nullopt},
        TconCase{"huge_number", "(99999999999999999999)", std::nullopt}),
    [](const auto &row) { return std::string(row.param.name); });

TEST(TconText, WritesNumberAndName) {
    EXPECT_EQ(tconText(17), "(17)Rock");
    EXPECT_EQ(tconText(123), "(123)Acapella");
    EXPECT_EQ(tconText(0), "(0)Blues");
    EXPECT_EQ(tconText(std::nullopt), "");
    EXPECT_EQ(tconText(126), "");
    EXPECT_EQ(tconText(-5), "");
}

TEST(GenreNames, LookUp) {
    EXPECT_EQ(genreByName("Rock"), 17);
    EXPECT_EQ(genreByName("rock"), std::nullopt);
    EXPECT_EQ(genreByNameIgnoringCase("rock"), 17);
    EXPECT_EQ(genreByNameIgnoringCase("PSYCHADELIC"), 67);
    EXPECT_EQ(genreByNameIgnoringCase(""), std::nullopt);
}

struct IntCase {
    const char *name;
    const char *text;
    std::optional<int> value;
};
class LeadingInteger : public testing::TestWithParam<IntCase> {};
TEST_P(LeadingInteger, ReadsTheStart) {
    EXPECT_EQ(leadingInteger(GetParam().text), GetParam().value);
}
INSTANTIATE_TEST_SUITE_P(Texts, LeadingInteger,
                         testing::Values(IntCase{"track_of_total", "3/12", 3},
                                         IntCase{"plain", "7", 7}, IntCase{"blanks", "  12", 12},
                                         IntCase{"sign", "-2", -2}, IntCase{"plus", "+4", 4},
                                         IntCase{"letters", "abc", std::nullopt},
                                         IntCase{"empty", "", std::nullopt},
                                         IntCase{"sign_only", "-", std::nullopt},
                                         IntCase{"too_big", "99999999999", INT_MAX},
                                         IntCase{"too_small", "-99999999999", INT_MIN}),
                         [](const auto &row) { return std::string(row.param.name); });

} // namespace
