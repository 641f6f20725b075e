// The memory dump and its hex listing, against a flash made of known bytes.
#include "dump/dump_listing.h"

#include <gtest/gtest.h>

#include <array>
#include <map>
#include <sstream>
#include <string>
#include <vector>

using namespace dumplisting;

namespace {

// A flash whose byte at address a is (a & 0xFF), with spare areas 0xA0..0xAF, recording reads.
struct FakeFlash {
    std::vector<std::pair<uint32_t, char>> reads;
    std::optional<uint32_t> failAt;

    bool operator()(uint32_t address, unsigned char op, uint8_t *out) {
        reads.emplace_back(address, char(op));
        if (failAt && *failAt == address)
            return false;
        if (op == 'r')
            for (size_t i = 0; i < kChunk; ++i)
                out[i] = uint8_t(address + i);
        else if (op == 's')
            for (size_t i = 0; i < kSpare; ++i)
                out[i] = uint8_t(0xA0 + i);
        return true;
    }
};

size_t count(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

} // namespace

struct AddressCase {
    const char *name;
    std::string text;
    uint32_t value;
};
class ParseAddress : public testing::TestWithParam<AddressCase> {};
TEST_P(ParseAddress, ReadsFromTheEndFourBitsPerCharacter) {
    EXPECT_EQ(parseAddress(GetParam().text), GetParam().value);
}
INSTANTIATE_TEST_SUITE_P(Dump, ParseAddress,
                         testing::Values(AddressCase{"prefixed", "0x00000200", 0x200},
                                         AddressCase{"bare", "400", 0x400},
                                         AddressCase{"lower", "0xabcdef12", 0xABCDEF12},
                                         AddressCase{"junkCountsZero", "1g2", 0x102},
                                         AddressCase{"empty", "", 0},
                                         AddressCase{"onlyLastEight", "123456789", 0x23456789}),
                         [](const auto &row) { return row.param.name; });

TEST(DumpListing, SpareAreaMapsSixteenBytesInOrder) {
    const std::array<uint8_t, kSpare> spare{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,
                                            0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10};
    EXPECT_EQ(spareText(spare), "\r\nSPARE   : ud<01|02|03|04> us<05> bs<06> ba1[0708] "
                                "ecc2<09|0A|0B> ba2[0C0D] ecc1<0E|0F|10>");
}

TEST(DumpListing, ChunkAtSectorStartHasHeaderThenFourRows) {
    std::array<uint8_t, kChunk> data{};
    for (size_t i = 0; i < kChunk; ++i)
        data[i] = uint8_t(i + 0x10);
    data[0x20] = 0xFF; // above 0x7F stays as it is
    const std::string text = listChunk(0x400, data, 512, 32, "<SP>");
    const std::string expected =
        "\r\n\r\nBLOCK:00000000h(00000000d), PAGE:00000002h(00000002d)<SP>"
        "\r\n00000400 : 10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E 1F : ................"
        "\r\n00000410 : 20 21 22 23 24 25 26 27 28 29 2A 2B 2C 2D 2E 2F :  !\"#$%&'()*+,-./"
        "\r\n00000420 : FF 31 32 33 34 35 36 37 38 39 3A 3B 3C 3D 3E 3F : \xFF"
        "123456789:;<=>?"
        "\r\n00000430 : 40 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F : @ABCDEFGHIJKLMNO";
    EXPECT_EQ(text, expected);
}

struct HeaderCase {
    const char *name;
    uint32_t address, sector, cluster;
    std::string header; // empty: no header expected
};
class ChunkHeader : public testing::TestWithParam<HeaderCase> {};
TEST_P(ChunkHeader, BlockAndPageInHexAndDecimal) {
    const auto &c = GetParam();
    const std::array<uint8_t, kChunk> data{};
    const std::string text = listChunk(c.address, data, c.sector, c.cluster, "");
    if (c.header.empty())
        EXPECT_EQ(text.find("BLOCK:"), std::string::npos) << text;
    else
        EXPECT_NE(text.find(c.header), std::string::npos) << text;
}
INSTANTIATE_TEST_SUITE_P(
    Dump, ChunkHeader,
    testing::Values(
        HeaderCase{"midSector", 0x240, 512, 32, ""},
        HeaderCase{"page1Block0", 0x200, 512, 32,
                   "BLOCK:00000000h(00000000d), PAGE:00000001h(00000001d)"},
        HeaderCase{"page32Block1", 32 * 512, 512, 32,
                   "BLOCK:00000001h(00000001d), PAGE:00000020h(00000032d)"},
        HeaderCase{"bigPage", 2048u * 1234, 2048, 64,
                   "BLOCK:00000013h(00000019d), PAGE:000004D2h(00001234d)"},
        // Sectors smaller than a chunk: the third row starts page 3 of its own.
        HeaderCase{"smallSector", 0x40, 32, 4,
                   "\r\n\r\nBLOCK:00000000h(00000000d), PAGE:00000003h(00000003d)\r\n00000060"}),
    [](const auto &row) { return row.param.name; });

TEST(DumpListing, DumpOfTwoSectorsWithSpare) {
    // start 0x200, end 0x400, sector 512: 8 chunks, one spare read, one header (page 1, block 0)
    FakeFlash flash;
    std::ostringstream bin, text;
    std::vector<int> percents;
    DumpRequest request{0x200, 0x400, true, 512, 32};
    const auto result = runDump(request, std::ref(flash), &bin, &text,
                                [&](uint32_t, int percent) { percents.push_back(percent); });
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(result.chunks, 8u);
    EXPECT_EQ(result.spareReads, 1u);
    std::vector<std::pair<uint32_t, char>> expectedReads;
    for (uint32_t a = 0x200; a < 0x400; a += 64) {
        expectedReads.emplace_back(a, 'r');
        if (a == 0x200)
            expectedReads.emplace_back(a, 's');
    }
    EXPECT_EQ(flash.reads, expectedReads);
    EXPECT_EQ(bin.str().size(), 0x200u);
    EXPECT_EQ(uint8_t(bin.str()[0x1FF]), 0xFF);
    const std::string listing = text.str();
    EXPECT_EQ(count(listing, "BLOCK:"), 1u);
    EXPECT_EQ(count(listing, "SPARE   :"), 1u);
    EXPECT_EQ(count(listing, "\r\n00000"), 32u); // 32 rows of 16 bytes
    EXPECT_NE(listing.find("\r\n000003F0 : F0 F1 F2"), std::string::npos);
    EXPECT_EQ(percents.front(), 0);
    EXPECT_EQ(percents.back(), 100);
}

TEST(DumpListing, SpareOffReadsNoSpare) {
    FakeFlash flash;
    std::ostringstream text;
    const auto result = runDump({0x0, 0x400, false, 512, 32}, std::ref(flash), nullptr, &text);
    EXPECT_EQ(result.chunks, 16u);
    EXPECT_EQ(result.spareReads, 0u);
    EXPECT_EQ(count(text.str(), "BLOCK:"), 2u);
    EXPECT_EQ(count(text.str(), "SPARE"), 0u);
}

TEST(DumpListing, FailedReadStopsTheLoop) {
    FakeFlash flash;
    flash.failAt = 0x280;
    std::ostringstream bin;
    const auto result = runDump({0x200, 0x400, false, 512, 32}, std::ref(flash), &bin, nullptr);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.failedAt, 0x280u);
    EXPECT_EQ(result.chunks, 2u);
    EXPECT_EQ(bin.str().size(), 128u);
    EXPECT_EQ(flash.reads.back().first, 0x280u);
}

TEST(DumpListing, DumpAtTheTopOfTheAddressRangeEnds) {
    FakeFlash flash;
    const auto result =
        runDump({0xFFFFFF80u, 0xFFFFFFFFu, false, 512, 32}, std::ref(flash), nullptr, nullptr);
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(result.chunks, 2u);
}
