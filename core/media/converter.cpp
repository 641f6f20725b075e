#include "converter.h"

#include "audiosource.h"
#include "coverart.h"
#include "genres.h"
#include "mp3encoder.h"
#include "tagengine.h"

#include <taglib/attachedpictureframe.h>
#include <taglib/id3v2tag.h>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tunara::media {

namespace {

constexpr int kLayer3Rates[] = {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
constexpr size_t kWriteChunk = 256 * 1024; // encoded bytes gathered before one write

struct Stamp {
    off_t size = -1;
    timespec modified{};
    bool operator==(const Stamp &o) const {
        return size == o.size && modified.tv_sec == o.modified.tv_sec &&
               modified.tv_nsec == o.modified.tv_nsec;
    }
};

std::optional<Stamp> stampOf(const std::string &path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return std::nullopt;
    return Stamp{st.st_size, st.st_mtim};
}

// Closes and, unless kept, removes the output file.
class OutputFile {
public:
    explicit OutputFile(std::string path) : m_path(std::move(path)) {
        m_fd = ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    }
    ~OutputFile() {
        if (m_fd >= 0)
            ::close(m_fd);
        if (!m_kept)
            ::unlink(m_path.c_str());
    }
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    bool ok() const { return m_fd >= 0; }
    bool write(const std::uint8_t *data, size_t n) {
        while (n > 0) {
            const ssize_t w = ::write(m_fd, data, n);
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                return false;
            data += w;
            n -= size_t(w);
            m_written += size_t(w);
        }
        return true;
    }
    bool writeAt(const std::vector<std::uint8_t> &data, off_t offset) {
        return ::pwrite(m_fd, data.data(), data.size(), offset) == ssize_t(data.size());
    }
    // Closes the file; false when the last of its data could not be written.
    bool close() {
        const int rc = ::close(m_fd);
        m_fd = -1;
        return rc == 0;
    }
    void keep() { m_kept = true; }
    size_t written() const { return m_written; }

private:
    std::string m_path;
    int m_fd = -1;
    bool m_kept = false;
    size_t m_written = 0;
};

TagFields fieldsOf(const SourceTags &t) {
    TagFields f;
    f.title = t.title;
    f.artist = t.artist;
    f.album = t.album;
    f.year = t.year;
    f.track = t.track > 0 ? t.track : 0;
    f.comment = t.comment;
    f.composer = t.composer;
    if (!t.genre.empty()) {
        f.genre = genreFromTcon(t.genre);
        if (!f.genre)
            f.genreText = t.genre;
    }
    return f;
}

// The ID3v2.3 tag of the converted file: the cover as an APIC frame, the fields by the tag
// engine, which writes them the way the tag editor does.
std::variant<std::vector<std::uint8_t>, std::string>
tagBytes(const TagFields &fields, const std::vector<std::uint8_t> &cover) {
    std::vector<std::uint8_t> withCover;
    if (!cover.empty()) {
        TagLib::ID3v2::Tag tag;
        auto *apic = new TagLib::ID3v2::AttachedPictureFrame;
        apic->setMimeType("image/jpeg");
        apic->setType(TagLib::ID3v2::AttachedPictureFrame::FrontCover);
        apic->setPicture(
            TagLib::ByteVector(reinterpret_cast<const char *>(cover.data()), uint(cover.size())));
        tag.addFrame(apic); // the tag owns it
        const TagLib::ByteVector data = tag.render(TagLib::ID3v2::v3);
        withCover.assign(data.begin(), data.end());
    }
    auto rendered = renderTag(withCover, fields);
    if (auto *error = std::get_if<TagError>(&rendered))
        return error->message;
    return std::get<std::vector<std::uint8_t>>(std::move(rendered));
}

std::string systemReason() {
    return std::strerror(errno);
}

} // namespace

std::string ConvertSettings::key() const {
    return std::string(vbr ? "vbr" : "cbr") + std::to_string(bitRateKbps) + "-" +
           std::to_string(sampleRate) + (cover ? "-cover" : "-nocover");
}

bool isLayer3BitRate(int kbps) {
    for (const int r : kLayer3Rates)
        if (r == kbps)
            return true;
    return false;
}

std::optional<ConvertFailure> convertFile(const std::string &source, const std::string &output,
                                          const ConvertSettings &settings,
                                          const ConvertProgress &progress,
                                          const std::atomic<bool> *stop,
                                          std::vector<std::string> *notes) {
    const auto fail = [&](const std::string &why) {
        return ConvertFailure{source + ": " + why, false};
    };
    const std::optional<Stamp> before = stampOf(source);
    if (!before)
        return fail("cannot be read: " + systemReason());

    auto opened = AudioSource::open(source, settings.sampleRate);
    if (auto *failure = std::get_if<DecodeFailure>(&opened))
        return fail(failure->reason);
    AudioSource &audio = *std::get<std::unique_ptr<AudioSource>>(opened);

    std::vector<std::uint8_t> cover;
    if (settings.cover && !audio.cover().bytes.empty()) {
        auto made = coverJpeg(audio.cover().bytes, audio.cover().codecId);
        if (auto *jpeg = std::get_if<std::vector<std::uint8_t>>(&made))
            cover = std::move(*jpeg);
        else if (notes != nullptr)
            notes->push_back(source + ": the cover is left out: " + std::get<std::string>(made));
    }
    auto tag = tagBytes(fieldsOf(audio.tags()), cover);
    if (auto *error = std::get_if<std::string>(&tag))
        return fail("its tags cannot be written: " + *error);
    const auto &tagData = std::get<std::vector<std::uint8_t>>(tag);

    auto made = Mp3Encoder::create(
        EncoderSettings{settings.sampleRate, settings.bitRateKbps, settings.vbr});
    if (auto *error = std::get_if<std::string>(&made))
        return fail(*error);
    Mp3Encoder &encoder = *std::get<std::unique_ptr<Mp3Encoder>>(made);

    OutputFile out(output);
    if (!out.ok())
        return fail("cannot create " + output + ": " + systemReason());
    const auto writeFailed = [&] { return fail("cannot write " + output + ": " + systemReason()); };
    if (!out.write(tagData.data(), tagData.size()))
        return writeFailed();
    const off_t audioStart = off_t(tagData.size());

    std::vector<std::uint8_t> pending;
    pending.reserve(kWriteChunk + 8192);
    bool writeError = false;
    bool encodeError = false;
    const auto sink = [&](const float *left, const float *right, int frames) {
        if (!encoder.encode(left, right, frames, pending)) {
            encodeError = true;
            return false;
        }
        if (pending.size() >= kWriteChunk) {
            if (!out.write(pending.data(), pending.size())) {
                writeError = true;
                return false;
            }
            pending.clear();
        }
        return true;
    };
    if (auto failure = audio.decode(sink, progress, stop)) {
        if (writeError)
            return writeFailed();
        if (encodeError)
            return fail("the MP3 encoder failed");
        if (failure->stopped)
            return ConvertFailure{source + ": stopped", true};
        return fail(failure->reason);
    }
    if (!encoder.finish(pending))
        return fail("the MP3 encoder failed");
    if (!out.write(pending.data(), pending.size()))
        return writeFailed();
    const std::vector<std::uint8_t> info = encoder.infoFrame();
    if (!info.empty() && !out.writeAt(info, audioStart))
        return writeFailed();
    if (!out.close())
        return writeFailed();
    const std::optional<Stamp> after = stampOf(source);
    if (!after || !(*after == *before))
        return fail("the file changed while it was being converted; try again");
    out.keep();
    return std::nullopt;
}

} // namespace tunara::media
