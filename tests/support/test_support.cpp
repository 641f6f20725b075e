// The shared test support itself: reading --json output, running programs, and starting and
// stopping the virtual player, including a player that cannot start.
#include "json_fields.h"
#include "vplayer_process.h"

#include <gtest/gtest.h>

#include <fstream>

namespace ktest = kestousb::test;

namespace {

struct JsonCase {
    const char *name;
    const char *text;
    bool ok;
    ktest::JsonFields top;   // when ok
    size_t items = 0;        // when ok
    ktest::JsonFields first; // the first item, when there is one
};

class JsonList : public ::testing::TestWithParam<JsonCase> {};

TEST_P(JsonList, ReadsScalarsAndItemsOrRefuses) {
    const JsonCase &c = GetParam();
    ktest::JsonFields top;
    std::vector<ktest::JsonFields> items;
    ASSERT_EQ(ktest::readJsonList(c.text, "files", top, items), c.ok) << c.text;
    if (!c.ok)
        return;
    EXPECT_EQ(top, c.top);
    ASSERT_EQ(items.size(), c.items);
    if (!items.empty()) {
        EXPECT_EQ(items.front(), c.first);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, JsonList,
    ::testing::Values(
        JsonCase{"Listing",
                 R"({"memory":"M","free":1024,"files":[{"name":"Gr\u00fc\u00dfe \"1\".mp3",)"
                 R"("order":1,"size":0,"ok":true,"tags":{"x":1}},{"name":"b"}]})",
                 true,
                 {{"memory", "M"}, {"free", "1024"}},
                 2,
                 {{"name", "Gr\xC3\xBC\xC3\x9F"
                           "e \"1\".mp3"},
                  {"order", "1"},
                  {"size", "0"},
                  {"ok", "true"}}},
        JsonCase{"EmptyList", R"({"free":0,"files":[]})", true, {{"free", "0"}}, 0, {}},
        JsonCase{"NotJson", "kesto: no player", false, {}, 0, {}},
        JsonCase{"CutShort", R"({"free":0,"files":[{"name":"a")", false, {}, 0, {}},
        JsonCase{"TopIsAnArray", R"([{"files":[]}])", false, {}, 0, {}},
        JsonCase{"NoList", R"({"free":0})", false, {}, 0, {}},
        JsonCase{"ListOfNumbers", R"({"files":[1,2]})", false, {}, 0, {}}),
    [](const auto &row) { return std::string(row.param.name); });

struct RunCase {
    const char *name;
    std::vector<std::string> argv;
    std::vector<std::string> env;
    ktest::Output output;
    int exitCode;
    std::string out, err;
};

class RunProcess : public ::testing::TestWithParam<RunCase> {};

TEST_P(RunProcess, CapturesOutputAndStatus) {
    const RunCase &c = GetParam();
    const ktest::ProcessResult r = ktest::runProcess(c.argv, c.env, c.output);
    EXPECT_EQ(r.exitCode, c.exitCode);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RunProcess,
    ::testing::Values(
        RunCase{"Separate",
                {"sh", "-c", "echo out; echo err >&2; exit 3"},
                {},
                ktest::Output::Separate,
                3,
                "out\n",
                "err\n"},
        RunCase{"Merged",
                {"sh", "-c", "echo out; echo err >&2"},
                {},
                ktest::Output::Merged,
                0,
                "out\nerr\n",
                ""},
        RunCase{"EnvironmentReplaced",
                {"sh", "-c", "printf %s \"$HOME\""},
                {"HOME=/nowhere"},
                ktest::Output::Separate,
                0,
                "/nowhere",
                ""},
        RunCase{"StdinIsEmpty", {"cat"}, {}, ktest::Output::Separate, 0, "", ""},
        RunCase{"Missing", {"/nonexistent/program"}, {}, ktest::Output::Separate, -1, "", ""},
        RunCase{
            "KilledBySignal", {"sh", "-c", "kill -9 $$"}, {}, ktest::Output::Separate, -1, "", ""}),
    [](const auto &row) { return std::string(row.param.name); });

TEST(VplayerProcess, StartsAnswersControlAndCleansUp) {
    std::filesystem::path state;
    {
        ktest::VplayerProcess player(VPLAYER_PROGRAM);
        ASSERT_TRUE(player.started()) << player.log();
        state = player.stateDir();
        EXPECT_EQ(player.address(), "127.0.0.1:" + player.port());
        EXPECT_EQ(player.ctl({"unplug"}), 0);
        const ktest::ProcessResult status = player.ctlRun({"status"});
        EXPECT_NE(status.out.find("plugged: no"), std::string::npos) << status.out;
        EXPECT_NE(player.ctl({"no-such-command"}), 0);
        EXPECT_EQ(player.stop(), 0);
        EXPECT_EQ(player.stop(), 0);
    }
    EXPECT_FALSE(std::filesystem::exists(state));
}

TEST(VplayerProcess, APlayerThatCannotStartIsReportedAndItsFolderKept) {
    ktest::TempDir dir("support-test");
    ASSERT_TRUE(dir.made());
    std::ofstream(dir / "card.img") << "not an image";
    {
        ktest::VplayerProcess player(VPLAYER_PROGRAM, dir.path().string());
        EXPECT_FALSE(player.started());
        EXPECT_TRUE(player.address().empty());
        EXPECT_NE(player.log().find("card.img"), std::string::npos) << player.log();
        EXPECT_EQ(player.stop(), 1);
    }
    EXPECT_TRUE(std::filesystem::exists(dir / "card.img"));
}

} // namespace
