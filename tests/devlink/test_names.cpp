// The name rules: short-name candidates, cutting long names, UTF-8 / UTF-16 conversion, and the
// lookups on the cached table that choose a free short name.
#include "filetable.h"
#include "names.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace kestousb;

namespace {

struct ShortCase {
    const char *label;
    const char *longName;
    int i;
    const char *compact;
    const char *padded;
};

class ShortName : public testing::TestWithParam<ShortCase> {};

TEST_P(ShortName, Candidate) {
    const auto &c = GetParam();
    EXPECT_EQ(makeShortName(c.i, c.longName), c.compact);
    EXPECT_EQ(makeShortName83(c.i, c.longName), c.padded);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, ShortName,
    testing::Values(
        ShortCase{"BracketsAndSpacesGo", "My Song [live].mp3", 0, "MySong~1.MP3", "MySong~1.MP3"},
        ShortCase{"FifthCandidate", "My Song [live].mp3", 4, "MySong~5.MP3", "MySong~5.MP3"},
        ShortCase{"ShortBaseKeepsCase", "abc.mp3", 0, "abc.MP3", "abc     .MP3"},
        ShortCase{"ShortBaseTakesTailAfterFirst", "abc.mp3", 1, "abc~1.MP3", "abc~1   .MP3"},
        ShortCase{"ShortBaseEighthCandidate", "abc.mp3", 7, "abc~7.MP3", "abc~7   .MP3"},
        ShortCase{"ShortBaseLastCandidate", "abc.mp3", 255, "abc~255.MP3", "abc~255 .MP3"},
        ShortCase{"PaddedTwoLetters", "AB.mp3", 0, "AB.MP3", "AB      .MP3"},
        ShortCase{"NoExtensionKeepsDot", "README", 0, "README.", "README  ."},
        ShortCase{"ExactlyEightBytes", "12345678.wav", 0, "12345678.WAV", "12345678.WAV"},
        ShortCase{"ExactlyEightBytesCutForTail", "12345678.wav", 3, "123456~3.WAV", "123456~3.WAV"},
        ShortCase{"NineBytesTakeTail", "123456789.wav", 0, "123456~1.WAV", "123456~1.WAV"},
        ShortCase{"InnerDotsRemoved", "a.b.c.txt", 0, "abc.TXT", "abc     .TXT"},
        ShortCase{"ExtensionCutToThree", "song.mpeg", 0, "song.MPE", "song    .MPE"},
        ShortCase{"ThreeDigitTail", "LongFileName.mp3", 99, "Long~100.MP3", "Long~100.MP3"},
        ShortCase{"LastTail", "LongFileName.mp3", 255, "Long~256.MP3", "Long~256.MP3"},
        ShortCase{"PlusCommaSemicolonEquals", "a+b,c;d=e.ogg", 0, "abcde.OGG", "abcde   .OGG"},
        ShortCase{"NonAsciiBaseTakesTail",
                  "\xC3\x9C"
                  "ber.mp3",
                  0, "_ber~1.MP3", "_ber~1  .MP3"},
        ShortCase{"NonAsciiOneUnderscorePerCharacter", "\xE2\x82\xAC\xF0\x9F\x98\x80x.mp3", 1,
                  "__x~2.MP3", "__x~2   .MP3"},
        ShortCase{"NonAsciiLongBaseCut",
                  "Gr\xC3\xBC\xC3\x9F"
                  "e aus K\xC3\xB6ln.mp3",
                  0, "Gr__ea~1.MP3", "Gr__ea~1.MP3"},
        ShortCase{"NonAsciiExtension", "x.\xC3\xA9t", 0, "x._T", "x       ._T"},
        ShortCase{"EmptyBaseTakesTail", "[].mp3", 0, "~1.MP3", "~1      .MP3"},
        ShortCase{"LeadingDotIsExtension", ".hidden", 2, "~3.HID", "~3      .HID"},
        ShortCase{"ForbiddenCharactersReplaced", "a*b?.mp3", 0, "a_b_~1.MP3", "a_b_~1  .MP3"},
        ShortCase{"InvalidUtf8Byte",
                  "a\xFF"
                  "b.mp3",
                  0, "a_b~1.MP3", "a_b~1   .MP3"}),
    [](const auto &row) { return std::string(row.param.label); });

struct FitCase {
    const char *label;
    std::string name;
    std::string expected;
};

class FitLongName : public testing::TestWithParam<FitCase> {};

TEST_P(FitLongName, Cut) {
    const auto &c = GetParam();
    const std::string got = fitLongName(c.name);
    EXPECT_EQ(got, c.expected);
    if (c.name.size() > kMaxLongName) {
        EXPECT_EQ(got.size(), kMaxLongName);
    }
    // Never a split sequence: every character decodes without a replacement.
    for (size_t pos = 0; pos < got.size();)
        ASSERT_NE(decodeUtf8(got, pos), kReplacementChar) << "split sequence in " << got;
}

std::string rep(const std::string &s, size_t n) {
    std::string out;
    for (size_t k = 0; k < n; ++k)
        out += s;
    return out;
}

INSTANTIATE_TEST_SUITE_P(
    Cuts, FitLongName,
    testing::Values(
        FitCase{"NinetyCharactersKeepMp3", rep("a", 86) + ".mp3", rep("a", 76) + ".mp3"},
        FitCase{"HundredCharacters", rep("b", 96) + ".wma", rep("b", 76) + ".wma"},
        FitCase{"EightyIsLeftAlone", rep("c", 76) + ".mp3", rep("c", 76) + ".mp3"},
        FitCase{"NoExtensionPlainCut", rep("d", 90), rep("d", 80)},
        FitCase{"FiveLetterExtensionKept", rep("e", 90) + ".abcde", rep("e", 74) + ".abcde"},
        FitCase{"SixLetterExtensionNotKept", rep("f", 90) + ".abcdef", rep("f", 80)},
        FitCase{"NearestDotWins", rep("g", 90) + ".a.bc", rep("g", 77) + ".bc"},
        FitCase{"TwoByteCharactersFitExactly", rep("\xC3\xA9", 45) + ".mp3",
                rep("\xC3\xA9", 38) + ".mp3"},
        FitCase{"TwoByteCharacterDoesNotFit", "a" + rep("\xC3\xA9", 45) + ".mp3",
                "a" + rep("\xC3\xA9", 37) + "_.mp3"},
        FitCase{"ThreeByteCharacterDoesNotFit", rep("\xE2\x82\xAC", 30) + ".mp3",
                rep("\xE2\x82\xAC", 25) + "_.mp3"},
        FitCase{"FourByteCharacterDoesNotFit", "ab" + rep("\xF0\x9F\x8E\xB5", 30) + ".mp3",
                "ab" + rep("\xF0\x9F\x8E\xB5", 18) + "__.mp3"}),
    [](const auto &row) { return std::string(row.param.label); });

struct Utf16Case {
    const char *label;
    std::string utf8;
    std::u16string units;
    size_t maxUnits;
};

class ToUtf16 : public testing::TestWithParam<Utf16Case> {};

TEST_P(ToUtf16, LittleEndianUnits) {
    const auto &c = GetParam();
    std::string expected;
    for (const char16_t u : c.units) {
        expected += char(u & 0xFF);
        expected += char(u >> 8);
    }
    EXPECT_EQ(toUtf16le(c.utf8, c.maxUnits), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Conversions, ToUtf16,
    testing::Values(Utf16Case{"Ascii", "ab.mp3", u"ab.mp3", 160},
                    Utf16Case{"TwoAndThreeBytes", "\xC3\xA9\xE2\x82\xAC", u"\u00E9\u20AC", 160},
                    Utf16Case{"SurrogatePair", "\xF0\x9F\x98\x80", u"\xD83D\xDE00", 160},
                    Utf16Case{"InvalidByteReplaced",
                              "a\xFF"
                              "b",
                              u"a\uFFFDb", 160},
                    Utf16Case{"TruncatedSequence", "a\xE2\x82", u"a\uFFFD\uFFFD", 160},
                    Utf16Case{"OverlongReplaced", "\xC0\xAF", u"\uFFFD\uFFFD", 160},
                    Utf16Case{"EncodedSurrogateReplaced", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD",
                              160},
                    Utf16Case{"UnitLimit", "abcdef", u"abcd", 4},
                    Utf16Case{"PairNotSplitAtLimit", "ab\xF0\x9F\x98\x80", u"ab", 3}),
    [](const auto &row) { return std::string(row.param.label); });

struct Utf8Case {
    const char *label;
    std::u16string units;
    size_t maxBytes;
    std::string expected;
};

class FromUtf16 : public testing::TestWithParam<Utf8Case> {};

TEST_P(FromUtf16, Utf8) {
    const auto &c = GetParam();
    EXPECT_EQ(utf16ToUtf8(c.units, c.maxBytes), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Conversions, FromUtf16,
                         testing::Values(Utf8Case{"StopsAtZero", std::u16string(u"ab\0cd", 5), 255,
                                                  "ab"},
                                         Utf8Case{"Pair", u"\xD83D\xDE00", 255, "\xF0\x9F\x98\x80"},
                                         Utf8Case{"LoneHigh", u"\xD83Dx", 255, "\xEF\xBF\xBDx"},
                                         Utf8Case{"LoneLow", u"\xDE00x", 255, "\xEF\xBF\xBDx"},
                                         Utf8Case{"HighAtEnd", u"x\xD83D", 255, "x\xEF\xBF\xBD"},
                                         Utf8Case{"LimitNotSplit", u"ab\u20AC", 4, "ab"},
                                         Utf8Case{"LimitExact", u"ab\u20AC", 5, "ab\xE2\x82\xAC"}),
                         [](const auto &row) { return std::string(row.param.label); });

// ---- lookups on the cached table ------------------------------------------------------------

class CachedNames : public testing::Test {
protected:
    void SetUp() override {
        std::memset(&cachedTable(KSUSB_MEM_FLASH), 0, sizeof(KSUSB_TOpenTable));
        std::memset(&cachedTable(KSUSB_MEM_CARD), 0, sizeof(KSUSB_TOpenTable));
    }
    static void add(unsigned char mem, const std::string &name, const std::string &name83) {
        KSUSB_TOpenTable &t = cachedTable(mem);
        KSUSB_TFileEntry &e = t.entries[t.count++];
        std::memcpy(e.name, name.c_str(), name.size() + 1);
        std::memcpy(e.name83, name83.c_str(), name83.size() + 1);
    }
};

TEST_F(CachedNames, FindEntryIsExactAndCaseSensitive) {
    add(KSUSB_MEM_FLASH, "One.mp3", "One.MP3");
    add(KSUSB_MEM_FLASH, "Two.mp3", "Two.MP3");
    add(KSUSB_MEM_FLASH, "Two.mp3", "Two~1.MP3");
    EXPECT_EQ(findEntry(KSUSB_MEM_FLASH, "Two.mp3"), 1);
    EXPECT_EQ(findEntry(KSUSB_MEM_FLASH, "two.mp3"), kEntryNotFound);
    EXPECT_EQ(findEntry(KSUSB_MEM_FLASH, "Two.mp"), kEntryNotFound);
    EXPECT_EQ(findEntry(KSUSB_MEM_CARD, "One.mp3"), kEntryNotFound);
    EXPECT_EQ(kEntryNotFound, uint16_t(-11));
}

TEST_F(CachedNames, OtherIdsUseTheCardTable) {
    add(KSUSB_MEM_CARD, "c.mp3", "c.MP3");
    EXPECT_EQ(findEntry('X', "c.mp3"), 0);
    EXPECT_EQ(&cachedTable('X'), &cachedTable(KSUSB_MEM_CARD));
}

TEST_F(CachedNames, EntriesPastCountAreIgnored) {
    add(KSUSB_MEM_FLASH, "a.mp3", "a.MP3");
    add(KSUSB_MEM_FLASH, "b.mp3", "b.MP3");
    cachedTable(KSUSB_MEM_FLASH).count = 1;
    EXPECT_EQ(findEntry(KSUSB_MEM_FLASH, "b.mp3"), kEntryNotFound);
    EXPECT_FALSE(shortNameTaken(KSUSB_MEM_FLASH, "b.MP3"));
}

TEST_F(CachedNames, ShortNameTakenComparesPaddedWithoutSpaces) {
    add(KSUSB_MEM_FLASH, "AB.mp3", "AB.MP3");
    EXPECT_TRUE(shortNameTaken(KSUSB_MEM_FLASH, "AB.MP3"));
    EXPECT_TRUE(shortNameTaken(KSUSB_MEM_FLASH, "AB      .MP3"));
    EXPECT_TRUE(shortNameTaken(KSUSB_MEM_FLASH, "ab.mp3")); // FAT ignores ASCII case
    EXPECT_FALSE(shortNameTaken(KSUSB_MEM_FLASH, "AB.MP"));
    EXPECT_FALSE(shortNameTaken(KSUSB_MEM_FLASH, "AC.MP3"));
    EXPECT_FALSE(shortNameTaken(KSUSB_MEM_CARD, "AB.MP3"));
}

TEST_F(CachedNames, ChooseTakesNextFreeTail) {
    add(KSUSB_MEM_FLASH, "x", "MySong~1.MP3");
    add(KSUSB_MEM_FLASH, "y", "MySong~2.MP3");
    add(KSUSB_MEM_FLASH, "z", "MySong~4.MP3");
    EXPECT_EQ(chooseShortName(KSUSB_MEM_FLASH, "My Song [live].mp3", makeShortName),
              "MySong~3.MP3");
    EXPECT_EQ(chooseShortName(KSUSB_MEM_FLASH, "My Song [live].mp3", makeShortName83),
              "MySong~3.MP3");
    EXPECT_EQ(chooseShortName(KSUSB_MEM_CARD, "My Song [live].mp3", makeShortName), "MySong~1.MP3");
}

TEST_F(CachedNames, ChooseFallsBackToLastCandidate) {
    for (int i = 0; i < 255; ++i)
        add(KSUSB_MEM_FLASH, "f" + std::to_string(i), makeShortName(i, "LongFileName.mp3"));
    EXPECT_EQ(chooseShortName(KSUSB_MEM_FLASH, "LongFileName.mp3", makeShortName), "Long~256.MP3");
}

// A base of at most 8 bytes that is taken (FAT compares without case) takes a tail like a long
// base does, the next free one.
TEST_F(CachedNames, ShortBaseTakenTakesATail) {
    add(KSUSB_MEM_FLASH, "AB.mp3", "AB.MP3");
    EXPECT_EQ(chooseShortName(KSUSB_MEM_FLASH, "ab.mp3", makeShortName83), "ab~1    .MP3");
    add(KSUSB_MEM_FLASH, "x", "AB~1.MP3");
    EXPECT_EQ(chooseShortName(KSUSB_MEM_FLASH, "AB.mp3", makeShortName), "AB~2.MP3");
}

} // namespace
