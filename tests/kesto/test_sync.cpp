// kesto sync, and how the file verbs find and report player names, as a black box against the
// virtual player. mcopy reads the files back out of the player's FAT image.
#include "vplayer_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using kestousb::test::ProcessResult;
using kestousb::test::runProcess;
using kestousb::test::scratchPath;
using kestousb::test::VplayerProcess;

namespace fs = std::filesystem;

namespace {

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const std::string kLongName = std::string(85, 'L') + ".mp3";   // over 80 bytes
const std::string kFittedName = std::string(76, 'L') + ".mp3"; // as the player keeps it

std::string readAll(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// A file of `size` bytes that differ from file to file, modified at `modified` (UTC seconds).
void writeFile(const fs::path &p, size_t size, time_t modified) {
    {
        std::ofstream out(p, std::ios::binary | std::ios::trunc);
        for (size_t k = 0; k < size; ++k)
            out.put(char((k * 7 + p.filename().string().size()) % 251));
    }
    const timespec times[2] = {{modified, 0}, {modified, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, p.c_str(), times, 0), 0) << p;
}

constexpr time_t kMarch2021 = 1614834367; // 2021-03-04 05:06:07 UTC: an odd second
constexpr time_t kBefore1980 = 157766400; // 1975-01-01

class KestoSync : public ::testing::Test {
public:
    explicit KestoSync(std::string stateDir = {}) : player(VPLAYER_PROGRAM, std::move(stateDir)) {}

    void SetUp() override {
        ASSERT_TRUE(player.started());
        fs::create_directories(folder);
        writeFile(folder / "b song.mp3", 30000, kMarch2021);
        writeFile(folder / "a.mp3", 1000, kBefore1980);
        writeFile(folder / "Zed.txt", 0, kMarch2021 + 2);
        writeFile(folder / kLongName, 70000, kMarch2021 + 5);
        fs::create_directories(folder / "sub.mp3"); // a folder: not synced
    }
    void TearDown() override { fs::remove_all(folder.parent_path()); }

    ProcessResult kesto(std::vector<std::string> args) {
        args.insert(args.begin(), KESTO_PROGRAM);
        // A local time far from UTC: the player records the file system's time as it is.
        return runProcess(args, {"KESTOUSB_USBIP=" + player.address(), "TZ=XST-5:30"});
    }
    ProcessResult sync(char mem, std::vector<std::string> flags = {}) {
        std::vector<std::string> args = {"sync", folder.string(), std::string(1, mem)};
        args.insert(args.end(), flags.begin(), flags.end());
        return kesto(args);
    }
    fs::path image(char mem) const {
        return fs::path(player.stateDir()) / (mem == 'M' ? "flash.img" : "card.img");
    }
    // The player's names in play order, from kesto ls --json.
    std::vector<std::string> playerNames(char mem) {
        const ProcessResult r = kesto({"ls", std::string(1, mem), "--json"});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        static const std::regex name("\"name\":\"([^\"]*)\"");
        std::vector<std::string> out;
        for (std::sregex_iterator it(r.out.begin(), r.out.end(), name), end; it != end; ++it)
            out.push_back((*it)[1]);
        return out;
    }
    // The name the player gives the folder's file `name`.
    std::string sentName(const std::string &name) const {
        const auto other = sentAs.find(name);
        return name == kLongName ? kFittedName : other == sentAs.end() ? name : other->second;
    }
    // The folder's files, sorted, as the player names them.
    std::vector<std::string> folderNames() const {
        std::vector<std::string> out;
        for (const auto &e : fs::directory_iterator(folder))
            if (e.is_regular_file() && e.path().extension() != ".txt")
                out.push_back(sentName(e.path().filename()));
        std::sort(out.begin(), out.end());
        return out;
    }
    // Every file of the folder read back out of the image by mcopy is byte for byte the same.
    void expectImageHoldsFolder(char mem) {
        for (const auto &e : fs::directory_iterator(folder)) {
            if (!e.is_regular_file() || e.path().extension() == ".txt")
                continue; // not audio: not synced
            const std::string name = e.path().filename();
            const fs::path back = folder.parent_path() / "back.bin";
            fs::remove(back);
            const ProcessResult r = runProcess({MCOPY_PROGRAM, "-n", "-i", image(mem).string(),
                                                "::" + sentName(name), back.string()},
                                               {"MTOOLS_SKIP_CHECK=1", "LC_ALL=C.UTF-8"});
            ASSERT_EQ(r.exitCode, 0) << name << ": " << r.err;
            EXPECT_EQ(readAll(back), readAll(e.path())) << name;
        }
    }

    VplayerProcess player;
    std::map<std::string, std::string> sentAs; // folder files the player names otherwise
    fs::path folder =
        scratchPath("kesto_sync", testing::UnitTest::GetInstance()->current_test_info()->name()) /
        "music";
};

class KestoSyncMemory : public KestoSync, public ::testing::WithParamInterface<char> {};

// The first sync sends every file; the image then holds the folder byte for byte, in the
// folder's sorted order; a second sync finds everything in place and leaves the image as it is.
TEST_P(KestoSyncMemory, FirstSendsAllSecondSendsNothing) {
    const char mem = GetParam();
    ProcessResult r = sync(mem);
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(
        r.out.find("send " + kLongName + " as " + kFittedName + " (70000 bytes, 8 records)\n"),
        std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find(": sent 3 file(s), 101000 bytes in "), std::string::npos) << r.out;
    expectImageHoldsFolder(mem);
    EXPECT_EQ(playerNames(mem), folderNames());

    const std::string before = readAll(image(mem));
    r = sync(mem);
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_TRUE(r.out.starts_with(std::string(1, mem) + " (")) << r.out; // the summary only
    EXPECT_NE(r.out.find("sent 0 file(s), 0 bytes in "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("; 3 up to date; 1 hidden or not audio, left out\n"), std::string::npos)
        << r.out;
    EXPECT_EQ(readAll(image(mem)) == before, true) << "the second sync changed the image";
    r = sync(mem, {"--json"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(r.out.starts_with(std::string("{\"memory\":\"") + mem +
                                  "\",\"dryRun\":false,\"steps\":[],\"sent\":0,\"bytes\":0,"
                                  "\"deleted\":0,\"moved\":0,\"upToDate\":3,\"kept\":0,"
                                  "\"didNotFit\":0,\"failed\":0,"))
        << r.out;
}
// The library takes paths of at most 255 bytes; a folder deeper than that still syncs.
TEST_F(KestoSync, AFolderDeeperThanAPathTheLibraryTakes) {
    fs::path deep = folder;
    for (int i = 0; i < 6; ++i)
        deep /= std::string(50, char('a' + i));
    fs::create_directories(deep);
    writeFile(deep / "deep.mp3", 5000, kMarch2021);
    const ProcessResult r = kesto({"sync", deep.string(), "M"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(playerNames('M'), std::vector<std::string>{"deep.mp3"});
}

INSTANTIATE_TEST_SUITE_P(Memories, KestoSyncMemory, ::testing::Values('M', 'S'),
                         [](const auto &row) { return row.param == 'M' ? "Flash" : "Card"; });

// A change after a first sync: the dry run prints exactly the plan and leaves the image as it
// is; the real run then makes the player hold the folder, and a third run sends nothing.
struct ChangeCase {
    const char *name;
    void (*change)(const fs::path &folder, KestoSync &self);
    std::vector<std::string> flags;
    std::string plan;               // the dry run's lines before its summary
    std::vector<std::string> names; // the player's names afterwards, in play order
};

class KestoSyncChange : public KestoSync, public ::testing::WithParamInterface<ChangeCase> {};

TEST_P(KestoSyncChange, DryRunPrintsThePlanAndChangesNothing) {
    const ChangeCase &c = GetParam();
    ASSERT_EQ(sync('M').exitCode, 0);
    c.change(folder, *this);
    const std::string before = readAll(image('M'));

    std::vector<std::string> flags = c.flags;
    flags.push_back("--dry-run");
    ProcessResult r = sync('M', flags);
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(r.out.substr(0, r.out.find("M (flash): dry run, nothing changed: ")), c.plan);
    EXPECT_EQ(readAll(image('M')) == before, true) << "the dry run changed the image";

    r = sync('M', c.flags);
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(playerNames('M'), c.names);
    expectImageHoldsFolder('M');
    const std::string synced = readAll(image('M'));
    r = sync('M', c.flags);
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("sent 0 file(s)"), std::string::npos) << r.out;
    EXPECT_EQ(readAll(image('M')) == synced, true) << "the third sync changed the image";
}

INSTANTIATE_TEST_SUITE_P(
    Changes, KestoSyncChange,
    ::testing::Values(
        ChangeCase{"NewFile",
                   [](const fs::path &f, KestoSync &) { writeFile(f / "B.mp3", 10, kMarch2021); },
                   {},
                   "send B.mp3 (10 bytes, 2 records)\norder B.mp3 to 1\n",
                   {"B.mp3", kFittedName, "a.mp3", "b song.mp3"}},
        ChangeCase{
            "OtherSize",
            [](const fs::path &f, KestoSync &) { writeFile(f / "a.mp3", 2000, kBefore1980); },
            {},
            "replace a.mp3 (2000 bytes, 2 records): the size differs\norder a.mp3 to 2\n",
            {kFittedName, "a.mp3", "b song.mp3"}},
        ChangeCase{"OtherTime",
                   [](const fs::path &f, KestoSync &) {
                       writeFile(f / "b song.mp3", 30000, kMarch2021 + 60);
                   },
                   {},
                   "replace b song.mp3 (30000 bytes, 2 records): the time differs\n",
                   {kFittedName, "a.mp3", "b song.mp3"}},
        ChangeCase{"OtherCaseIsTheSameFile",
                   [](const fs::path &f, KestoSync &) { fs::rename(f / "a.mp3", f / "A.MP3"); },
                   {},
                   "order a.mp3 to 1\n",
                   {"a.mp3", kFittedName, "b song.mp3"}},
        ChangeCase{"ExtraKept",
                   [](const fs::path &f, KestoSync &) { fs::remove(f / "a.mp3"); },
                   {},
                   // the folder's files first, what it lacks after them
                   "order b song.mp3 to 2\n",
                   {kFittedName, "b song.mp3", "a.mp3"}},
        ChangeCase{"ExtraDeleted",
                   [](const fs::path &f, KestoSync &) { fs::remove(f / "a.mp3"); },
                   {"--delete"},
                   "delete a.mp3\n",
                   {kFittedName, "b song.mp3"}},
        // Characters a FAT name cannot hold, and a byte outside UTF-8, become '_': the file is
        // sent under that name and found by it again, kept by --delete. The byte is shown as
        // \xE9 on the terminal.
        ChangeCase{
            "NamesMadeLegal",
            [](const fs::path &f, KestoSync &self) {
                for (const auto &[local, legal] :
                     {std::pair<std::string, std::string>{"a*b.mp3", "a_b.mp3"},
                      {"what?.mp3", "what_.mp3"},
                      {"caf\xE9.mp3", "caf_.mp3"}}) {
                    self.sentAs[local] = legal;
                    writeFile(f / local, 100, kMarch2021);
                }
            },
            {"--delete"},
            "send a*b.mp3 as a_b.mp3 (100 bytes, 2 records)\nsend caf\\xE9.mp3 as caf_.mp3 (100 "
            "bytes, 2 records)\nsend what?.mp3 as what_.mp3 (100 bytes, 2 records)\norder a_b.mp3 "
            "to 2\n",
            {kFittedName, "a_b.mp3", "a.mp3", "b song.mp3", "caf_.mp3", "what_.mp3"}},
        ChangeCase{"OrderChangedOnThePlayer",
                   [](const fs::path &, KestoSync &self) {
                       ASSERT_EQ(self.kesto({"order", "M", "b song.mp3", "1"}).exitCode, 0);
                   },
                   {},
                   "order " + kFittedName + " to 1\norder a.mp3 to 2\n",
                   {kFittedName, "a.mp3", "b song.mp3"}}),
    [](const auto &row) { return std::string(row.param.name); });

// What cannot be sent is reported, one line each, with exit status 1; the rest goes on.
struct FailureCase {
    const char *name;
    char mem;
    std::vector<std::string> files;         // added to the folder
    std::vector<std::string> ctl = {};      // player state first
    std::string err;                        // stderr, exactly
    size_t sent;                            // files on the player afterwards
    bool syncedFirst = false;               // the folder is synced before the files are added
    std::vector<std::string> onPlayer = {}; // put on the player first, 50 bytes each
    std::vector<std::string> flags = {};
    std::vector<std::string> kept = {}; // player names still there afterwards
    std::string out = {};               // a part of stdout
};

class KestoSyncFailure : public KestoSync, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(KestoSyncFailure, ReportsAndGoesOn) {
    const FailureCase &c = GetParam();
    if (c.syncedFirst) {
        ASSERT_EQ(sync(c.mem).exitCode, 0);
    }
    // Put under a name of its own, then renamed: put gives a name the player holds in another
    // case a free one, the rename keeps it.
    for (const std::string &f : c.onPlayer) {
        const fs::path staged = folder.parent_path() / ("staged-" + f);
        writeFile(staged, 50, kMarch2021);
        ASSERT_EQ(kesto({"put", "-m", {c.mem}, staged.string()}).exitCode, 0);
        ASSERT_EQ(kesto({"mv", {c.mem}, staged.filename().string(), f}).exitCode, 0);
    }
    for (const std::string &f : c.files)
        writeFile(folder / f, 100, kMarch2021);
    if (!c.ctl.empty()) {
        ASSERT_EQ(player.ctl(c.ctl), 0);
    }
    const ProcessResult r = sync(c.mem, c.flags);
    EXPECT_EQ(r.exitCode, 1) << r.out;
    EXPECT_EQ(r.err, c.err);
    EXPECT_NE(r.out.find(c.out), std::string::npos) << r.out;
    if (!c.ctl.empty() && c.ctl[0] != "fault") { // back as it was, for the listing
        ASSERT_EQ(player.ctl({c.ctl[0], c.ctl[1] == "on" ? "off" : "in"}), 0);
    }
    const std::vector<std::string> names = playerNames(c.mem);
    EXPECT_EQ(names.size(), c.sent);
    for (const std::string &name : c.kept)
        EXPECT_NE(std::find(names.begin(), names.end(), name), names.end()) << name;
}

INSTANTIATE_TEST_SUITE_P(
    Failures, KestoSyncFailure,
    ::testing::Values(
        FailureCase{
            "NoCard", 'S', {}, {"card", "out"}, "kesto sync: no memory card in the player\n", 0},
        FailureCase{"WriteProtectedCard",
                    'S',
                    {},
                    {"protect", "on"},
                    "kesto sync: External Memory is protected from writing.\n",
                    0},
        // A refused file keeps every player file it could be, even with --delete.
        FailureCase{.name = "RefusedKeepsItsMatches",
                    .mem = 'M',
                    .files = {"song.mp3"},
                    .err = "kesto sync: song.mp3: several files of the player match it: "
                           "'Song.mp3', 'SONG.MP3'\n",
                    .sent = 5,
                    .onPlayer = {"Song.mp3", "SONG.MP3"},
                    .flags = {"--delete"},
                    .kept = {"Song.mp3", "SONG.MP3"}},
        FailureCase{.name = "RefusedTwinKeepsItsMatch",
                    .mem = 'S',
                    .files = {"b.mp3", "B.mp3"},
                    .err = "kesto sync: B.mp3: several files of the player match it: 'b.mp3', "
                           "'B.MP3'\n",
                    .sent = 6,
                    .onPlayer = {"b.mp3", "B.MP3"},
                    .flags = {"--delete"},
                    .kept = {"B.MP3"}},
        // A delete the player fails: the file stays, the rest of the run goes on.
        FailureCase{.name = "DeleteFails",
                    .mem = 'M',
                    .files = {},
                    .ctl = {"fault", "refuse-delete"},
                    .err = "kesto sync: extra.mp3: error -11 (KSUSB_ERR_NOT_FOUND): File not "
                           "found!\n",
                    .sent = 4,
                    .syncedFirst = true,
                    .onPlayer = {"extra.mp3"},
                    .flags = {"--delete"},
                    .kept = {"extra.mp3"},
                    .out = "delete extra.mp3\n"},
        // The new copy arrived and the old one is gone, but the rename into its place fails:
        // the report names where the new copy is.
        FailureCase{.name = "RenameOfReplaceFails",
                    .mem = 'S',
                    .files = {"a.mp3"},
                    .ctl = {"fault", "refuse-rename"},
                    .err = "kesto sync: a.mp3: error -12 (KSUSB_ERR_NO_NAME_ROOM): Failed data "
                           "transmitted\n"
                           "kesto sync: a.mp3: the player's a.mp3 was deleted; the new copy is on "
                           "the player as kesto-sync-new.mp3\n",
                    .sent = 3,
                    .syncedFirst = true,
                    .kept = {"kesto-sync-new.mp3"}},
        // A player that keeps what arrived of a failed file: the part does not stay, neither
        // for a new file nor for the new copy of a replace.
        FailureCase{.name = "PartialOfSendRemoved",
                    .mem = 'M',
                    .files = {"new.mp3"},
                    .ctl = {"fault", "keep-partial", "0"},
                    .err = "kesto sync: new.mp3: error -44 (KSUSB_ERR_INCOMPLETE): Failed data "
                           "transmitted\n",
                    .sent = 3,
                    .syncedFirst = true},
        FailureCase{.name = "PartialOfReplaceRemoved",
                    .mem = 'M',
                    .files = {"a.mp3"},
                    .ctl = {"fault", "keep-partial", "0"},
                    .err = "kesto sync: a.mp3: error -44 (KSUSB_ERR_INCOMPLETE): Failed data "
                           "transmitted\n"
                           "kesto sync: a.mp3: the player's a.mp3 is kept as it was\n",
                    .sent = 3,
                    .syncedFirst = true,
                    .kept = {"a.mp3"}},
        // The new copy is refused: the old one stays, and the report says so.
        FailureCase{
            .name = "RefusedReplaceKeepsTheOld",
            .mem = 'S',
            .files = {"a.mp3"},
            .ctl = {"fault", "refuse", "2"},
            .err = "kesto sync: a.mp3: error -34 (KSUSB_ERR_NAME_AREA_FULL): Filename storage "
                   "area is full. Try to shorten the existing filenames\n"
                   "kesto sync: a.mp3: the player's a.mp3 is kept as it was\n",
            .sent = 3,
            .syncedFirst = true,
            .flags = {"--json"},
            .kept = {"a.mp3"},
            .out = "\"status\":\"failed\",\"error\":-34,\"outcome\":\"the player's a.mp3 "
                   "is kept as it was\",\"oldAs\":\"a.mp3\"}"}),
    [](const auto &row) { return std::string(row.param.name); });

// ---- a library larger than the memory ---------------------------------------------------

// A player of a small flash memory and a library of Artist/Album folders.
class KestoLibrary : public KestoSync {
protected:
    explicit KestoLibrary(uint64_t flashBytes = 1 << 20) : KestoSync(stateWith(flashBytes)) {}

    static std::string stateWith(uint64_t flashBytes) {
        const fs::path state = scratchPath(
            "kesto_library", testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(state);
        fs::create_directories(state);
        std::ofstream(state / "player.ini")
            << "[Player]\nFlashBytes=" << flashBytes << "\nCardBytes=1048576\n";
        return state.string();
    }
    void TearDown() override {
        KestoSync::TearDown();
        player.stop();
        fs::remove_all(player.stateDir());
    }
    // Albums of `files` names each, `bytes` each, under lib/Artist/.
    fs::path
    makeLibrary(const std::vector<std::pair<std::string, std::vector<std::string>>> &albums,
                size_t bytes) {
        const fs::path lib = folder.parent_path() / "lib";
        time_t t = kMarch2021;
        for (const auto &[album, names] : albums) {
            fs::create_directories(lib / "Artist" / album);
            for (const std::string &name : names) {
                t += 2;
                writeFile(lib / "Artist" / album / name, bytes + size_t(t % 7), t);
            }
        }
        return lib;
    }
    ProcessResult syncLibrary(const std::vector<std::string> &sources,
                              std::vector<std::string> flags = {}) {
        std::vector<std::string> args = {"sync"};
        args.insert(args.end(), sources.begin(), sources.end());
        args.push_back("M");
        args.insert(args.end(), flags.begin(), flags.end());
        args.insert(args.begin(), KESTO_PROGRAM);
        // A cache of the test's own: the metadata and the fills' history.
        return runProcess(args, {"KESTOUSB_USBIP=" + player.address(),
                                 "XDG_CACHE_HOME=" + (folder.parent_path() / "cache").string()});
    }
    static std::vector<std::string> lines(const std::string &text, const std::string &start) {
        std::vector<std::string> out;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);)
            if (line.starts_with(start))
                out.push_back(line);
        return out;
    }
};

struct FitCase {
    const char *name;
    uint64_t flashBytes;
    std::vector<std::pair<std::string, std::vector<std::string>>> albums;
    size_t bytes;
    std::vector<std::string> flags;
    size_t onPlayer;                     // files the memory holds afterwards
    std::vector<std::string> first = {}; // the player's first names, in play order
    std::string out = {};                // a part of the run's stdout
};

class KestoSyncFit : public KestoLibrary, public ::testing::WithParamInterface<FitCase> {
protected:
    KestoSyncFit() : KestoLibrary(GetParam().flashBytes) {}
};

// Whole albums in the library's order until the next does not fit, in bytes or in the records
// of the memory's directory: the dry run names what the run then sends, and no file is refused.
TEST_P(KestoSyncFit, SendsWhatThePlanSaidFits) {
    const FitCase &c = GetParam();
    const fs::path lib = makeLibrary(c.albums, c.bytes);
    writeFile(lib / "Artist" / c.albums[0].first / "cover.jpg", 100, kMarch2021);
    writeFile(lib / "Artist" / c.albums[0].first / ".hidden.mp3", 100, kMarch2021);
    const ProcessResult dry =
        syncLibrary({lib.string()}, c.flags + std::vector<std::string>{"--dry-run"});
    ASSERT_EQ(dry.exitCode, 0) << dry.out << dry.err;
    const ProcessResult run = syncLibrary({lib.string()}, c.flags);
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_EQ(run.err.find("storage area is full"), std::string::npos) << run.err;
    EXPECT_EQ(lines(run.out, "send "), lines(dry.out, "send "));
    EXPECT_EQ(lines(run.out, "did not fit"), lines(dry.out, "did not fit"));
    EXPECT_NE(run.out.find("2 hidden or not audio, left out"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(c.out), std::string::npos) << run.out;
    const std::vector<std::string> names = playerNames('M');
    EXPECT_EQ(names.size(), c.onPlayer);
    EXPECT_EQ(lines(run.out, "send ").size(), c.onPlayer);
    ASSERT_GE(names.size(), c.first.size());
    EXPECT_EQ(std::vector<std::string>(names.begin(), names.begin() + long(c.first.size())),
              c.first);
    // A second run finds everything in place.
    const ProcessResult again = syncLibrary({lib.string()}, c.flags);
    EXPECT_EQ(again.exitCode, 0) << again.err;
    EXPECT_NE(again.out.find("sent 0 file(s)"), std::string::npos) << again.out;
}

std::vector<std::string> longNames(int count, const std::string &title) {
    std::vector<std::string> out;
    for (int k = 1; k <= count; ++k) {
        char number[16];
        std::snprintf(number, sizeof number, "%02d ", k);
        out.push_back(number + title + ".mp3"); // 40 characters: five records
    }
    return out;
}

INSTANTIATE_TEST_SUITE_P(
    Libraries, KestoSyncFit,
    ::testing::Values(
        FitCase{"WholeAlbumsInBytes",
                1 << 20,
                {{"A1", {"01 One.mp3", "02 Two.mp3", "03 Three.mp3"}},
                 {"A2", {"01 Un.mp3", "02 Deux.mp3", "03 Trois.mp3"}},
                 {"A3", {"01 Eins.mp3"}}},
                160000,
                {},
                6,
                {"01 One.mp3", "02 Two.mp3", "03 Three.mp3", "01 Un.mp3", "02 Deux.mp3",
                 "03 Trois.mp3"},
                "; 1 did not fit"},
        // 900 KiB: a root of 224 records, six albums' worth of short names but not two of long.
        FitCase{"WholeAlbumsInNameRecords",
                900 << 10,
                {{"B1", longNames(30, "A title of the first album, long")},
                 {"B2", longNames(30, "A title of the other album, long")}},
                100,
                {},
                30,
                {"01 A title of the first album, long.mp3"},
                "of the files not on the player, the memory takes 30 with these names, 60 with "
                "--short-names"},
        FitCase{"ShortNamesFitMore",
                900 << 10,
                {{"B1", longNames(30, "A title of the first album, long")},
                 {"B2", longNames(30, "A title of the other album, long")}},
                100,
                {"--short-names"},
                60,
                {"01 A titl.mp3"}}),
    [](const auto &row) { return std::string(row.param.name); });

// A playlist arrives in its order; --delete removes only what is outside the library, refuses
// a library without audio, and asks before many deletes.
TEST_F(KestoLibrary, PlaylistOrderAndSafeDelete) {
    const fs::path lib = makeLibrary({{"A", {"a.mp3", "b.mp3", "c.mp3"}}}, 100);
    std::ofstream(lib / "list.m3u")
        << "#EXTM3U\nArtist/A/c.mp3\n"
        << (lib / "Artist/A/a.mp3").string() << "\nmissing.mp3\nArtist/A/b.mp3\n";
    ProcessResult r = syncLibrary({(lib / "list.m3u").string()});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.err.find("missing.mp3"), std::string::npos) << r.err;
    EXPECT_EQ(playerNames('M'), (std::vector<std::string>{"c.mp3", "a.mp3", "b.mp3"}));

    const fs::path empty = folder.parent_path() / "empty";
    fs::create_directories(empty);
    r = syncLibrary({empty.string()}, {"--delete"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("no audio files in"), std::string::npos) << r.err;
    EXPECT_EQ(playerNames('M').size(), 3u);

    for (int k = 0; k < 21; ++k) {
        const fs::path extra = folder.parent_path() / ("extra" + std::to_string(k) + ".mp3");
        writeFile(extra, 10, kMarch2021);
        ASSERT_EQ(kesto({"put", extra.string()}).exitCode, 0);
    }
    r = syncLibrary({(lib / "Artist").string()}, {"--delete"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("would delete 21 file(s)"), std::string::npos) << r.err;
    EXPECT_EQ(playerNames('M').size(), 24u);
    r = syncLibrary({(lib / "Artist").string()}, {"--delete", "--yes"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(playerNames('M'), (std::vector<std::string>{"a.mp3", "b.mp3", "c.mp3"}));
}

// A fill with a seed chooses the same albums twice; the next fill prefers the others.
TEST_F(KestoLibrary, FillRepeatsWithItsSeedAndPrefersOthersNext) {
    std::vector<std::pair<std::string, std::vector<std::string>>> albums;
    for (const char *a : {"F1", "F2", "F3", "F4"})
        albums.push_back({a, {std::string(a) + " one.mp3", std::string(a) + " two.mp3"}});
    const fs::path lib = makeLibrary(albums, 200000); // two albums fill the memory
    const std::vector<std::string> fill = {"--fill", "--seed", "3", "--delete", "--yes"};
    const ProcessResult dry1 =
        syncLibrary({lib.string()}, fill + std::vector<std::string>{"--dry-run"});
    const ProcessResult dry2 =
        syncLibrary({lib.string()}, fill + std::vector<std::string>{"--dry-run"});
    ASSERT_EQ(dry1.exitCode, 0) << dry1.err;
    EXPECT_EQ(dry1.out, dry2.out);
    EXPECT_EQ(lines(dry1.out, "send ").size(), 4u) << dry1.out;
    ASSERT_EQ(syncLibrary({lib.string()}, fill).exitCode, 0);
    const std::vector<std::string> first = playerNames('M');
    ASSERT_EQ(syncLibrary({lib.string()}, fill).exitCode, 0);
    const std::vector<std::string> second = playerNames('M');
    ASSERT_EQ(second.size(), 4u);
    for (const std::string &name : second)
        EXPECT_EQ(std::find(first.begin(), first.end(), name), first.end()) << name;
}

// ---- player names typed by hand -----------------------------------------------------------

// A flash image made by mkfs.fat and mcopy, so that it holds a file without a long name
// ("README."), plus files the rows look for.
class KestoNames : public KestoSync {
protected:
    KestoNames() : KestoSync(seededState()) {}

    static std::string seededState() {
        const fs::path state = scratchPath(
            "kesto_names", testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(state);
        fs::create_directories(state / "seed");
        const std::string img = (state / "flash.img").string();
        const std::vector<std::string> env = {"MTOOLS_SKIP_CHECK=1", "LC_ALL=C.UTF-8"};
        EXPECT_EQ(runProcess({MKFS_FAT_PROGRAM, "-F", "16", "-C", img, "16384"}).exitCode, 0);
        std::vector<std::string> copy = {MCOPY_PROGRAM, "-m", "-i", img};
        for (const char *name : {"readme", "Song.mp3", "Dup.mp3"}) {
            writeFile(state / "seed" / name, 50, kMarch2021);
            copy.push_back((state / "seed" / name).string());
        }
        copy.push_back("::");
        EXPECT_EQ(runProcess(copy, env).exitCode, 0);
        fs::remove_all(state / "seed");
        return state.string();
    }

    void TearDown() override {
        KestoSync::TearDown();
        player.stop();
        fs::remove_all(player.stateDir());
    }

    void SetUp() override {
        KestoSync::SetUp();
        // The library renames to "dup.mp3" as to a new name: two names that differ only in case.
        writeFile(folder / "dup-new.mp3", 20, kMarch2021);
        ASSERT_EQ(kesto({"put", (folder / "dup-new.mp3").string()}).exitCode, 0);
        ASSERT_EQ(kesto({"mv", "M", "dup-new.mp3", "dup.mp3"}).exitCode, 0);
        writeFile(folder / "song.mp3", 30, kMarch2021);
    }
};

struct NameCase {
    const char *name;
    std::vector<std::string> args; // DIR stands for a scratch folder
    int exit;
    std::string out, err;
};

class KestoNameLookup : public KestoNames, public ::testing::WithParamInterface<NameCase> {};

TEST_P(KestoNameLookup, FindsTheOneFileOrListsTheCloseNames) {
    const NameCase &c = GetParam();
    const auto expand = [&](std::string text) {
        for (size_t at; (at = text.find("DIR")) != std::string::npos;)
            text.replace(at, 3, folder.parent_path().string());
        return text;
    };
    std::vector<std::string> args;
    for (const std::string &a : c.args)
        args.push_back(expand(a));
    const ProcessResult r = kesto(args);
    EXPECT_EQ(r.exitCode, c.exit) << r.err;
    EXPECT_EQ(r.out, expand(c.out));
    EXPECT_EQ(r.err, expand(c.err));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, KestoNameLookup,
    ::testing::Values(
        NameCase{"OtherCase", {"rm", "M", "SONG.MP3"}, 0, "deleted M:Song.mp3\n", ""},
        NameCase{"WithoutTrailingDot",
                 {"order", "M", "README", "1"},
                 0,
                 "moved M:README. to position 1\n",
                 ""},
        NameCase{"OtherCaseWithoutDot",
                 {"get", "-m", "M", "readme", "DIR/r.bin"},
                 0,
                 "M:README. -> DIR/r.bin\n",
                 ""},
        NameCase{"ExactNameAmongCaseTwins",
                 {"mv", "M", "dup.mp3", "twin.mp3"},
                 0,
                 "renamed M:dup.mp3 -> twin.mp3\n",
                 ""},
        NameCase{"AmbiguousListsTheNames",
                 {"rm", "M", "DUP.MP3"},
                 1,
                 "",
                 "kesto rm: 'DUP.MP3' matches several files of the flash memory: 'Dup.mp3', "
                 "'dup.mp3'\n"},
        NameCase{"UnknownListsCloseNames",
                 {"mv", "M", "Sang.mp3", "x.mp3"},
                 1,
                 "",
                 "kesto mv: error -11 (KSUSB_ERR_NOT_FOUND): File not found!\n"
                 "kesto mv: close names on the flash memory: 'Song.mp3'\n"},
        NameCase{"UnknownWithNothingClose",
                 {"get", "nothing-like-it.wav", "DIR/x"},
                 1,
                 "",
                 "kesto get: error -11 (KSUSB_ERR_NOT_FOUND): File not found!\n"},
        // The player holds Song.mp3: a second name equal but for case would be the same name
        // to its FAT.
        NameCase{"PutInAnotherCaseGetsAFreeName",
                 {"put", "DIR/music/song.mp3"},
                 0,
                 "DIR/music/song.mp3 -> M as song (2).mp3\n",
                 ""},
        NameCase{"PutNamesItsCommandOnce",
                 {"put", "DIR/missing.mp3"},
                 1,
                 "",
                 "kesto put: DIR/missing.mp3: error -11 (KSUSB_ERR_NOT_FOUND): File not "
                 "found!\n"}),
    [](const auto &row) { return std::string(row.param.name); });

} // namespace
