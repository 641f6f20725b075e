#include "safefilename.h"

#include <gtest/gtest.h>

namespace {

struct Row {
    const char *name;
    std::string in;
    std::string out;
};

class SafeFileNameTest : public ::testing::TestWithParam<Row> {};

TEST_P(SafeFileNameTest, BecomesOneFileName) {
    const Row &r = GetParam();
    const std::string safe = tunara::media::SafeFileName(r.in);
    EXPECT_EQ(safe, r.out);
    EXPECT_EQ(safe.find('/'), std::string::npos);
    EXPECT_NE(safe, ".");
    EXPECT_NE(safe, "..");
    EXPECT_FALSE(safe.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Names, SafeFileNameTest,
    ::testing::Values(
        Row{"plain", "Song.mp3", "Song.mp3"}, Row{"empty", "", "_"}, Row{"dot", ".", "_"},
        Row{"dotdot", "..", "_"}, Row{"dots", "...", "_"}, Row{"hidden_kept", ".bashrc", ".bashrc"},
        Row{"traversal", "../../escape.bin", ".._.._escape.bin"},
        Row{"subfolder", "a/b.mp3", "a_b.mp3"}, Row{"backslash", "..\\win.ini", ".._win.ini"},
        Row{"absolute", "/etc/passwd", "_etc_passwd"},
        Row{"control",
            std::string("a\x01\x1f\x7f"
                        "b\n.mp3"),
            "a___b_.mp3"},
        Row{"nul", std::string("a\0b.mp3", 7), "a_b.mp3"},
        Row{"hangul", "\xEB\x85\xB8\xEB\x9E\x98.mp3", "\xEB\x85\xB8\xEB\x9E\x98.mp3"},
        Row{"accents", "Caf\xC3\xA9 \xC3\x89lectrique.mp3", "Caf\xC3\xA9 \xC3\x89lectrique.mp3"},
        Row{"trailing_dot_8_3", "README.", "README."}),
    [](const ::testing::TestParamInfo<Row> &i) { return std::string(i.param.name); });

} // namespace
