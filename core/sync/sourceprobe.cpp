#include "sourceprobe.h"

#include "audiosource.h"
#include "avhandles.h"
#include "coverart.h"
#include "genres.h"
#include "localinput.h"
#include "tagengine.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
}

#include <taglib/attachedpictureframe.h>
#include <taglib/id3v2tag.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <initializer_list>
#include <memory>

namespace tunara::sync {

namespace {

// The values the conversion reads, read as it reads them.
using media::av::tagValue;
using media::av::yearOf;

// The bytes of the tag the converter writes with these fields and cover (empty: none).
std::uint64_t renderedTagBytes(const media::TagFields &fields,
                               const std::vector<std::uint8_t> &cover) {
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
    auto rendered = media::renderTag(withCover, fields);
    if (const auto *bytes = std::get_if<std::vector<std::uint8_t>>(&rendered))
        return bytes->size();
    return 0; // the converter refuses such a file; its size does not matter
}

} // namespace

std::variant<SourceInfo, std::string> probeSource(const std::string &path) {
    media::silenceFfmpegLog();
    // Opened as the converter opens it: a local file, never a protocol or a playlist.
    AVFormatContext *raw = nullptr;
    if (const int opened = media::openLocalInput(&raw, path); opened < 0) {
        const std::string refused = media::refusedFormatOf(path);
        return refused.empty() ? "cannot be read as audio: " + media::av::errorText(opened)
                               : "is a playlist or script naming other files (" + refused +
                                     "), not an audio file";
    }
    std::unique_ptr<AVFormatContext, media::av::FormatCloser> fmt(raw);
    if (const int rc = avformat_find_stream_info(raw, nullptr); rc < 0)
        return "no stream information: " + media::av::errorText(rc);
    const int index = av_find_best_stream(raw, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (index < 0)
        return std::string("holds no audio stream");
    const AVStream *st = raw->streams[index];

    SourceInfo info;
    if (st->duration != AV_NOPTS_VALUE && st->duration > 0)
        info.seconds = double(st->duration) * av_q2d(st->time_base);
    else if (raw->duration != AV_NOPTS_VALUE && raw->duration > 0)
        info.seconds = double(raw->duration) / AV_TIME_BASE;
    info.sampleRate = st->codecpar->sample_rate;
    const std::int64_t rate = st->codecpar->bit_rate > 0 ? st->codecpar->bit_rate : raw->bit_rate;
    info.bitRateBps = int(std::clamp<std::int64_t>(rate, 0, INT32_MAX));

    const AVDictionary *global = raw->metadata;
    const AVDictionary *own = st->metadata;
    media::TagFields fields;
    fields.title = tagValue(global, own, {"title"});
    fields.artist = tagValue(global, own, {"artist", "album_artist"});
    fields.album = tagValue(global, own, {"album"});
    fields.year = yearOf(tagValue(global, own, {"date", "year", "TYER", "TDRC"}));
    const std::string genre = tagValue(global, own, {"genre"});
    if (!genre.empty()) {
        fields.genre = media::genreFromTcon(genre);
        if (!fields.genre)
            fields.genreText = genre;
    }
    fields.comment = tagValue(global, own, {"comment", "description"});
    fields.composer = tagValue(global, own, {"composer"});
    fields.track = std::max(0, std::atoi(tagValue(global, own, {"track", "tracknumber"}).c_str()));
    info.track = fields.track;
    info.disc = std::max(0, std::atoi(tagValue(global, own, {"disc", "discnumber"}).c_str()));
    info.album = fields.album;
    info.title = fields.title;

    // The front cover where the source marks one, else its first picture, as the conversion
    // takes it.
    media::SourceCover cover;
    for (unsigned i = 0; i < raw->nb_streams; ++i) {
        const AVStream *pic = raw->streams[i];
        if ((pic->disposition & AV_DISPOSITION_ATTACHED_PIC) == 0 || pic->attached_pic.size <= 0)
            continue;
        const AVDictionaryEntry *kind = av_dict_get(pic->metadata, "comment", nullptr, 0);
        const bool front = kind != nullptr && std::string_view(kind->value) == "Cover (front)";
        if (!cover.bytes.empty() && !front)
            continue;
        cover.bytes.assign(pic->attached_pic.data, pic->attached_pic.data + pic->attached_pic.size);
        cover.codecId = pic->codecpar->codec_id;
        if (front)
            break;
    }
    info.tagBytes = renderedTagBytes(fields, {});
    info.tagBytesWithCover = info.tagBytes;
    if (!cover.bytes.empty()) {
        auto jpeg = media::coverJpeg(cover.bytes, cover.codecId);
        if (const auto *bytes = std::get_if<std::vector<std::uint8_t>>(&jpeg))
            info.tagBytesWithCover = renderedTagBytes(fields, *bytes);
    }
    return info;
}

} // namespace tunara::sync
