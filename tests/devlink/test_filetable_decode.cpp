// Decoding the 'G' table data: the record layout, long names, the end of the list, and table data
// from a device that does not keep to the rules.
#include "tabledecoder.h"
#include "test_filetable_records.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

using namespace kestousb;
using tabletest::FileRecord;

namespace {

std::unique_ptr<KSUSB_TOpenTable> freshTable() {
    auto t = std::make_unique<KSUSB_TOpenTable>();
    std::memset(t.get(), 0xAB, sizeof *t); // decode must not rely on a cleared record
    return t;
}

TableDecode decode(std::vector<uint8_t> data, KSUSB_TOpenTable &t) {
    const size_t p = tabletest::finish(data);
    return decodeTable(data, p, t);
}

TEST(DecodeTable, EmptyTableSetsTotalAndFree) {
    auto t = freshTable();
    ASSERT_EQ(decode(tabletest::tableRecords(0x01020304, 0x00A0B0C0, {}), *t), TableDecode::Ok);
    EXPECT_EQ(t->total, 0x01020304u);
    EXPECT_EQ(t->free, 0x00A0B0C0u);
    EXPECT_EQ(t->count, 0);
}

TEST(DecodeTable, EntryFieldsFromTheShortRecord) {
    FileRecord f;
    f.shortName = "SONG    MP3";
    f.attr = 0x21;
    f.time = 0x7BE0;
    f.date = 0x5A3F;
    f.cluster = 0x1234;
    f.size = 0x00ABCDEF;
    f.rawFill = 0x5C;
    auto t = freshTable();
    ASSERT_EQ(decode(tabletest::tableRecords(1, 2, {f}), *t), TableDecode::Ok);
    ASSERT_EQ(t->count, 1);
    const auto &e = t->entries[0];
    EXPECT_STREQ(e.name83, "SONG.MP3");
    EXPECT_STREQ(e.name, "SONG.MP3"); // no long name: the short name stands in
    EXPECT_EQ(e.attr, 0x21);
    for (const auto b : e.rawTimes)
        EXPECT_EQ(b, 0x5C);
    EXPECT_EQ(e.time, 0x7BE0);
    EXPECT_EQ(e.date, 0x5A3F);
    EXPECT_EQ(e.cluster, 0x3412); // record bytes 26/27 taken big-endian
    EXPECT_EQ(e.size, 0x00ABCDEFu);
}

struct NameCase {
    const char *label;
    std::u16string longName;
    const char *shortName;
    const char *name;
    const char *name83;
};

class DecodeNames : public testing::TestWithParam<NameCase> {};

TEST_P(DecodeNames, NameAndShortName) {
    const auto &c = GetParam();
    FileRecord before, f, after;
    before.shortName = "BEFORE  TXT";
    f.longName = c.longName;
    f.shortName = c.shortName;
    after.longName = u"after.txt";
    after.shortName = "AFTER   TXT";
    auto t = freshTable();
    ASSERT_EQ(decode(tabletest::tableRecords(1, 2, {before, f, after}), *t), TableDecode::Ok);
    ASSERT_EQ(t->count, 3);
    EXPECT_STREQ(t->entries[1].name, c.name);
    EXPECT_STREQ(t->entries[1].name83, c.name83);
    EXPECT_STREQ(t->entries[0].name, "BEFORE.TXT");
    EXPECT_STREQ(t->entries[2].name, "after.txt");
}

INSTANTIATE_TEST_SUITE_P(
    Names, DecodeNames,
    testing::Values(
        NameCase{"NoLongName", u"", "PLAIN   MP3", "PLAIN.MP3", "PLAIN.MP3"},
        NameCase{"ReadmeWithoutExtension", u"", "README     ", "README.", "README."},
        NameCase{"OneRecord", u"a.mp3", "A       MP3", "a.mp3", "A.MP3"},
        NameCase{"ExactlyThirteenUnits", u"abcdefghi.mp3", "ABCDEF~1MP3", "abcdefghi.mp3",
                 "ABCDEF~1.MP3"},
        NameCase{"TwoRecords", u"My Song [live].mp3", "MYSONG~1MP3", "My Song [live].mp3",
                 "MYSONG~1.MP3"},
        NameCase{"ThreeRecordsInOrder", u"0123456789abcdefghijklmnopqrstuvwxyz.mp3", "012345~1MP3",
                 "0123456789abcdefghijklmnopqrstuvwxyz.mp3", "012345~1.MP3"},
        NameCase{"NonAscii", u"Gr\u00FC\u00DFe \u20AC.mp3", "GRE~1   MP3",
                 "Gr\xC3\xBC\xC3\x9F"
                 "e \xE2\x82\xAC.mp3",
                 "GRE~1.MP3"},
        NameCase{"SurrogatePair", u"\xD83C\xDFB5.mp3", "_~1     MP3", "\xF0\x9F\x8E\xB5.mp3",
                 "_~1.MP3"},
        NameCase{"LoneSurrogateReplaced", u"a\xD800z.mp3", "AZ~1    MP3", "a\xEF\xBF\xBDz.mp3",
                 "AZ~1.MP3"},
        NameCase{"ShortBytesKeptRaw", u"", "\xE9T\xC9     TXT", "\xE9T\xC9.TXT", "\xE9T\xC9.TXT"},
        NameCase{"SpaceInsideBaseEndsIt", u"", "AB CD   MP3", "AB.MP3", "AB.MP3"}),
    [](const auto &row) { return std::string(row.param.label); });

TEST(DecodeTable, EndStampEndsListEvenWithMoreData) {
    FileRecord a, end, b;
    a.shortName = "A       MP3";
    end.shortName = "END     MP3";
    end.date = 0xFFFF;
    end.time = 0xFFFF;
    b.shortName = "B       MP3";
    auto t = freshTable();
    ASSERT_EQ(decode(tabletest::tableRecords(1, 2, {a, end, b}), *t), TableDecode::Ok);
    EXPECT_EQ(t->count, 1);
    EXPECT_STREQ(t->entries[0].name, "A.MP3");
}

TEST(DecodeTable, OnlyDateOrOnlyTimeFFFFDoesNotEnd) {
    FileRecord a, b;
    a.date = 0xFFFF;
    b.time = 0xFFFF;
    auto t = freshTable();
    ASSERT_EQ(decode(tabletest::tableRecords(1, 2, {a, b}), *t), TableDecode::Ok);
    EXPECT_EQ(t->count, 2);
}

std::vector<FileRecord> manyFiles(size_t n) {
    std::vector<FileRecord> files(n);
    for (size_t k = 0; k < n; ++k) {
        char shortName[32];
        std::snprintf(shortName, sizeof shortName, "F%05u  MP3", unsigned(k));
        files[k].shortName = shortName;
    }
    return files;
}

TEST(DecodeTable, TwoHundredFiftyFiveEntriesFit) {
    auto t = freshTable();
    ASSERT_EQ(decode(tabletest::tableRecords(1, 2, manyFiles(255)), *t), TableDecode::Ok);
    EXPECT_EQ(t->count, 255);
    EXPECT_STREQ(t->entries[254].name, "F00254.MP3");
}

TEST(DecodeTable, TheTwoHundredFiftySixthEntryFails) {
    auto t = freshTable();
    EXPECT_EQ(decode(tabletest::tableRecords(1, 2, manyFiles(256)), *t),
              TableDecode::TooManyEntries);
    EXPECT_EQ(t->count, 0);
    // A 257th record is never read: it would lie past the 256 entries.
    auto u = freshTable();
    EXPECT_EQ(decode(tabletest::tableRecords(1, 2, manyFiles(300)), *u),
              TableDecode::TooManyEntries);
}

// ---- untrusted table data -------------------------------------------------------------------

TEST(DecodeTable, MissingClosingMark) {
    auto data = tabletest::tableRecords(1, 2, {FileRecord{}});
    const size_t p = tabletest::finish(data);
    data[p] = 0;
    auto t = freshTable();
    EXPECT_EQ(decodeTable(data, p, *t), TableDecode::NoClosingMark);
}

struct LengthCase {
    const char *label;
    size_t p;
    size_t bufferSize;
    TableDecode expected;
};

class DecodeLength : public testing::TestWithParam<LengthCase> {};

// Every byte up to P is a valid record byte pattern; only P and the buffer decide.
TEST_P(DecodeLength, Bounds) {
    const auto &c = GetParam();
    std::vector<uint8_t> data(c.bufferSize, 0x20);
    if (c.p < data.size())
        data[c.p] = '.';
    auto t = freshTable();
    EXPECT_EQ(decodeTable(data, c.p, *t), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Untrusted, DecodeLength,
    testing::Values(LengthCase{"ShorterThanHeader", 7, 64, TableDecode::Malformed},
                    LengthCase{"ZeroLength", 0, 64, TableDecode::Malformed},
                    LengthCase{"PastTheBuffer", 49152, 49152 + 64, TableDecode::Malformed},
                    LengthCase{"MarkOutsideData", 100, 100, TableDecode::Malformed},
                    LengthCase{"RaggedTail", 8 + 32 + 5, 128, TableDecode::Malformed},
                    LengthCase{"HeaderPlusFragment", 8 + 31, 64, TableDecode::Malformed},
                    LengthCase{"LargestLength", 49151, 49152, TableDecode::TooManyEntries}),
    [](const auto &row) { return std::string(row.param.label); });

TEST(DecodeTable, RaggedTailKeepsWholeRecordsDecoded) {
    auto data = tabletest::tableRecords(1, 2, {FileRecord{}, FileRecord{}});
    data.resize(data.size() + 7, 0x41);
    const size_t p = tabletest::finish(data);
    auto t = freshTable();
    EXPECT_EQ(decodeTable(data, p, *t), TableDecode::Malformed);
    EXPECT_EQ(t->count, 2);
}

struct LongRunCase {
    const char *label;
    uint8_t firstByte;   // byte 0 of the first long-name record
    size_t recordsAfter; // 32-byte records that follow it in the data
    TableDecode expected;
};

class DecodeLongRun : public testing::TestWithParam<LongRunCase> {};

TEST_P(DecodeLongRun, CountAgainstData) {
    const auto &c = GetParam();
    auto data = tabletest::tableRecords(1, 2, {FileRecord{}});
    std::vector<uint8_t> lfn(32, 0);
    lfn[0] = c.firstByte;
    lfn[11] = 0x0F;
    lfn[1] = 'x';
    data.insert(data.end(), lfn.begin(), lfn.end());
    for (size_t k = 0; k < c.recordsAfter; ++k)
        tabletest::appendRecords(data, FileRecord{});
    auto t = freshTable();
    EXPECT_EQ(decode(data, *t), c.expected);
    EXPECT_GE(t->count, 1); // the file before the bad run stays decoded
    for (size_t i = 0; i < t->count; ++i)
        EXPECT_LT(std::strlen(t->entries[i].name), sizeof t->entries[i].name);
}

INSTANTIATE_TEST_SUITE_P(
    Untrusted, DecodeLongRun,
    testing::Values(LongRunCase{"CountOfZero", 0x40, 2, TableDecode::Malformed},
                    LongRunCase{"FlagMissing", 0x02, 2, TableDecode::Malformed},
                    LongRunCase{"NoShortRecordAfter", 0x41, 0, TableDecode::Malformed},
                    LongRunCase{"RunPastData", 0x45, 3, TableDecode::Malformed},
                    LongRunCase{"LargestCountPastData", 0xFF, 10, TableDecode::Malformed},
                    LongRunCase{"OneRecordThenShort", 0x41, 1, TableDecode::Ok}),
    [](const auto &row) { return std::string(row.param.label); });

// A run of 40 long-name records (520 units) is more than the 255 bytes a name can hold: the
// name is cut at a character boundary, never written past its buffer.
TEST(DecodeTable, OverlongNameIsCutAtCharacterBoundary) {
    FileRecord f;
    f.longName = std::u16string(520, u'\u20AC'); // 3 UTF-8 bytes each
    f.shortName = "EURO~1  MP3";
    FileRecord g;
    g.longName = std::u16string(300, u'a');
    g.shortName = "AAAAAA~1MP3";
    auto t = freshTable();
    ASSERT_EQ(decode(tabletest::tableRecords(1, 2, {f, g}), *t), TableDecode::Ok);
    ASSERT_EQ(t->count, 2);
    EXPECT_EQ(std::strlen(t->entries[0].name), 255u); // 85 characters of 3 bytes
    EXPECT_EQ(std::string(t->entries[1].name), std::string(255, 'a'));
    EXPECT_STREQ(t->entries[1].name83, "AAAAAA~1.MP3");
}

} // namespace
