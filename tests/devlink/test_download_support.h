// Shared by the transfer tests: a notification recorder, a scratch folder and a fixture that
// installs the fake player and waits for each worker to end before the fake goes away.
#pragma once

#include "KestoUSB.h"
#include "fake_player.h"
#include "filetable.h"
#include "library_state.h"
#include "transfer_state.h"
#include "transport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace kestousb::test {

using Note = std::pair<uintptr_t, intptr_t>;
using Notes = std::vector<Note>;

// A KSNotifyTarget that records every post and lets the test wait for the final one.
class Recorder : public KSNotifyTarget {
public:
    Recorder() : KSNotifyTarget{&Recorder::thunk} {}

    // Waits for notification 3 or 4 (a guard against a hung worker, not a time measurement),
    // then until the worker thread has left the library.
    Notes waitEnd() {
        std::unique_lock lock(m_mutex);
        const bool ended = m_changed.wait_for(lock, kGuard, [this] { return m_ended; });
        EXPECT_TRUE(ended) << "the worker never posted 3 or 4";
        lock.unlock();
        EXPECT_TRUE(waitTransferIdle(uint32_t(kGuard.count())));
        lock.lock();
        return m_notes;
    }

    Notes notes() {
        std::lock_guard lock(m_mutex);
        return m_notes;
    }

private:
    static constexpr std::chrono::milliseconds kGuard{20000};

    static void thunk(KSNotifyTarget *self, unsigned int message, uintptr_t w, intptr_t l) {
        auto *r = static_cast<Recorder *>(self);
        std::lock_guard lock(r->m_mutex);
        EXPECT_EQ(message, WM_XFER_NOTIFY);
        r->m_notes.emplace_back(w, l);
        if (w == KSUSB_XFER_DONE || w == KSUSB_XFER_FAILED)
            r->m_ended = true;
        r->m_changed.notify_all(); // under the lock: the test may destroy us right after
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    Notes m_notes;
    bool m_ended = false;
};

// A fresh folder under the test temp dir, removed at the end.
class ScratchDir {
public:
    ScratchDir() {
        const auto *info = testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string("xfer_") + info->test_suite_name() + "_" + info->name();
        for (char &c : name)
            if (c == '/')
                c = '_';
        m_path = std::filesystem::temp_directory_path() / name;
        std::filesystem::remove_all(m_path);
        std::filesystem::create_directories(m_path);
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    const std::filesystem::path &path() const { return m_path; }

    std::string write(const std::string &name, const Bytes &data) const {
        const auto file = m_path / name;
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char *>(data.data()), std::streamsize(data.size()));
        return file.string();
    }
    static Bytes read(const std::filesystem::path &file) {
        std::ifstream in(file, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }
    std::vector<std::string> entries() const {
        std::vector<std::string> out;
        for (const auto &e : std::filesystem::directory_iterator(m_path))
            out.push_back(e.path().filename().string());
        std::sort(out.begin(), out.end());
        return out;
    }

private:
    std::filesystem::path m_path;
};

// Bytes 0, 1, 2, ... (mod 251, so blocks differ from each other).
inline Bytes pattern(size_t n, uint8_t seed = 0) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = uint8_t((i + seed) % 251);
    return b;
}

inline void clearTables() {
    std::memset(&cachedTable(KSUSB_MEM_FLASH), 0, sizeof(KSUSB_TOpenTable));
    std::memset(&cachedTable(KSUSB_MEM_CARD), 0, sizeof(KSUSB_TOpenTable));
}

inline void addEntry(unsigned char mem, const std::string &name, const std::string &name83,
                     uint32_t size = 0) {
    KSUSB_TOpenTable &t = cachedTable(mem);
    KSUSB_TFileEntry &e = t.entries[t.count++];
    std::snprintf(e.name, sizeof e.name, "%s", name.c_str());
    std::snprintf(e.name83, sizeof e.name83, "%s", name83.c_str());
    e.size = size;
}

// The wire after the announcement exchange: everything from the first op after `skip` ops.
inline std::vector<std::string> tail(const std::vector<std::string> &all, size_t skip) {
    return skip >= all.size() ? std::vector<std::string>{}
                              : std::vector<std::string>(all.begin() + long(skip), all.end());
}

class TransferTest : public testing::Test {
protected:
    void SetUp() override {
        clearTables();
        TestInjection injection = library().injected();
        injection.transferDepth = 0; // the library's own, whatever a test before set
        resetLibraryForTesting(injection);
        setLastErrorCode(0);
    }
    void TearDown() override {
        EXPECT_TRUE(waitTransferIdle(20000));
        resetLibraryForTesting(library().injected());
        clearTables();
    }

    FakePlayer player;
    ScratchDir dir;
    Recorder recorder;
};

} // namespace kestousb::test
