// Running programs from the tests and benchmarks: a command-line program run to its end with its
// output captured, and a scratch folder.
#pragma once

#include <filesystem>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kestousb::test {

struct ProcessResult {
    int exitCode = -1; // -1 when the program could not run or was killed
    std::string out;
    std::string err; // empty with Output::Merged: stderr is in `out`
};

enum class Output { Separate, Merged };

// Runs `argv` to its end (argv[0] is looked up on PATH when it has no slash) with `env`
// ("NAME=value") added to this process's environment; a name given there replaces the inherited
// one. Standard input is /dev/null.
ProcessResult runProcess(const std::vector<std::string> &argv,
                         const std::vector<std::string> &env = {},
                         Output output = Output::Separate);

// A fresh folder under the temporary folder ("PREFIX-XXXXXX"), removed with all it holds.
class TempDir {
public:
    explicit TempDir(const std::string &prefix = "tunara-test");
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    bool made() const { return !m_path.empty(); }
    const std::filesystem::path &path() const { return m_path; }
    std::filesystem::path operator/(const std::string &name) const { return m_path / name; }
    // Gives the folder up: it stays where it is.
    std::filesystem::path release();

private:
    std::filesystem::path m_path;
};

// A path under the temporary folder for one test: "PREFIX_PID_NAME", where a parameterised
// test's "Name/row" becomes "Name_row", so that removing the path leaves no parent behind.
std::filesystem::path scratchPath(const std::string &prefix, std::string testName);

namespace detail {
// argv or environment for the exec family: pointers into `strings`, then a null.
std::vector<char *> cStrings(std::vector<std::string> &strings);
// Waits for the child `pid`: its exit status, -1 when a signal ended it.
int exitStatus(pid_t pid);
} // namespace detail

} // namespace kestousb::test
