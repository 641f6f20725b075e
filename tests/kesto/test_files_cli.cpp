// kesto ls/rm/mv/order/format as a black box against a running tunara-vplayer whose memories
// are FAT images made by mkfs.fat and mcopy. mdir and fsck.fat judge the images: what kesto
// lists must be what mdir lists, and after every change fsck.fat -n must find the image clean.
#include "json_fields.h"
#include "vplayer_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using kestousb::test::JsonFields;
using kestousb::test::readJsonList;
using kestousb::test::scratchPath;
using kestousb::test::VplayerProcess;
using JsonObject = JsonFields;

namespace {

struct Result {
    int exit = -1;
    std::string out, err;
};

std::string readAll(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string quote(const std::string &s) {
    std::string out = "'";
    for (const char c : s)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// Runs a shell command line with stdin from /dev/null; stdout and stderr captured.
Result shell(const std::string &line, const fs::path &scratch) {
    const fs::path out = scratch / "cmd.out", err = scratch / "cmd.err";
    const std::string full =
        line + " </dev/null >" + quote(out.string()) + " 2>" + quote(err.string());
    const int status = std::system(full.c_str());
    Result r;
    r.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = readAll(out);
    r.err = readAll(err);
    return r;
}

// ---- mdir's listing ---------------------------------------------------------------------------

struct MdirEntry {
    std::string shortName; // "MYSONG~1 MP3" as mdir shows it
    std::string size, date, time, longName;
};

struct MdirListing {
    std::vector<MdirEntry> files;
    std::string freeBytes;
};

MdirListing parseMdir(const std::string &text) {
    static const std::regex line(R"(^(.+?) +(\d+) (\d{4}-\d\d-\d\d) +(\d+:\d\d) *(.*)$)");
    static const std::regex freeLine(R"(^ +([\d ]+) bytes free$)");
    MdirListing listing;
    std::istringstream in(text);
    std::string l;
    std::smatch m;
    while (std::getline(in, l)) {
        if (std::regex_match(l, m, freeLine)) {
            for (const char c : m[1].str())
                if (c != ' ')
                    listing.freeBytes += c;
        } else if (std::regex_match(l, m, line)) {
            listing.files.push_back({m[1], m[2], m[3], m[4], m[5]});
        }
    }
    return listing;
}

std::string upperAscii(std::string s) {
    for (char &c : s)
        if (c >= 'a' && c <= 'z')
            c = char(c - 'a' + 'A');
    return s;
}

// ---- the fixture: a state folder with two mcopy-made images and a running virtual player ----

struct SeedFile {
    std::string name;
    size_t size;
    const char *stamp; // local modification time; mcopy -m keeps it
};

class FilesCli : public testing::Test {
protected:
    void SetUp() override {
        const auto *info = testing::UnitTest::GetInstance()->current_test_info();
        m_dir = scratchPath("kesto_files", info->name());
        fs::remove_all(m_dir);
        fs::create_directories(m_dir / "seed");
        setenv("MTOOLS_SKIP_CHECK", "1", 1);
        setenv("LC_ALL", "C.UTF-8", 1);

        // flash: FAT12 (2 MiB); card: FAT16 (16 MiB).
        makeImage("flash.img", "-F 12", 2048);
        makeImage("card.img", "-F 16", 16384);
        const std::vector<SeedFile> seeds = {
            {"My Song [live].mp3", 4000, "2021-03-04 05:06:08"},
            {"ABC.MP3", 1, "2019-12-31 23:59:58"},
            {"Gr\xC3\xBC\xC3\x9F"
             "e aus K\xC3\xB6ln.mp3",
             70000, "2020-02-29 12:00:00"},
            {"readme", 0, "2010-01-01 00:00:00"},
            {"A rather long file name that takes several long-name records 01.mp3", 513,
             "2024-07-08 09:10:12"},
            // mtools stores characters of the basic plane only
            {"\xE2\x82\xAC uro \xE2\x99\xAA note.wav", 2048, "2022-11-11 11:11:10"},
        };
        for (const auto &seed : seeds)
            writeSeed(seed);
        for (const auto &img : {"flash.img", "card.img"})
            copySeeds(img, seeds);
        startPlayer();
    }

    void TearDown() override {
        stopPlayer();
        fs::remove_all(m_dir);
    }

    void stopPlayer() { m_player.reset(); }

    void makeImage(const std::string &name, const std::string &fatType, int kib) {
        const Result r = shell(std::string(MKFS_FAT_BIN) + " " + fatType + " -C " +
                                   quote((m_dir / name).string()) + " " + std::to_string(kib),
                               m_dir);
        ASSERT_EQ(r.exit, 0) << r.err;
    }

    // The local file for a seed, named as it will be on the player, with its date.
    void writeSeed(const SeedFile &s) {
        const fs::path local = m_dir / "seed" / s.name;
        {
            std::ofstream out(local, std::ios::binary | std::ios::trunc);
            for (size_t k = 0; k < s.size; ++k)
                out.put(char('a' + k % 26));
        }
        // mcopy -m keeps the modification time, taken as local time like touch -d does.
        std::tm tm{};
        ASSERT_TRUE(strptime(s.stamp, "%Y-%m-%d %H:%M:%S", &tm)) << s.stamp;
        tm.tm_isdst = -1;
        const timespec times[2] = {{std::mktime(&tm), 0}, {std::mktime(&tm), 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, local.c_str(), times, 0), 0);
    }

    // One mcopy for all seeds, in their order (the directory order is the play order).
    void copySeeds(const std::string &image, const std::vector<SeedFile> &seeds) {
        std::string line = std::string(MCOPY_BIN) + " -m -i " + quote((m_dir / image).string());
        for (const auto &s : seeds)
            line += " " + quote((m_dir / "seed" / s.name).string());
        const Result r = shell(line + " ::", m_dir);
        ASSERT_EQ(r.exit, 0) << r.err;
    }

    void startPlayer() {
        m_player = std::make_unique<VplayerProcess>(VPLAYER_BIN, m_dir.string());
        ASSERT_TRUE(m_player->started()) << m_player->log();
        setenv("KESTOUSB_USBIP", m_player->address().c_str(), 1);
    }

    Result kesto(const std::string &args) {
        return shell(std::string(KESTO_BIN) + " " + args, m_dir);
    }

    Result ctl(const std::string &args) {
        return shell(
            std::string(VPLAYER_BIN) + " ctl --state " + quote(m_dir.string()) + " " + args, m_dir);
    }

    std::string image(char mem) const {
        return (m_dir / (mem == 'M' ? "flash.img" : "card.img")).string();
    }

    // kesto ls --json, parsed.
    std::vector<JsonObject> list(char mem, JsonObject *top = nullptr) {
        const Result r = kesto(std::string("ls ") + mem + " --json");
        EXPECT_EQ(r.exit, 0) << r.err;
        JsonObject t;
        std::vector<JsonObject> files;
        EXPECT_TRUE(readJsonList(r.out, "files", t, files)) << r.out;
        if (top)
            *top = t;
        return files;
    }

    // What kesto lists must be what mdir lists, in the same order; and fsck.fat finds the
    // image clean.
    void expectAgreesWithMdir(char mem) {
        SCOPED_TRACE(std::string("memory ") + mem);
        JsonObject top;
        const auto files = list(mem, &top);
        const Result m = shell(std::string(MDIR_BIN) + " -i " + quote(image(mem)) + " ::", m_dir);
        ASSERT_EQ(m.exit == 0 || files.empty(), true) << m.err;
        const MdirListing listing = parseMdir(m.out);
        ASSERT_EQ(files.size(), listing.files.size()) << m.out;
        EXPECT_EQ(top["free"], listing.freeBytes);
        for (size_t i = 0; i < files.size(); ++i) {
            const auto &k = files[i];
            const auto &d = listing.files[i];
            SCOPED_TRACE("entry " + std::to_string(i + 1) + ": " + k.at("name"));
            EXPECT_EQ(k.at("order"), std::to_string(i + 1));
            if (!d.longName.empty()) {
                EXPECT_EQ(k.at("name"), d.longName);
            } else {
                // No long name: kesto shows the 8.3 name ("README."); mdir shows the record's
                // bytes with its lower-case hint ("readme").
                std::istringstream parts(d.shortName);
                std::string base, ext;
                parts >> base >> ext;
                EXPECT_EQ(upperAscii(k.at("name")), upperAscii(base + "." + ext));
            }
            EXPECT_EQ(k.at("size"), d.size);
            EXPECT_EQ(k.at("date"), d.date);
            std::string hm = d.time.size() == 4 ? "0" + d.time : d.time;
            EXPECT_EQ(k.at("time").substr(0, 5), hm);
        }
        const Result f = shell(std::string(FSCK_FAT_BIN) + " -n " + quote(image(mem)), m_dir);
        EXPECT_EQ(f.exit, 0) << f.out << f.err;
    }

    fs::path m_dir;
    std::unique_ptr<VplayerProcess> m_player;
};

TEST_F(FilesCli, ListingMatchesMdir) {
    expectAgreesWithMdir('M');
    expectAgreesWithMdir('S');
    const auto files = list('M');
    ASSERT_EQ(files.size(), 6u);
    EXPECT_EQ(files[0].at("name"), "My Song [live].mp3");
    EXPECT_EQ(files[0].at("name83"), "MYSONG~1.MP3");
    EXPECT_EQ(files[0].at("time"), "05:06:08");
    EXPECT_EQ(files[0].at("attr"), "-----A");
    EXPECT_EQ(files[3].at("name"), "README.");
    EXPECT_EQ(files[4].at("name"),
              "A rather long file name that takes several long-name records 01.mp3");
    EXPECT_EQ(files[5].at("name"), "\xE2\x82\xAC uro \xE2\x99\xAA note.wav");
}

TEST_F(FilesCli, TextListingShowsTotals) {
    const Result r = kesto("ls M");
    ASSERT_EQ(r.exit, 0) << r.err;
    EXPECT_NE(r.out.find("My Song [live].mp3"), std::string::npos);
    EXPECT_NE(r.out.find("MYSONG~1.MP3"), std::string::npos);
    EXPECT_NE(r.out.find("2021-03-04 05:06:08"), std::string::npos);
    EXPECT_NE(r.out.find("M (flash): 6 file(s), total "), std::string::npos) << r.out;
}

// Columns a terminal gives UTF-8 text: Hangul syllables two, combining accents none, the rest
// one (the names below hold nothing else).
size_t terminalColumns(const std::string &s) {
    size_t columns = 0;
    for (size_t i = 0; i < s.size();) {
        const auto lead = static_cast<unsigned char>(s[i]);
        const size_t len = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        char32_t c = len == 1 ? lead : lead & (0xFF >> (len + 1));
        for (size_t k = 1; k < len && i + k < s.size(); ++k)
            c = c << 6 | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        columns += c >= 0x0300 && c <= 0x036F ? 0 : c >= 0xAC00 && c <= 0xD7A3 ? 2 : 1;
        i += len;
    }
    return columns;
}

// Names of wide characters and of combining accents line up with the others in the text listing:
// every row's last column (the attributes) starts where the header's does.
TEST_F(FilesCli, TextListingPadsByDisplayWidth) {
    stopPlayer();
    const std::vector<SeedFile> wide = {
        {"\xED\x95\x9C\xEA\xB5\xAD \xEB\x85\xB8\xEB\x9E\x98.mp3", 10, "2020-01-01 00:00:00"},
        {"Cafe\xCC\x81 e\xCC\x81te\xCC\x81.mp3", 10, "2020-01-01 00:00:00"}};
    for (const auto &seed : wide)
        writeSeed(seed);
    copySeeds("flash.img", wide);
    startPlayer();
    const Result r = kesto("ls M");
    ASSERT_EQ(r.exit, 0) << r.err;
    std::istringstream lines(r.out);
    std::vector<size_t> starts;
    for (std::string line; std::getline(lines, line) && !line.starts_with("M (flash)");)
        starts.push_back(terminalColumns(line.substr(0, line.rfind(' ') + 1)));
    ASSERT_EQ(starts.size(), 9u) << r.out;
    for (size_t k = 1; k < starts.size(); ++k)
        EXPECT_EQ(starts[k], starts[0]) << "row " << k << " of\n" << r.out;
}

TEST_F(FilesCli, ChangesKeepImagesCleanAndAgreeWithMdir) {
    // rename to a long name, rename with the padded 8.3 form, reorder, delete
    Result r = kesto("mv M 'My Song [live].mp3' 'My Song [live] - remastered edition.mp3'");
    ASSERT_EQ(r.exit, 0) << r.err;
    expectAgreesWithMdir('M');
    r = kesto("mv M ABC.MP3 ab.mp3 --83");
    ASSERT_EQ(r.exit, 0) << r.err;
    expectAgreesWithMdir('M');
    r = kesto("order M 'A rather long file name that takes several long-name records 01.mp3' 1");
    ASSERT_EQ(r.exit, 0) << r.err;
    r = kesto("order M README. 99"); // past the end: last
    ASSERT_EQ(r.exit, 0) << r.err;
    expectAgreesWithMdir('M');
    r = kesto("rm M 'A rather long file name that takes several long-name records 01.mp3'");
    ASSERT_EQ(r.exit, 0) << r.err;
    // a new name longer than 80 bytes is cut, keeping the extension
    const std::string longName = std::string(90, 'z') + ".mp3";
    r = kesto("mv M ab.mp3 " + longName);
    ASSERT_EQ(r.exit, 0) << r.err;
    expectAgreesWithMdir('M');

    // Files whose 8.3 names mcopy wrote with code-page bytes: the library sends those bytes back
    // as it read them; the new short name it makes is ASCII.
    r = kesto("mv M 'Gr\xC3\xBC\xC3\x9F"
              "e aus K\xC3\xB6ln.mp3' 'Stra\xC3\x9F"
              "e \xC3\xB1.mp3'");
    ASSERT_EQ(r.exit, 0) << r.err;
    r = kesto("rm M '\xE2\x82\xAC uro \xE2\x99\xAA note.wav'");
    ASSERT_EQ(r.exit, 0) << r.err;
    expectAgreesWithMdir('M');

    const auto files = list('M');
    ASSERT_EQ(files.size(), 4u);
    EXPECT_EQ(files[0].at("name"), "My Song [live] - remastered edition.mp3");
    EXPECT_EQ(files[0].at("name83"), "MySong~2.MP3"); // ~1 was its own old name
    EXPECT_EQ(files[1].at("name"), std::string(76, 'z') + ".mp3");
    EXPECT_EQ(files[2].at("name"), "Stra\xC3\x9F"
                                   "e \xC3\xB1.mp3");
    EXPECT_EQ(files[2].at("name83"), "Stra_e~1.MP3");
    EXPECT_EQ(files[3].at("name"), "README.");
    // the card was not touched
    EXPECT_EQ(list('S').size(), 6u);
}

TEST_F(FilesCli, FormatEmptiesTheMemory) {
    Result r = kesto("format S");
    EXPECT_EQ(r.exit, 2); // no terminal and no --yes: refused
    EXPECT_EQ(list('S').size(), 6u);
    r = kesto("format S --yes");
    ASSERT_EQ(r.exit, 0) << r.err;
    EXPECT_TRUE(list('S').empty());
    expectAgreesWithMdir('S');
    EXPECT_EQ(list('M').size(), 6u);
    // the fresh memory takes names again
    r = kesto("format M --yes");
    ASSERT_EQ(r.exit, 0) << r.err;
    expectAgreesWithMdir('M');
}

// 256 files are more than a table holds: the library fails without a code of its own, and kesto
// says what happened instead of showing a stale code.
TEST_F(FilesCli, TooManyFilesIsReportedInWords) {
    stopPlayer();
    std::vector<SeedFile> more;
    for (int i = 0; i < 250; ++i)
        more.push_back({"F" + std::to_string(1000 + i) + ".TXT", 1, "2020-01-01 00:00:00"});
    for (const auto &s : more)
        writeSeed(s);
    copySeeds("flash.img", more);
    startPlayer();
    const Result r = kesto("ls M");
    EXPECT_EQ(r.exit, 1);
    EXPECT_EQ(r.err.rfind("kesto ls: the flash memory holds more files than a table can list", 0),
              0u)
        << r.err;
    // One file fewer and it lists again.
    stopPlayer();
    ASSERT_EQ(
        shell(std::string(MDEL_BIN) + " -i " + quote(image('M')) + " ::F1000.TXT", m_dir).exit, 0);
    startPlayer();
    EXPECT_EQ(list('M').size(), 255u);
}

// ABC.MP3 has no long name. A file put or renamed to a name with the short base "abc" must not
// get the short name "abc.MP3": FAT compares 8.3 names without case, so the directory would hold
// the same name twice. It takes a "~N" tail instead; both files stay readable and the image clean.
struct TakenShortCase {
    const char *label;
    char mem;
    const char *args;     // kesto's arguments; NEW stands for the folder of new local files
    const char *source;   // the local file whose bytes the new entry holds: NEW/... or a seed
    const char *newShort; // the new entry's 8.3 name, upper case
};
class TakenShortName : public FilesCli, public testing::WithParamInterface<TakenShortCase> {};
TEST_P(TakenShortName, GetsATailAndBothFilesStayReadable) {
    const auto &c = GetParam();
    const fs::path fresh = m_dir / "new";
    fs::create_directories(fresh);
    // "a+b+c.mp3": '+' leaves the short base "abc" while the long name differs from ABC.MP3
    // (a long name equal to it but for case gets a free name).
    {
        std::ofstream out(fresh / "a+b+c.mp3", std::ios::binary);
        for (int k = 0; k < 3000; ++k)
            out.put(char('0' + k % 10));
    }
    const auto expand = [&](std::string text) {
        const auto at = text.find("NEW");
        return at == std::string::npos ? text : text.replace(at, 3, fresh.string());
    };
    const Result r = kesto(expand(c.args));
    ASSERT_EQ(r.exit, 0) << r.out << r.err;
    expectAgreesWithMdir(c.mem);

    // No two 8.3 names equal without regard to case.
    const Result m = shell(std::string(MDIR_BIN) + " -i " + quote(image(c.mem)) + " ::", m_dir);
    ASSERT_EQ(m.exit, 0) << m.err;
    std::vector<std::string> shorts;
    for (const auto &e : parseMdir(m.out).files) {
        std::istringstream parts(e.shortName);
        std::string base, ext;
        parts >> base >> ext;
        shorts.push_back(upperAscii(base + "." + ext));
    }
    for (size_t i = 0; i < shorts.size(); ++i)
        for (size_t j = i + 1; j < shorts.size(); ++j)
            EXPECT_NE(shorts[i], shorts[j]) << m.out;
    EXPECT_NE(std::find(shorts.begin(), shorts.end(), c.newShort), shorts.end()) << m.out;

    // Both read back byte for byte through their short names.
    const std::string source = expand(c.source);
    const fs::path expected =
        source.find('/') == std::string::npos ? m_dir / "seed" / source : fs::path(source);
    const std::pair<std::string, fs::path> reads[] = {{"ABC.MP3", m_dir / "seed" / "ABC.MP3"},
                                                      {c.newShort, expected}};
    for (const auto &[name, local] : reads) {
        const fs::path back = m_dir / "back.bin";
        fs::remove(back);
        const Result copy = shell(std::string(MCOPY_BIN) + " -n -i " + quote(image(c.mem)) + " " +
                                      quote("::" + name) + " " + quote(back.string()),
                                  m_dir);
        ASSERT_EQ(copy.exit, 0) << name << ": " << copy.err;
        EXPECT_EQ(readAll(back), readAll(local)) << name;
    }
}
INSTANTIATE_TEST_SUITE_P(
    Names, TakenShortName,
    testing::Values(
        TakenShortCase{"PutOnFlash", 'M', "put -m M NEW/a+b+c.mp3", "NEW/a+b+c.mp3", "ABC~1.MP3"},
        TakenShortCase{"PutOnCard", 'S', "put -m S NEW/a+b+c.mp3", "NEW/a+b+c.mp3", "ABC~1.MP3"},
        // mtools would also find these by their long names "abc.mp3" when asked for ABC.MP3;
        // '+' leaves the short base, so the long names below do not match it.
        TakenShortCase{"RenameOnFlash", 'M', "mv M 'My Song [live].mp3' a+b+c.mp3",
                       "My Song [live].mp3", "ABC~1.MP3"},
        TakenShortCase{"RenamePaddedOnCard", 'S', "mv S 'My Song [live].mp3' A+bc.mp3 --83",
                       "My Song [live].mp3", "ABC~1.MP3"}),
    [](const auto &row) { return std::string(row.param.label); });

// A card whose long-name records hold path characters (VFAT forbids them, but a damaged or
// foreign card can carry anything): kesto get into a folder writes the file inside that folder
// under a safe name, and nothing appears outside it.
struct HostileNameCase {
    const char *label;
    const char *playerName; // patched into the long-name records
    const char *safeName;   // the file that must appear in the folder
};
class HostileName : public FilesCli, public testing::WithParamInterface<HostileNameCase> {
protected:
    // Rewrites the characters of the long name `from` in every long-name record of `image` to
    // those of `to` (same length); the short-name record and the checksum stay as they are.
    static void patchLongName(const std::string &image, const std::u16string &from,
                              const std::u16string &to) {
        static constexpr size_t kOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
        std::fstream f(image, std::ios::in | std::ios::out | std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(f)), {});
        int patched = 0;
        for (size_t at = 0; at + 32 <= bytes.size(); at += 32) {
            auto *r = reinterpret_cast<unsigned char *>(bytes.data() + at);
            if (r[11] != 0x0F || (r[0] & 0x1F) == 0)
                continue;
            const size_t first = size_t((r[0] & 0x1F) - 1) * 13;
            bool match = first < from.size();
            for (size_t k = 0; match && k < 13 && first + k < from.size(); ++k)
                match = (r[kOffsets[k]] | (r[kOffsets[k] + 1] << 8)) == from[first + k];
            if (!match)
                continue;
            for (size_t k = 0; k < 13 && first + k < to.size(); ++k) {
                r[kOffsets[k]] = uint8_t(to[first + k] & 0xFF);
                r[kOffsets[k] + 1] = uint8_t(to[first + k] >> 8);
            }
            ++patched;
        }
        ASSERT_GT(patched, 0) << "no long-name record of the placeholder found";
        f.seekp(0);
        f.write(bytes.data(), std::streamsize(bytes.size()));
    }
    static std::vector<fs::path> allFiles(const fs::path &top) {
        std::vector<fs::path> out;
        for (const auto &e : fs::recursive_directory_iterator(top))
            out.push_back(e.path());
        std::sort(out.begin(), out.end());
        return out;
    }
};
TEST_P(HostileName, GetIntoAFolderStaysInside) {
    const auto &c = GetParam();
    const std::string hostile = c.playerName;
    const std::u16string target(hostile.begin(), hostile.end()); // ASCII
    std::string placeholder(hostile.size() - 4, 'Q');
    placeholder += ".bin";
    stopPlayer();
    writeSeed({placeholder, 5000, "2020-05-05 10:00:00"});
    copySeeds("card.img", {{placeholder, 5000, "2020-05-05 10:00:00"}});
    patchLongName(image('S'), std::u16string(placeholder.begin(), placeholder.end()), target);
    startPlayer();

    // The player serves the name as its records hold it.
    bool listed = false;
    for (const auto &f : list('S'))
        listed = listed || f.at("name") == hostile;
    ASSERT_TRUE(listed) << "the virtual player does not serve the patched name";

    const fs::path folder = m_dir / "out" / "deep";
    fs::create_directories(folder);
    const bool absolute = fs::path(hostile).is_absolute();
    if (absolute)
        fs::remove(hostile);
    kesto("ls S"); // leaves its cmd.out / cmd.err, as the get below does
    const auto before = allFiles(m_dir);
    const Result r = kesto("get -m S " + quote(hostile) + " " + quote(folder.string() + "/"));
    ASSERT_EQ(r.exit, 0) << r.out << r.err;
    EXPECT_EQ(readAll(folder / c.safeName), readAll(m_dir / "seed" / placeholder));
    auto after = allFiles(m_dir);
    std::erase(after, folder / c.safeName);
    EXPECT_EQ(after, before) << "a file appeared outside " << folder;
    if (absolute) {
        EXPECT_FALSE(fs::exists(hostile)) << "the name was used as a path";
        fs::remove(hostile);
    }
}
INSTANTIATE_TEST_SUITE_P(
    Names, HostileName,
    testing::Values(HostileNameCase{"ParentFolders", "../../escape.bin", ".._.._escape.bin"},
                    HostileNameCase{"AbsolutePath", "/tmp/kesto-absolute-escape.bin",
                                    "_tmp_kesto-absolute-escape.bin"}),
    [](const auto &row) { return std::string(row.param.label); });

struct FailureCase {
    const char *label;
    const char *setup; // a ctl command, or ""
    const char *undo;  // the ctl command that restores the player afterwards, or ""
    const char *args;  // '@' stands for the test's folder, here and in stderrStart
    int exit;
    const char *stderrStart;
    enum class Local { None, Socket, Folder } local = Local::None;
    const char *localPath = "";   // in the test's folder; stays what it was
    const char *stdoutStart = ""; // what stdout starts with when the command succeeds
};

// `text` with every '@' replaced by `folder`.
std::string inFolder(const std::string &text, const fs::path &folder) {
    std::string out;
    for (const char c : text)
        out += c == '@' ? folder.string() : std::string(1, c);
    return out;
}

class FilesCliFailures : public FilesCli, public testing::WithParamInterface<FailureCase> {};

TEST_P(FilesCliFailures, ExitAndMessage) {
    const auto &c = GetParam();
    if (*c.setup) {
        ASSERT_EQ(ctl(c.setup).exit, 0);
    }
    const fs::path local = m_dir / c.localPath;
    if (c.local == FailureCase::Local::Folder) {
        fs::create_directories(local);
    } else if (c.local == FailureCase::Local::Socket) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        ASSERT_LT(local.string().size(), sizeof address.sun_path);
        std::memcpy(address.sun_path, local.c_str(), local.string().size());
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        ::close(fd);
    }
    const Result r = kesto(inFolder(c.args, m_dir));
    if (*c.undo) {
        ASSERT_EQ(ctl(c.undo).exit, 0);
    }
    EXPECT_EQ(r.exit, c.exit) << r.out << r.err;
    EXPECT_EQ(r.err.rfind(inFolder(c.stderrStart, m_dir), 0), 0u) << r.err;
    if (c.local == FailureCase::Local::Folder) {
        EXPECT_TRUE(fs::is_directory(local));
        EXPECT_TRUE(fs::is_empty(local));
    } else if (c.local == FailureCase::Local::Socket) {
        EXPECT_TRUE(fs::is_socket(local));
    }
    if (c.exit != 0) {
        EXPECT_TRUE(r.out.empty()) << r.out;
    }
    EXPECT_EQ(r.out.rfind(c.stdoutStart, 0), 0u) << r.out;
    // nothing on the images changed
    expectAgreesWithMdir('M');
    expectAgreesWithMdir('S');
    EXPECT_EQ(list('M').size(), 6u);
}

INSTANTIATE_TEST_SUITE_P(
    Errors, FilesCliFailures,
    testing::Values(
        FailureCase{"RemoveUnknown", "", "", "rm M nope.mp3", 1, "kesto rm: error -11 "},
        FailureCase{"RenameUnknown", "", "", "mv S nope.mp3 x.mp3", 1, "kesto mv: error -11 "},
        FailureCase{"RenameOntoExisting", "", "", "mv M ABC.MP3 'My Song [live].mp3'", 1,
                    "kesto mv: error -10 "},
        FailureCase{"OrderUnknown", "", "", "order M nope.mp3 1", 1, "kesto order: error -11 "},
        FailureCase{"ProtectedCardDelete", "protect on", "protect off", "rm S ABC.MP3", 1,
                    "kesto rm: error -61 "},
        FailureCase{"ProtectedCardRename", "protect on", "protect off", "mv S ABC.MP3 x.mp3", 1,
                    "kesto mv: error -61 "},
        FailureCase{"ProtectedCardFormat", "protect on", "protect off", "format S --yes", 1,
                    "kesto format: error -61 "},
        FailureCase{"NoCard", "card out", "card in", "ls S", 1, "kesto ls: no memory card"},
        FailureCase{"BadMemory", "", "", "ls X", 2, "kesto ls: "},
        FailureCase{"PositionZero", "", "", "order M ABC.MP3 0", 2, "kesto order: "},
        FailureCase{"PositionTooLarge", "", "", "order M ABC.MP3 256", 2, "kesto order: "},
        FailureCase{"UnknownOption", "", "", "mv M a b --84", 2, "kesto mv: "},
        FailureCase{"MissingOperand", "", "", "rm M", 2, "kesto rm: "},
        // Options are checked before the player is: an unknown one is no file name.
        FailureCase{"PutUnknownOption", "", "", "put --bogus @/seed/ABC.MP3", 2,
                    "kesto put: unknown option --bogus\nUsage: kesto put "},
        FailureCase{"PutUnknownOptionWithValue", "", "", "put --loudness track", 2,
                    "kesto put: unknown option --loudness\nUsage: kesto put "},
        FailureCase{"GetUnknownOption", "", "", "get --bogus ABC.MP3 @/x.mp3", 2,
                    "kesto get: unknown option --bogus\nUsage: kesto get "},
        FailureCase{"BitRateBeyondInt", "", "", "put --bitrate 4294967488 @/seed/ABC.MP3", 2,
                    "kesto put: --bitrate takes an MP3 bit rate in kbit/s "},
        FailureCase{"PutEmptyFolder", "", "", "put @/empty", 1,
                    "kesto put: no audio files in @/empty\n", FailureCase::Local::Folder, "empty"},
        // Every verb's --help prints its help; none touches the player (format least of all).
        FailureCase{.label = "SyncHelp",
                    .setup = "",
                    .undo = "",
                    .args = "sync --help",
                    .exit = 0,
                    .stderrStart = "",
                    .stdoutStart = "Usage: kesto sync SOURCE... M|S"},
        FailureCase{.label = "PutHelp",
                    .setup = "",
                    .undo = "",
                    .args = "put @/x.mp3 --help",
                    .exit = 0,
                    .stderrStart = "",
                    .stdoutStart = "Usage: kesto put [-m M|S]"},
        FailureCase{.label = "FormatHelp",
                    .setup = "",
                    .undo = "",
                    .args = "format M --yes --help",
                    .exit = 0,
                    .stderrStart = "",
                    .stdoutStart = "Usage: kesto format M|S"},
        FailureCase{.label = "LsHelp",
                    .setup = "",
                    .undo = "",
                    .args = "ls --help",
                    .exit = 0,
                    .stderrStart = "",
                    .stdoutStart = "Usage: kesto ls M|S"},
        // A destination no file can replace is refused, and left as it was.
        FailureCase{"GetOntoASocket", "", "", "get -m M ABC.MP3 @/sock", 1,
                    "kesto get: @/sock: error -42 (KSUSB_ERR_OPEN_FILE): Can't open a file\n"
                    "kesto get: @/sock is a socket; only a file, a character device or a pipe "
                    "can take the upload\n",
                    FailureCase::Local::Socket, "sock"},
        FailureCase{"GetOntoAFolder", "", "", "get -m M ABC.MP3 @/in", 1,
                    "kesto get: @/in/ABC.MP3: error -42 (KSUSB_ERR_OPEN_FILE): Can't open a file\n"
                    "kesto get: @/in/ABC.MP3 is a folder; only a file, a character device or a "
                    "pipe can take the upload\n",
                    FailureCase::Local::Folder, "in/ABC.MP3"}),
    [](const auto &row) { return std::string(row.param.label); });

} // namespace
