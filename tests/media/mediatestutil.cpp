#include "mediatestutil.h"

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace mediatest {

TempDir::TempDir() {
    const char *base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/tunara-media-XXXXXX";
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::permissions(m_path, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(m_path, ec);
}

Bytes readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string &path, const Bytes &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

namespace {
std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
} // namespace

RunResult run(const std::vector<std::string> &argv) {
    TempDir io;
    const std::string outPath = io.file("out"), errPath = io.file("err");
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int in = ::open("/dev/null", O_RDONLY);
        const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || out < 0 || err < 0)
            ::_exit(127);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        std::vector<char *> args;
        for (const auto &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    RunResult result;
    int status = 0;
    if (pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    result.out = slurp(outPath);
    result.err = slurp(errPath);
    return result;
}

std::uint32_t header(unsigned version, unsigned layer, unsigned bitRateIndex,
                     unsigned sampleRateIndex, unsigned padding, unsigned protection,
                     unsigned channelMode) {
    return 0xFFE00000u | (version << 19) | (layer << 17) | (protection << 16) |
           (bitRateIndex << 12) | (sampleRateIndex << 10) | (padding << 9) | (channelMode << 6);
}

void putHeader(Bytes &bytes, std::size_t at, std::uint32_t value) {
    if (bytes.size() < at + 4)
        bytes.resize(at + 4);
    bytes[at] = std::uint8_t(value >> 24);
    bytes[at + 1] = std::uint8_t(value >> 16);
    bytes[at + 2] = std::uint8_t(value >> 8);
    bytes[at + 3] = std::uint8_t(value);
}

Bytes id3Header(std::uint8_t major, std::uint8_t flags, std::uint32_t bodySize) {
    return {'I',
            'D',
            '3',
            major,
            0,
            flags,
            std::uint8_t((bodySize >> 21) & 0x7F),
            std::uint8_t((bodySize >> 14) & 0x7F),
            std::uint8_t((bodySize >> 7) & 0x7F),
            std::uint8_t(bodySize & 0x7F)};
}

Bytes textFrame23(const std::string &id, const std::string &text) {
    const std::uint32_t size = std::uint32_t(text.size() + 1);
    Bytes f(id.begin(), id.end());
    f.push_back(std::uint8_t(size >> 24));
    f.push_back(std::uint8_t(size >> 16));
    f.push_back(std::uint8_t(size >> 8));
    f.push_back(std::uint8_t(size));
    f.push_back(0);
    f.push_back(0);
    f.push_back(0); // ISO-8859-1
    f.insert(f.end(), text.begin(), text.end());
    return f;
}

} // namespace mediatest
