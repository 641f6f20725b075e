// Fuzz target: the conversion's demuxer and decoder (AudioSource) over any bytes, through the
// same open-by-path entry point a conversion uses (an anonymous in-memory file).
#include "audiosource.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include <sys/mman.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    using namespace tunara::media;
    const int fd = memfd_create("fuzz-audio", MFD_CLOEXEC);
    if (fd < 0)
        return 0;
    if (write(fd, data, size) != ssize_t(size)) {
        close(fd);
        return 0;
    }
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    auto opened = AudioSource::open(path, 44100);
    if (auto *source = std::get_if<std::unique_ptr<AudioSource>>(&opened)) {
        long long frames = 0;
        const auto failure = (*source)->decode(
            [&](const float *left, const float *right, int n) {
                // Every block is stereo and finite in size.
                if (left == nullptr || right == nullptr || n <= 0)
                    std::abort();
                frames += n;
                // A few seconds say enough; longer inputs would only slow the fuzzer down.
                return frames < 44100 * 4;
            },
            {}, nullptr);
        (void)failure;
    } else if (std::get<DecodeFailure>(opened).reason.empty()) {
        std::abort(); // a refusal always says why
    }
    close(fd);
    return 0;
}
