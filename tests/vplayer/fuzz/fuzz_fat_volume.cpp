// Fuzz target: the state folder is user input. The bytes are a memory image the player opens
// as its FAT volume; every file it lists is read back, and the input's last byte chooses a
// change (delete, rename, move, a new file) made on the volume as the player would on command.
// The same bytes also go through the player.ini reader.
#include "fat_volume.h"
#include "ini_file.h"

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

using namespace vplayer;

namespace {

ShortName shortOf(const DirRecord &r) {
    ShortName n{};
    std::copy_n(r.begin(), n.size(), n.begin());
    return n;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    IniFile ini;
    ini.parse(std::string(reinterpret_cast<const char *>(data), size));
    (void)ini.value("Player", "FlashBytes", "");

    // An image is at least a boot sector; a memory of more than 4 MiB is not worth the time.
    if (size < 512 || size > (4u << 20))
        return 0;
    static const int fd = memfd_create("fuzz-image", 0);
    if (fd < 0)
        std::abort();
    if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
        std::abort();
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    std::string error;
    auto volume = FatVolume::open(path, error);
    if (!volume)
        return 0;
    (void)volume->totalBytes();
    (void)volume->freeBytes();
    const auto records = volume->rootRecords();
    for (const DirRecord &r : records)
        if (r[11] != 0x0F)
            (void)volume->readFile(shortOf(r));
    if (records.empty())
        return 0;
    const ShortName first = shortOf(records.back());
    const ShortName fresh{'F', 'U', 'Z', 'Z', ' ', ' ', ' ', ' ', 'M', 'P', '3'};
    switch (data[size - 1] & 3) {
    case 0:
        (void)volume->remove(first);
        break;
    case 1:
        (void)volume->rename(first, fresh, u"a long name for the file.mp3");
        break;
    case 2:
        (void)volume->moveTo(first, 0);
        break;
    default: {
        FatVolume::Result result{};
        if (auto writer = volume->create(fresh, u"new.mp3", 0x20, 0, 0, 5000, result)) {
            const std::vector<uint8_t> bytes(5000, 0x5A);
            if (writer->write(bytes) == FatVolume::Result::Ok &&
                writer->finish() == FatVolume::Result::Ok) {
                // A file the volume took is there to be read back whole.
                const auto back = volume->readFile(fresh);
                if (!back || *back != bytes)
                    std::abort();
            }
        }
        break;
    }
    }
    (void)volume->rootRecords();
    return 0;
}
