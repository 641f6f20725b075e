// Transfers against the virtual player when the storage on either side gives out or the PC file
// changes under the copy: a full PC disk under a copy to the PC, a PC file that shrinks or
// grows while it is sent, and the player's storage full part way through a file. Small tmpfs
// mounts stand in for the full disks; where no tmpfs can be mounted (not root) those tests are
// skipped with the reason.
#include "KestoUSB.h"
#include "library_state.h"
#include "notices.h"
#include "usbip_backend.h"
#include "vplayer_process.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <sys/mount.h>
#include <unistd.h>

namespace fs = std::filesystem;
using kestousb::test::Notices;
using kestousb::test::runProcess;
using kestousb::test::VplayerProcess;

namespace {

constexpr auto kTransferLimit = std::chrono::seconds(60);

// A tmpfs of `bytes` on a fresh folder, unmounted at the end.
class Tmpfs {
public:
    explicit Tmpfs(size_t bytes) {
        std::string templ = (fs::temp_directory_path() / "tunara-full-XXXXXX").string();
        if (!::mkdtemp(templ.data()))
            return;
        m_dir = templ;
        const std::string options = "size=" + std::to_string(bytes);
        if (::mount("tmpfs", m_dir.c_str(), "tmpfs", 0, options.c_str()) == 0)
            m_mounted = true;
        else
            m_error = std::strerror(errno);
    }
    ~Tmpfs() {
        if (m_mounted)
            ::umount2(m_dir.c_str(), MNT_DETACH);
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }
    bool mounted() const { return m_mounted; }
    const std::string &error() const { return m_error; }
    const fs::path &dir() const { return m_dir; }

private:
    fs::path m_dir;
    bool m_mounted = false;
    std::string m_error;
};

std::string randomBytes(size_t size, uint32_t seed) {
    std::mt19937 rng(seed);
    std::string s(size, '\0');
    for (char &c : s)
        c = static_cast<char>(rng());
    return s;
}

void writeFile(const fs::path &path, const std::string &bytes) {
    std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
}

std::string readFile(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Whether the cached table of `mem` lists `name`, after a refresh.
bool playerHas(unsigned char mem, const std::string &name) {
    static KSUSB_TOpenTable table;
    EXPECT_EQ(KSUSB_RefreshMemory(mem), 1) << KSUSB_ErrorName(KSUSB_GetLastError());
    GetFileInfo(mem, &table);
    for (size_t i = 0; i < table.count; ++i)
        if (name == table.entries[i].name)
            return true;
    return false;
}

// The 8.3 name the player gave `name`, from the cached table.
std::string shortNameOf(unsigned char mem, const std::string &name) {
    static KSUSB_TOpenTable table;
    GetFileInfo(mem, &table);
    for (size_t i = 0; i < table.count; ++i)
        if (name == table.entries[i].name)
            return table.entries[i].name83;
    return {};
}

std::optional<std::string> imageFile(const fs::path &image, const std::string &shortName,
                                     const fs::path &scratch) {
    const auto r =
        runProcess({MCOPY_PROGRAM, "-n", "-i", image.string(), "::" + shortName, scratch.string()},
                   {"MTOOLS_SKIP_CHECK=1"});
    if (r.exitCode != 0)
        return std::nullopt;
    return readFile(scratch);
}

bool fsckClean(const fs::path &image) {
    return runProcess({FSCK_PROGRAM, "-n", image.string()}).exitCode == 0;
}

class TransferFaults : public ::testing::Test {
protected:
    void connect(VplayerProcess &player) {
        ASSERT_TRUE(player.started());
        ::setenv("KESTOUSB_USBIP", player.address().c_str(), 1);
        kestousb::TestInjection limits = kestousb::library().injected();
        limits.usbipLimits = {std::chrono::milliseconds(2000), std::chrono::milliseconds(2000),
                              std::chrono::milliseconds(5000)};
        kestousb::library().inject(limits);
        ASSERT_EQ(KSUSB_Reconnect(), 1);
    }
    void TearDown() override {
        KSUSB_Reconnect(); // leaves the player of this test
        ::unsetenv("KESTOUSB_USBIP");
        kestousb::resetLibraryForTesting();
    }
    // Puts `bytes` on the player's flash as `name`: 0 when the copy was done, else the code
    // of the call or the worker.
    int put(const std::string &name, const std::string &bytes) {
        const fs::path src = m_pc / name;
        writeFile(src, bytes);
        if (KSUSB_RefreshMemory(KSUSB_MEM_FLASH) != 1 ||
            !KSUSB_Download(KSUSB_MEM_FLASH, src.c_str(), &m_notices, 65536))
            return KSUSB_GetLastError();
        const auto end = m_notices.end();
        fs::remove(src);
        if (!end)
            return KSUSB_ERR_STOPPED;
        return end->first == 3 ? 0 : int(end->second);
    }

    fs::path m_pc = [] {
        std::string templ = (fs::temp_directory_path() / "tunara-pc-XXXXXX").string();
        return fs::path(::mkdtemp(templ.data()));
    }();
    Notices m_notices;
    ~TransferFaults() override {
        std::error_code ec;
        fs::remove_all(m_pc, ec);
    }
};

// ---- a full PC disk under a copy to the PC ------------------------------------------------

struct FullDiskCase {
    const char *name;
    bool existing; // a destination file is there before the copy
};
void PrintTo(const FullDiskCase &row, std::ostream *os) {
    *os << row.name;
}
class UploadIntoFullDisk : public TransferFaults,
                           public ::testing::WithParamInterface<FullDiskCase> {};

TEST_P(UploadIntoFullDisk, FailsAndLeavesTheDiskAsItWas) {
    Tmpfs disk(1 << 20);
    if (!disk.mounted())
        GTEST_SKIP() << "cannot mount a 1 MiB tmpfs here: " << disk.error();
    VplayerProcess player{VPLAYER_PROGRAM};
    connect(player);
    const std::string song = randomBytes(3 << 20, 7);
    ASSERT_EQ(put("song.mp3", song), 0);

    const fs::path dst = disk.dir() / "song.mp3";
    const std::string old = "the copy from last week";
    if (GetParam().existing)
        writeFile(dst, old);
    ASSERT_EQ(KSUSB_RefreshMemory(KSUSB_MEM_FLASH), 1);
    ASSERT_EQ(KSUSB_Upload(KSUSB_MEM_FLASH, "song.mp3", dst.c_str(), &m_notices, 65536), 1);
    const auto end = m_notices.end();
    ASSERT_TRUE(end) << "the copy did not end";
    EXPECT_EQ(end->first, 4u) << "a copy into a full disk was reported done";
    EXPECT_EQ(end->second, KSUSB_ERR_INCOMPLETE) << KSUSB_ErrorName(int(end->second));
    // The destination as it was, and nothing else on the disk: no partial file.
    std::vector<std::string> left;
    for (const auto &f : fs::directory_iterator(disk.dir()))
        left.push_back(f.path().filename().string());
    if (GetParam().existing) {
        EXPECT_EQ(left, std::vector<std::string>{"song.mp3"});
        EXPECT_EQ(readFile(dst), old);
    } else {
        EXPECT_TRUE(left.empty()) << left.front();
    }
    // The library goes on with the next call.
    EXPECT_TRUE(playerHas(KSUSB_MEM_FLASH, "song.mp3"));
}
INSTANTIATE_TEST_SUITE_P(Destinations, UploadIntoFullDisk,
                         ::testing::Values(FullDiskCase{"NoDestinationYet", false},
                                           FullDiskCase{"ExistingDestinationKept", true}),
                         [](const auto &row) { return std::string(row.param.name); });

// ---- a PC file that changes while it is sent to the player ---------------------------------

struct ChangeCase {
    const char *name;
    long delta; // bytes the file gains (or loses) once the first block has gone
};
void PrintTo(const ChangeCase &row, std::ostream *os) {
    *os << row.name;
}
class DownloadOfChangingFile : public TransferFaults,
                               public ::testing::WithParamInterface<ChangeCase> {};

TEST_P(DownloadOfChangingFile, OnlyTheAnnouncedBytesOrNothing) {
    VplayerProcess player{VPLAYER_PROGRAM};
    connect(player);
    ASSERT_EQ(player.ctl({"speed", "full"}), 0); // about 1.2 MB/s: the change lands mid-stream
    const size_t size = 3 << 20;
    const std::string bytes = randomBytes(size, 11);
    const fs::path src = m_pc / "changing.mp3";
    writeFile(src, bytes);
    ASSERT_EQ(KSUSB_RefreshMemory(KSUSB_MEM_FLASH), 1);
    ASSERT_EQ(KSUSB_Download(KSUSB_MEM_FLASH, src.c_str(), &m_notices, 16384), 1);
    // Change the file on the first progress notice.
    std::optional<std::pair<uintptr_t, intptr_t>> n;
    while ((n = m_notices.next(kTransferLimit)) && n->first != 2 && n->first < 3) {
    }
    ASSERT_TRUE(n && n->first == 2) << "no progress notice before the end";
    const long delta = GetParam().delta;
    if (delta < 0)
        fs::resize_file(src, size - size_t(-delta));
    else
        std::ofstream(src, std::ios::binary | std::ios::app) << std::string(size_t(delta), 'G');
    const auto end = m_notices.end();
    ASSERT_TRUE(end) << "the copy did not end";
    ASSERT_EQ(player.ctl({"speed", "unlimited"}), 0);

    const fs::path image = fs::path(player.stateDir()) / "flash.img";
    if (delta < 0) {
        // The announced bytes cannot all come: a failure, and no file on the player.
        EXPECT_EQ(end->first, 4u) << "a copy of a file that shrank was reported done";
        EXPECT_EQ(end->second, KSUSB_ERR_INCOMPLETE) << KSUSB_ErrorName(int(end->second));
        EXPECT_FALSE(playerHas(KSUSB_MEM_FLASH, "changing.mp3"));
    } else {
        // The size was announced before the file grew: the player gets exactly those bytes.
        ASSERT_EQ(end->first, 3u) << KSUSB_ErrorName(int(end->second));
        ASSERT_TRUE(playerHas(KSUSB_MEM_FLASH, "changing.mp3"));
        const auto back =
            imageFile(image, shortNameOf(KSUSB_MEM_FLASH, "changing.mp3"), m_pc / "back.bin");
        ASSERT_TRUE(back);
        EXPECT_EQ(back->size(), size);
        EXPECT_TRUE(*back == bytes) << "the player's copy is not the announced bytes";
    }
    EXPECT_TRUE(fsckClean(image));
}
INSTANTIATE_TEST_SUITE_P(Changes, DownloadOfChangingFile,
                         ::testing::Values(ChangeCase{"Shrinks", -(2L << 20)},
                                           ChangeCase{"Grows", 1L << 20}),
                         [](const auto &row) { return std::string(row.param.name); });

// ---- the player's storage full part way through a file -------------------------------------

TEST_F(TransferFaults, PlayerStorageFullMidDownload) {
    // A 32 MiB flash image, made sparse by the player, on 3 MiB of storage: the FAT says there
    // is room, the storage runs out part way through the data.
    Tmpfs storage(3 << 20);
    if (!storage.mounted())
        GTEST_SKIP() << "cannot mount a 3 MiB tmpfs here: " << storage.error();
    writeFile(storage.dir() / "player.ini", "[Player]\nFlashBytes=33554432\nCardBytes=1048576\n");
    VplayerProcess player{VPLAYER_PROGRAM, storage.dir().string()};
    connect(player);
    const std::string bytes = randomBytes(6 << 20, 13);
    const int code = put("big.mp3", bytes);
    EXPECT_NE(code, 0) << "a file the storage could not hold was reported done";
    std::printf("storage full mid-download: %s\n", KSUSB_ErrorName(code));
    // No file, the library goes on with its next call, and the image stays a sound volume.
    EXPECT_FALSE(playerHas(KSUSB_MEM_FLASH, "big.mp3"));
    EXPECT_TRUE(fsckClean(storage.dir() / "flash.img"));
}

} // namespace
