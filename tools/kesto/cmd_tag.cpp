// kesto tag: show and set the ID3v2 tag of a local MP3 file, through the tag editor's engine.
#include "verb.h"

#include "genres.h"
#include "mediatexts.h"
#include "mpeginfo.h"
#include "tagengine.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <map>

namespace {

using namespace tunara::media;

class StderrSink final : public MessageSink {
public:
    void showMessage(MessageIcon, std::string_view caption, std::string_view text) override {
        if (!caption.empty())
            std::fprintf(stderr, "%.*s: ", int(caption.size()), caption.data());
        std::fprintf(stderr, "%.*s\n", int(text.size()), text.data());
    }
};

std::string jsonString(std::string_view s) {
    std::string out = "\"";
    for (const char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (u < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", unsigned(u));
            out += buf;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// The editor's captions, in its order, with each field's value as text.
std::vector<std::pair<std::string_view, std::string>> captionedValues(const TagFields &f) {
    const std::string genre = f.genre ? std::string(GenreNames[*f.genre]) : f.genreText;
    const auto &c = text::kFieldCaptions;
    return {{c[0], std::to_string(f.track)},
            {c[1], f.title},
            {c[2], f.artist},
            {c[3], f.album},
            {c[4], f.year},
            {c[5], genre},
            {c[6], f.comment},
            {c[7], f.composer},
            {c[8], f.origArtist},
            {c[9], f.copyright},
            {c[10], f.url},
            {c[11], f.encoder}};
}

void printText(const LoadedTag &t, const std::optional<MpegInfo> &mpeg) {
    for (const auto &[caption, value] : captionedValues(t.fields))
        std::printf("%.*s\t%s\n", int(caption.size()), caption.data(), value.c_str());
    if (t.hasTag)
        std::printf("Tag\tID3v2.%d, %llu bytes\n", t.version,
                    static_cast<unsigned long long>(t.tagSize));
    else
        std::printf("Tag\tnone\n");
    std::printf("File size\t%llu bytes\n", static_cast<unsigned long long>(t.fileSize));
    if (mpeg)
        std::printf("MPEG\tLayer %d, %s, %s, %s, CRC %s, copyrighted %s, original %s\n",
                    mpeg->layer, mpeg->bitRate.c_str(), mpeg->frequency.c_str(), mpeg->mode.c_str(),
                    mpeg->crc.c_str(), mpeg->copyrighted.c_str(), mpeg->original.c_str());
    else
        std::printf("MPEG\tno MPEG-1 frame header\n");
}

void printJson(const std::string &path, const LoadedTag &t, const std::optional<MpegInfo> &mpeg) {
    const TagFields &f = t.fields;
    std::printf("{\n  \"path\": %s,\n", jsonString(path).c_str());
    std::printf("  \"fileSize\": %llu,\n", static_cast<unsigned long long>(t.fileSize));
    if (t.hasTag)
        std::printf("  \"tag\": {\"version\": \"2.%d\", \"size\": %llu},\n", t.version,
                    static_cast<unsigned long long>(t.tagSize));
    else
        std::printf("  \"tag\": null,\n");
    std::printf("  \"writable\": %s,\n", t.writable ? "true" : "false");
    std::printf("  \"track\": %d,\n", f.track);
    const std::pair<const char *, const std::string *> texts[] = {{"title", &f.title},
                                                                  {"artist", &f.artist},
                                                                  {"album", &f.album},
                                                                  {"year", &f.year},
                                                                  {"comment", &f.comment},
                                                                  {"composer", &f.composer},
                                                                  {"origArtist", &f.origArtist},
                                                                  {"copyright", &f.copyright},
                                                                  {"url", &f.url},
                                                                  {"encoder", &f.encoder}};
    for (const auto &[key, value] : texts)
        std::printf("  \"%s\": %s,\n", key, jsonString(*value).c_str());
    if (f.genre)
        std::printf("  \"genre\": %s,\n  \"genreIndex\": %d,\n",
                    jsonString(GenreNames[*f.genre]).c_str(), *f.genre);
    else
        std::printf("  \"genre\": %s,\n  \"genreIndex\": null,\n", jsonString(f.genreText).c_str());
    if (mpeg)
        std::printf("  \"mpeg\": {\"layer\": %d, \"bitRate\": %s, \"frequency\": %s, \"mode\": %s, "
                    "\"crc\": %s, \"copyrighted\": %s, \"original\": %s, \"offset\": %llu}\n",
                    mpeg->layer, jsonString(mpeg->bitRate).c_str(),
                    jsonString(mpeg->frequency).c_str(), jsonString(mpeg->mode).c_str(),
                    jsonString(mpeg->crc).c_str(), jsonString(mpeg->copyrighted).c_str(),
                    jsonString(mpeg->original).c_str(),
                    static_cast<unsigned long long>(mpeg->offset));
    else
        std::printf("  \"mpeg\": null\n");
    std::printf("}\n");
}

int show(std::span<const std::string> args) {
    bool json = false;
    std::optional<std::string> path;
    for (const auto &a : args) {
        if (a == "--json")
            json = true;
        else if (!path && (a.empty() || a[0] != '-'))
            path = a;
        else {
            std::fprintf(stderr, "kesto tag show: unexpected argument '%s'\n", a.c_str());
            return kesto::kExitUsage;
        }
    }
    if (!path) {
        std::fprintf(stderr, "kesto tag show: no file given\n");
        return kesto::kExitUsage;
    }
    const auto loaded = loadTag(*path);
    if (const auto *error = std::get_if<TagError>(&loaded)) {
        std::fprintf(stderr, "kesto tag show: %s: %s\n", path->c_str(), error->message.c_str());
        return kesto::kExitFailed;
    }
    StderrSink sink;
    const auto mpeg = ReadMpegInfo(*path, sink);
    if (json)
        printJson(*path, std::get<LoadedTag>(loaded), mpeg);
    else
        printText(std::get<LoadedTag>(loaded), mpeg);
    return kesto::kExitOk;
}

// The whole text as an integer, as the editor's track box accepts it.
std::optional<int> wholeInteger(const std::string &s) {
    int value = 0;
    const char *begin = s.data() + (s.size() > 1 && s[0] == '+' ? 1 : 0);
    const auto [end, ec] = std::from_chars(begin, s.data() + s.size(), value);
    if (s.empty() || ec != std::errc{} || end != s.data() + s.size())
        return std::nullopt;
    return value;
}

int set(std::span<const std::string> args) {
    if (args.empty() || args[0].empty() || args[0][0] == '-') {
        std::fprintf(stderr, "kesto tag set: no file given\n");
        return kesto::kExitUsage;
    }
    const std::string &path = args[0];
    if (const auto refusal = pathRefusal(path)) {
        std::fprintf(stderr, "kesto tag set: %.*s\n", int(refusal->size()), refusal->data());
        return kesto::kExitFailed;
    }
    std::map<std::string, std::string> values;
    static const std::vector<std::string> known{
        "--title",   "--artist",   "--album",       "--year",      "--genre", "--track",
        "--comment", "--composer", "--orig-artist", "--copyright", "--url",   "--encoder"};
    for (std::size_t i = 1; i < args.size(); i += 2) {
        if (std::find(known.begin(), known.end(), args[i]) == known.end()) {
            std::fprintf(stderr, "kesto tag set: unknown option '%s'\n", args[i].c_str());
            return kesto::kExitUsage;
        }
        if (i + 1 >= args.size()) {
            std::fprintf(stderr, "kesto tag set: %s needs a value\n", args[i].c_str());
            return kesto::kExitUsage;
        }
        values[args[i]] = args[i + 1];
    }

    auto loaded = loadTag(path);
    if (const auto *error = std::get_if<TagError>(&loaded)) {
        std::fprintf(stderr, "kesto tag set: %s: %s\n", path.c_str(), error->message.c_str());
        return kesto::kExitFailed;
    }
    TagFields f = std::get<LoadedTag>(loaded).fields;
    const std::pair<const char *, std::string *> texts[] = {{"--title", &f.title},
                                                            {"--artist", &f.artist},
                                                            {"--album", &f.album},
                                                            {"--year", &f.year},
                                                            {"--comment", &f.comment},
                                                            {"--composer", &f.composer},
                                                            {"--orig-artist", &f.origArtist},
                                                            {"--copyright", &f.copyright},
                                                            {"--url", &f.url},
                                                            {"--encoder", &f.encoder}};
    for (const auto &[option, field] : texts)
        if (auto it = values.find(option); it != values.end())
            *field = it->second;
    if (auto it = values.find("--track"); it != values.end()) {
        const auto track = wholeInteger(it->second);
        if (!track) {
            std::fprintf(stderr, "kesto tag set: --track: %.*s\n", int(text::kEnterInteger.size()),
                         text::kEnterInteger.data());
            return kesto::kExitUsage;
        }
        f.track = *track;
    }
    if (auto it = values.find("--genre"); it != values.end()) {
        f.genreText.clear();
        f.genre.reset();
        if (!it->second.empty()) {
            f.genre = genreFromTcon(it->second); // a name in any case, 17 or (17)
            if (!f.genre) {
                std::fprintf(stderr,
                             "kesto tag set: unknown genre '%s' (an ID3v1 genre name or number "
                             "0-125, or '' for none)\n",
                             it->second.c_str());
                return kesto::kExitUsage;
            }
        }
    }
    if (const auto error = saveTag(path, f)) {
        std::fprintf(stderr, "kesto tag set: %s\n", error->message.c_str());
        return kesto::kExitFailed;
    }
    return kesto::kExitOk;
}

int tagMain(std::span<const std::string> args) {
    if (!args.empty() && args[0] == "show")
        return show(args.subspan(1));
    if (!args.empty() && args[0] == "set")
        return set(args.subspan(1));
    std::fprintf(stderr, "kesto tag: expected 'show' or 'set' (see 'kesto help tag')\n");
    return kesto::kExitUsage;
}

const kesto::Verb tagVerb(kesto::help::command("tag"), tagMain);

} // namespace
