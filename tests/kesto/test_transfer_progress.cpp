// The CLI's transfer pieces without a player: the notification queue across threads, the
// progress bar's line and the number formats.
#include "progress.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>

using namespace kesto;

struct BytesCase {
    const char *name;
    uint64_t bytes;
    const char *text;
};
class FormatBytes : public testing::TestWithParam<BytesCase> {};
TEST_P(FormatBytes, HumanUnits) {
    EXPECT_EQ(formatBytes(GetParam().bytes), GetParam().text);
}
INSTANTIATE_TEST_SUITE_P(Progress, FormatBytes,
                         testing::Values(BytesCase{"zero", 0, "0 B"},
                                         BytesCase{"belowKibi", 1023, "1023 B"},
                                         BytesCase{"kibi", 1024, "1.0 KiB"},
                                         BytesCase{"mebi", 1536 * 1024, "1.5 MiB"},
                                         BytesCase{"gibi", 3ull << 30, "3.0 GiB"},
                                         BytesCase{"tebiStaysGibi", 2048ull << 30, "2048.0 GiB"}),
                         [](const auto &row) { return row.param.name; });

// Names go to the terminal with nothing that acts on it: control characters (C0, DEL, C1) and
// bytes outside UTF-8 as \xNN; accents and Hangul as they are.
struct TerminalCase {
    const char *name;
    std::string in, out;
};
class TerminalText : public testing::TestWithParam<TerminalCase> {};
TEST_P(TerminalText, ControlsAndForeignBytesEscaped) {
    EXPECT_EQ(kesto::terminalText(GetParam().in), GetParam().out);
}
INSTANTIATE_TEST_SUITE_P(Progress, TerminalText,
                         testing::Values(TerminalCase{"Plain", "a b.mp3", "a b.mp3"},
                                         TerminalCase{"Escape", "x\x1B[2Jy.mp3", "x\\x1B[2Jy.mp3"},
                                         TerminalCase{"Delete", "x\x7Fy", "x\\x7Fy"},
                                         TerminalCase{"C1Csi",
                                                      "x\xC2\x9B"
                                                      "2Jy",
                                                      "x\\xC2\\x9B2Jy"},
                                         TerminalCase{"NotUtf8", "caf\xE9.mp3", "caf\\xE9.mp3"},
                                         TerminalCase{"AccentAndHangul", "Zo\xC3\xAB \xED\x95\x9C",
                                                      "Zo\xC3\xAB \xED\x95\x9C"}),
                         [](const auto &row) { return std::string(row.param.name); });

struct DurationCase {
    const char *name;
    double seconds;
    const char *text;
};
class FormatDuration : public testing::TestWithParam<DurationCase> {};
TEST_P(FormatDuration, MinutesAndHours) {
    EXPECT_EQ(formatDuration(GetParam().seconds), GetParam().text);
}
INSTANTIATE_TEST_SUITE_P(Progress, FormatDuration,
                         testing::Values(DurationCase{"zero", 0, "0:00"},
                                         DurationCase{"negative", -5, "0:00"},
                                         DurationCase{"rounds", 64.6, "1:05"},
                                         DurationCase{"hour", 3723, "1:02:03"}),
                         [](const auto &row) { return row.param.name; });

struct BarCase {
    const char *name;
    uint64_t total, done;
    double elapsed;
    const char *line;
};
class BarLine : public testing::TestWithParam<BarCase> {};
TEST_P(BarLine, PercentBytesSpeedAndTimeLeft) {
    const BarCase &c = GetParam();
    double now = 100;
    ProgressBar bar("f.mp3", nullptr, false, [&now] { return now; });
    bar.start(c.total);
    now += c.elapsed;
    bar.update(c.done);
    EXPECT_EQ(bar.render(), c.line);
}
INSTANTIATE_TEST_SUITE_P(
    Progress, BarLine,
    testing::Values(
        BarCase{"half", 2048, 1024, 2,
                "f.mp3 [############            ]  50%  1.0 KiB/2.0 KiB  "
                "512 B/s  0:02 left"},
        BarCase{"start", 1000, 0, 0,
                "f.mp3 [                        ]   0%  0 B/1000 B  -  --:-- "
                "left"},
        BarCase{"done", 4u << 20, 4u << 20, 4,
                "f.mp3 [########################] 100%  4.0 MiB/4.0 MiB  1.0 MiB/s  0:00 left"},
        BarCase{"emptyFile", 0, 0, 1,
                "f.mp3 [########################] 100%  0 B/0 B  -  0:00 "
                "left"}),
    [](const auto &row) { return row.param.name; });

TEST(ProgressBarOutput, DrawsOnlyWhenEnabledAndAtMostTenTimesASecond) {
    double now = 0;
    char *text = nullptr;
    size_t size = 0;
    FILE *out = open_memstream(&text, &size);
    ASSERT_NE(out, nullptr);
    {
        ProgressBar bar("x", out, true, [&now] { return now; });
        bar.start(100);
        bar.update(10); // drawn
        now = 0.05;
        bar.update(20); // too soon
        now = 0.2;
        bar.update(30); // drawn
        bar.finish();   // drawn, with the line end
        ProgressBar quiet("y", out, false, [&now] { return now; });
        quiet.start(100);
        quiet.update(50);
        quiet.finish();
    }
    std::fclose(out);
    const std::string s(text, size);
    std::free(text);
    size_t draws = 0;
    for (size_t at = s.find('\r'); at != std::string::npos; at = s.find('\r', at + 1))
        ++draws;
    EXPECT_EQ(draws, 3u) << s;
    EXPECT_EQ(s.find(" 20%"), std::string::npos);
    EXPECT_NE(s.find(" 30%"), std::string::npos);
    EXPECT_EQ(s.back(), '\n');
    EXPECT_EQ(s.find("y ["), std::string::npos);
}

TEST(NotifyQueue, DeliversPostsFromAnotherThreadInOrder) {
    NotifyQueue queue;
    std::thread worker([&queue] {
        KSNotifyTarget *target = &queue;
        target->post(target, WM_XFER_NOTIFY, KSUSB_XFER_START, 3000);
        target->post(target, 0x1234, 9, 9); // not a transfer notification: ignored
        for (intptr_t n = 1000; n <= 3000; n += 1000)
            target->post(target, WM_XFER_NOTIFY, KSUSB_XFER_PROGRESS, n);
        target->post(target, WM_XFER_NOTIFY, KSUSB_XFER_DONE, 3000);
    });
    std::vector<std::pair<uintptr_t, intptr_t>> got;
    while (got.empty() || got.back().first != KSUSB_XFER_DONE) {
        const auto n = queue.next(std::chrono::milliseconds(20000));
        ASSERT_TRUE(n.has_value());
        got.emplace_back(n->what, n->value);
    }
    worker.join();
    EXPECT_EQ(got, (std::vector<std::pair<uintptr_t, intptr_t>>{
                       {1, 3000}, {2, 1000}, {2, 2000}, {2, 3000}, {3, 3000}}));
    EXPECT_FALSE(queue.next(std::chrono::milliseconds(0)).has_value());
}

TEST(FollowTransfer, ACallThatStartsNothingGivesTheLastError) {
    // KSUSB_Download of a path that does not fit the path buffer fails before any device work.
    const std::string tooLong(300, 'x');
    ProgressBar bar("x", nullptr, false);
    EXPECT_EQ(followTransfer(
                  [&](KSNotifyTarget *window) {
                      return KSUSB_Download(KSUSB_MEM_FLASH, tooLong.c_str(), window, 1);
                  },
                  bar),
              KSUSB_ERR_OPEN_FILE);
}

// The conversion bars draw only the job the run waits for, and nothing for a job that had
// already ended when the run came to it.
struct ConversionBarsCase {
    const char *name;
    std::vector<std::pair<size_t, double>> reports; // job index, fraction
    const char *drawn;                              // what the terminal shows, or ""
};
class ConversionBarsLine : public testing::TestWithParam<ConversionBarsCase> {};
TEST_P(ConversionBarsLine, OnlyTheAwaitedJob) {
    FILE *out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    double now = 10;
    {
        ConversionBars bars(out, true, [&now] { return now; });
        const auto report = bars.reporter();
        bars.await(1, "b.flac", 4u << 20);
        for (const auto &[index, fraction] : GetParam().reports) {
            now += 1;
            report(index, fraction);
        }
        bars.finish();
    }
    std::rewind(out);
    std::string text;
    for (int c = std::fgetc(out); c != EOF; c = std::fgetc(out))
        text += char(c);
    std::fclose(out);
    const std::string last =
        text.substr(text.rfind('\r') == std::string::npos ? 0 : text.rfind('\r'));
    EXPECT_EQ(last, GetParam().drawn);
}
INSTANTIATE_TEST_SUITE_P(
    Progress, ConversionBarsLine,
    testing::Values(
        ConversionBarsCase{"awaitedJobDrawnToItsEnd",
                           {{0, 0.5}, {1, 0.25}, {2, 0.9}, {1, 0.5}},
                           "\rconverting b.flac [########################] 100%  4.0 MiB/4.0 MiB  "
                           "1.0 MiB/s  0:00 left\033[K\n"},
        ConversionBarsCase{"otherJobsDrawNothing", {{0, 0.5}, {2, 1.0}}, ""},
        ConversionBarsCase{"endedBeforeTheRunCameToIt", {}, ""}),
    [](const auto &row) { return row.param.name; });
