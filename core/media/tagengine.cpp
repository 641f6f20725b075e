#include "tagengine.h"

#include "genres.h"
#include "id3header.h"
#include "leadinginteger.h"
#include "mediatexts.h"
#include "tagdowngrade.h"
#include "tagframes.h"

#include <taglib/commentsframe.h>
#include <taglib/id3v2framefactory.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/tbytevectorstream.h>
#include <taglib/textidentificationframe.h>
#include <taglib/urllinkframe.h>

#include <algorithm>
#include <memory>

namespace tunara::media {

namespace {

namespace id3 = TagLib::ID3v2;

constexpr unsigned kVersion22 = 2;
constexpr unsigned kVersion23 = 3;
constexpr unsigned kVersion24 = 4;
constexpr wchar_t kLatin1Last = 0xFF;
// "yyyy-mm-dd": a date the 2.3 tag keeps as TYER plus TDAT.
constexpr std::size_t kDateLength = 10;
constexpr const char *kCommentLanguage = "eng";
constexpr std::size_t kLargestTagBody = 0x0FFFFFFF; // a 28-bit size

// TagLib renames 2.3 frames to their 2.4 names on reading (TYER to TDRC) and drops the ones 2.4
// does not know (RVAD, TDAT, TIME, ...). Tags are written back as 2.3, so 2.3 frames are kept as
// they are; only 2.2 names are still translated, those 2.4 lacks to their 2.3 names.
template <typename Method>
struct FirstArgument;
template <typename Class, typename Result, typename Arg>
struct FirstArgument<Result (Class::*)(Arg) const> {
    using type = Arg;
};
// The frame header type is not a public name; take it from the hook's signature.
class FrameFactoryBase : public id3::FrameFactory {
protected:
    using HeaderPointer = FirstArgument<decltype(&FrameFactoryBase::updateFrame)>::type;
};

class KeepingFrameFactory final : public FrameFactoryBase {
public:
    static const KeepingFrameFactory &instance() {
        static const KeepingFrameFactory factory;
        return factory;
    }

protected:
    bool updateFrame(HeaderPointer header) const override {
        if (header->version() == kVersion23)
            return true;
        const TagLib::ByteVector id = header->frameID();
        if (header->version() == kVersion22) {
            if (const char *name = v23NameOfV22Frame(std::string_view(id.data(), id.size()))) {
                header->setFrameID(name);
                return true;
            }
        }
        return id3::FrameFactory::updateFrame(header);
    }
};

TagLib::String fromUtf8(const std::string &s) {
    return TagLib::String(s, TagLib::String::UTF8);
}
std::string toUtf8(const TagLib::String &s) {
    return s.to8Bit(true);
}

bool fitsLatin1(const TagLib::String &s) {
    for (auto it = s.begin(); it != s.end(); ++it)
        if (*it > kLatin1Last)
            return false;
    return true;
}
// ISO-8859-1 when the text fits, else UTF-16 with a byte-order mark.
TagLib::String::Type encodingFor(const TagLib::String &s) {
    return fitsLatin1(s) ? TagLib::String::Latin1 : TagLib::String::UTF16;
}

const id3::FrameList &frames(const id3::Tag &tag, const char *id) {
    return tag.frameListMap()[TagLib::ByteVector(id)];
}

std::string joinedText(const id3::Tag &tag, const char *id) {
    const auto &list = frames(tag, id);
    if (list.isEmpty())
        return {};
    if (auto *text = dynamic_cast<id3::TextIdentificationFrame *>(list.front()))
        return toUtf8(text->fieldList().toString("/"));
    return toUtf8(list.front()->toString());
}

// TagLib splits "(17)Rock" into its parts on reading; put the number back into parentheses so
// that the editor's rule reads the same text a 2.3 tag holds.
std::string genreText(const id3::Tag &tag) {
    const auto &list = frames(tag, "TCON");
    if (list.isEmpty())
        return {};
    auto *text = dynamic_cast<id3::TextIdentificationFrame *>(list.front());
    if (!text)
        return {};
    std::string out;
    for (const auto &field : text->fieldList()) {
        const std::string part = toUtf8(field);
        const bool number =
            !part.empty() && part.find_first_not_of("0123456789") == std::string::npos;
        out += number ? "(" + part + ")" : part;
    }
    return out;
}

template <typename Frame>
Frame *plainFrame(const id3::Tag &tag, const char *id) {
    for (auto *frame : frames(tag, id))
        if (auto *typed = dynamic_cast<Frame *>(frame); typed && typed->description().isEmpty())
            return typed;
    return nullptr;
}

// The parser rewrites TCON on reading ("(17)Rock" becomes "Rock", "(200)" vanishes), so the
// genre rule reads the stored text itself when the frame is stored plainly.
std::optional<std::string> storedGenreText(std::span<const std::uint8_t> tagBytes) {
    std::optional<std::string> found;
    walkFrames(tagBytes, [&](const RawFrame &frame) {
        if (found || !frame.plain || frame.payload.empty() ||
            (frame.id != "TCON" && frame.id != "TCO"))
            return;
        // The encoding byte comes from the file: only the four known values become a type.
        if (frame.payload[0] > TagLib::String::UTF8)
            return;
        const auto encoding = static_cast<TagLib::String::Type>(frame.payload[0]);
        const TagLib::ByteVector text(reinterpret_cast<const char *>(frame.payload.data() + 1),
                                      static_cast<unsigned>(frame.payload.size() - 1));
        // 2.4 separates several genres with a null; a lone number stands for "(n)".
        std::string joined;
        const TagLib::StringList parts =
            TagLib::String(text, encoding).split(TagLib::String(std::string(1, '\0')));
        for (const auto &part : parts) {
            const std::string piece = toUtf8(part);
            const bool number =
                !piece.empty() && piece.find_first_not_of("0123456789") == std::string::npos;
            joined += number && parts.size() > 1 ? "(" + piece + ")" : piece;
        }
        found = joined;
    });
    return found;
}

// A TCON text that TagLib reads as a number from 0 to 255 (" 1", "+7", "200") is written as a
// genre reference, "( 1)" or "(200)", and so are the two refinements "RX" (remix) and "CR"
// (cover). The text takes that form on loading already, so that what the editor shows is what a
// save writes and loads again.
std::string asWrittenTcon(std::string text) {
    if (text == "RX" || text == "CR")
        return "(" + text + ")";
    bool number = false;
    const int n = TagLib::String(text, TagLib::String::UTF8).toInt(&number);
    return number && n >= 0 && n <= 255 ? "(" + text + ")" : text;
}

TagFields readFields(const id3::Tag &tag, std::span<const std::uint8_t> tagBytes) {
    TagFields f;
    f.track = leadingInteger(joinedText(tag, "TRCK")).value_or(0);
    f.title = joinedText(tag, "TIT2");
    f.artist = joinedText(tag, "TPE1");
    f.album = joinedText(tag, "TALB");
    f.year = joinedText(tag, "TYER");
    if (f.year.empty())
        f.year = joinedText(tag, "TDRC");
    const std::string tcon = asWrittenTcon(storedGenreText(tagBytes).value_or(genreText(tag)));
    f.genre = genreFromTcon(tcon);
    if (!f.genre)
        f.genreText = tcon;
    if (auto *comment = plainFrame<id3::CommentsFrame>(tag, "COMM"))
        f.comment = toUtf8(comment->text());
    f.composer = joinedText(tag, "TCOM");
    f.origArtist = joinedText(tag, "TOPE");
    f.copyright = joinedText(tag, "TCOP");
    if (auto *url = plainFrame<id3::UserUrlLinkFrame>(tag, "WXXX"))
        f.url = toUtf8(url->url());
    f.encoder = joinedText(tag, "TENC");
    return f;
}

// Sets the first frame `id` to `value`, or adds one; further frames of the same id are removed so
// that readers that take the last one see the same value.
void setText(id3::Tag &tag, const char *id, const std::string &value) {
    const TagLib::String text = fromUtf8(value);
    const id3::FrameList list = frames(tag, id);
    id3::TextIdentificationFrame *target = nullptr;
    for (auto *frame : list) {
        auto *typed = dynamic_cast<id3::TextIdentificationFrame *>(frame);
        if (!target && typed)
            target = typed;
        else
            tag.removeFrame(frame, true);
    }
    if (!target) {
        auto owned = std::make_unique<id3::TextIdentificationFrame>(TagLib::ByteVector(id),
                                                                    encodingFor(text));
        target = owned.get();
        tag.addFrame(owned.release());
    }
    target->setTextEncoding(encodingFor(text));
    target->setText(text);
}

void removeAll(id3::Tag &tag, const char *id) {
    const id3::FrameList list = frames(tag, id);
    for (auto *frame : list)
        tag.removeFrame(frame, true);
}

// Digits where "yyyy-mm-dd" has them: a year with other text in it is kept as typed.
bool isDate(const std::string &s) {
    if (s.size() < kDateLength)
        return false;
    for (std::size_t i = 0; i < kDateLength; ++i) {
        const bool dash = i == 4 || i == 7;
        if (dash ? s[i] != '-' : (s[i] < '0' || s[i] > '9'))
            return false;
    }
    return true;
}

// The year goes into TYER as typed. A full date ("2001-05-03", as 2.4 tags hold it) goes through
// TDRC, which the 2.3 rendering splits into TYER and TDAT.
void setYear(id3::Tag &tag, const std::string &year) {
    if (isDate(year)) {
        removeAll(tag, "TYER");
        removeAll(tag, "TDAT");
        setText(tag, "TDRC", year);
    } else {
        removeAll(tag, "TDRC");
        setText(tag, "TYER", year);
    }
}

void setComment(id3::Tag &tag, const std::string &value) {
    const TagLib::String text = fromUtf8(value);
    auto *frame = plainFrame<id3::CommentsFrame>(tag, "COMM");
    if (!frame) {
        auto owned = std::make_unique<id3::CommentsFrame>(encodingFor(text));
        owned->setLanguage(kCommentLanguage);
        frame = owned.get();
        tag.addFrame(owned.release());
    }
    frame->setTextEncoding(encodingFor(text));
    frame->setText(text);
}

void setUrl(id3::Tag &tag, const std::string &value) {
    auto *frame = plainFrame<id3::UserUrlLinkFrame>(tag, "WXXX");
    if (!frame) {
        auto owned = std::make_unique<id3::UserUrlLinkFrame>(TagLib::String::Latin1);
        frame = owned.get();
        tag.addFrame(owned.release());
    }
    frame->setTextEncoding(TagLib::String::Latin1);
    frame->setUrl(fromUtf8(value));
}

// Writes the twelve values; a frame id in `leave` is not written (its frame is kept as it was).
void writeFields(id3::Tag &tag, const TagFields &f, const std::vector<std::string> &leave) {
    const auto write = [&](const char *id) {
        return std::find(leave.begin(), leave.end(), id) == leave.end();
    };
    if (write("TRCK"))
        setText(tag, "TRCK", std::to_string(f.track));
    if (write("TIT2"))
        setText(tag, "TIT2", f.title);
    if (write("TPE1"))
        setText(tag, "TPE1", f.artist);
    if (write("TALB"))
        setText(tag, "TALB", f.album);
    // A kept TDRC does not hold the year back: a 2.3 tag keeps the year in TYER, and the field
    // showed TYER's value.
    if (write("TYER"))
        setYear(tag, f.year);
    if (write("TCON"))
        setText(tag, "TCON", f.genre ? tconText(f.genre) : f.genreText);
    if (write("COMM"))
        setComment(tag, f.comment);
    if (write("TCOM"))
        setText(tag, "TCOM", f.composer);
    if (write("TOPE"))
        setText(tag, "TOPE", f.origArtist);
    if (write("TCOP"))
        setText(tag, "TCOP", f.copyright);
    if (write("WXXX"))
        setUrl(tag, f.url);
    if (write("TENC"))
        setText(tag, "TENC", f.encoder);
}

// The ids of the frames the editor shows and writes; TDRC is the year of a 2.4 tag.
constexpr std::string_view kEditorIds[] = {"TRCK", "TIT2", "TPE1", "TALB", "TYER", "TDRC", "TCON",
                                           "COMM", "TCOM", "TOPE", "TCOP", "WXXX", "TENC"};

// The parser stumbles over three optional parts of a tag: it takes a 2.4 footer's ten bytes off
// the frames' room (dropping the last frame), reads a 2.3 extended header's size the 2.4 way
// (losing every frame), and is unreliable with whole-tag unsynchronisation. None of them carries
// anything the tag needs once rewritten, so it is handed the tag without them: footer dropped,
// extended header cut out, body resynchronised, and the flags and size set to match. Frames it
// would misread or rewrite empty are sorted out as well (see tagframes.h).
struct PreparedTag {
    TagLib::ByteVector bytes;
    std::vector<SetAsideFrame> setAside;
};

PreparedTag prepared(std::span<const std::uint8_t> tag) {
    const auto header = Id3Header::parse(tag);
    if (!header || tag.size() < Id3Header::kSize + header->bodySize)
        return {TagLib::ByteVector(reinterpret_cast<const char *>(tag.data()),
                                   static_cast<unsigned>(tag.size())),
                {}};
    const unsigned version = header->majorVersion;
    std::uint8_t flags = header->flags;
    std::vector<std::uint8_t> body(tag.begin() + Id3Header::kSize,
                                   tag.begin() +
                                       std::ptrdiff_t(Id3Header::kSize + header->bodySize));
    if (version < kVersion24 && (flags & Id3Header::kFlagUnsynchronised) != 0) {
        body = resynchronise(body);
        flags &= std::uint8_t(~Id3Header::kFlagUnsynchronised);
    }
    if (version >= kVersion23 && (flags & Id3Header::kFlagExtendedHeader) != 0) {
        if (const auto extended = extendedHeaderSize(version, body))
            body.erase(body.begin(), body.begin() + std::ptrdiff_t(*extended));
        flags &= std::uint8_t(~Id3Header::kFlagExtendedHeader);
    }
    if (version >= kVersion24)
        flags &= std::uint8_t(~Id3Header::kFlagFooter);
    SortedFrames sorted = sortFrames(version, body, kEditorIds);
    const auto size = static_cast<std::uint32_t>(sorted.body.size());
    const std::uint8_t head[Id3Header::kSize] = {'I',
                                                 'D',
                                                 '3',
                                                 tag[3],
                                                 tag[4],
                                                 flags,
                                                 std::uint8_t((size >> 21) & 0x7F),
                                                 std::uint8_t((size >> 14) & 0x7F),
                                                 std::uint8_t((size >> 7) & 0x7F),
                                                 std::uint8_t(size & 0x7F)};
    PreparedTag out{TagLib::ByteVector(reinterpret_cast<const char *>(head), Id3Header::kSize),
                    std::move(sorted.setAside)};
    out.bytes.append(TagLib::ByteVector(reinterpret_cast<const char *>(sorted.body.data()),
                                        static_cast<unsigned>(sorted.body.size())));
    return out;
}

// An in-memory file holding just the tag, so that TagLib parses it without touching the disk.
struct ParsedTag {
    PreparedTag input;
    TagLib::ByteVectorStream stream;
    TagLib::MPEG::File file;

    explicit ParsedTag(std::span<const std::uint8_t> tag)
        : input(prepared(tag)), stream(input.bytes),
          file(&stream, const_cast<KeepingFrameFactory *>(&KeepingFrameFactory::instance()),
               false) {}
    id3::Tag *tag() { return file.ID3v2Tag(false); }
};

// The frames the editor shows and writes, with the value of each as the editor holds it. TDRC
// is the year of a 2.4 tag.
struct EditorFrame {
    const char *id;
    std::string (*value)(const TagFields &);
};
const EditorFrame kEditorFrames[] = {
    {"TRCK", [](const TagFields &f) { return std::to_string(f.track); }},
    {"TIT2", [](const TagFields &f) { return f.title; }},
    {"TPE1", [](const TagFields &f) { return f.artist; }},
    {"TALB", [](const TagFields &f) { return f.album; }},
    {"TYER", [](const TagFields &f) { return f.year; }},
    {"TDRC", [](const TagFields &f) { return f.year; }},
    {"TCON", [](const TagFields &f) { return f.genre ? tconText(f.genre) : "|" + f.genreText; }},
    {"COMM", [](const TagFields &f) { return f.comment; }},
    {"TCOM", [](const TagFields &f) { return f.composer; }},
    {"TOPE", [](const TagFields &f) { return f.origArtist; }},
    {"TCOP", [](const TagFields &f) { return f.copyright; }},
    {"WXXX", [](const TagFields &f) { return f.url; }},
    {"TENC", [](const TagFields &f) { return f.encoder; }},
};

const EditorFrame *editorFrame(const TagLib::ByteVector &id) {
    for (const auto &frame : kEditorFrames)
        if (id == TagLib::ByteVector(frame.id))
            return &frame;
    return nullptr;
}

// Whether the tag holds a frame the editor writes `id`'s value into (COMM and WXXX: the one
// without a description).
bool hasEditorFrame(const id3::Tag &tag, const char *id) {
    const std::string_view name(id);
    if (name == "COMM")
        return plainFrame<id3::CommentsFrame>(tag, id) != nullptr;
    if (name == "WXXX")
        return plainFrame<id3::UserUrlLinkFrame>(tag, id) != nullptr;
    return !frames(tag, id).isEmpty();
}

// Whether a readable frame gives the field of `id` its value. The year has two homes: TYER, and
// TDRC, which the field shows when TYER cannot be read.
bool fieldHasHome(const id3::Tag &tag, const char *id) {
    const std::string_view name(id);
    if (name == "TYER" || name == "TDRC")
        return hasEditorFrame(tag, "TYER") || hasEditorFrame(tag, "TDRC");
    return hasEditorFrame(tag, id);
}

// Which of the frames set aside go back into the saved tag. A frame of the editor stays while
// its field keeps the value the load showed (the frame could not be read, so the field showed
// empty) and nothing readable took its place; a value the user typed replaces it. Other frames
// stay unless they ask to be discarded when the tag is altered.
std::vector<const SetAsideFrame *> framesToKeep(const std::vector<SetAsideFrame> &setAside,
                                                const id3::Tag &tag, const TagFields &loaded,
                                                const TagFields &fields) {
    std::vector<const SetAsideFrame *> keep;
    for (const auto &frame : setAside) {
        const EditorFrame *editor = editorFrame(TagLib::ByteVector(frame.id.c_str()));
        if (!editor) {
            if (!frame.discardWhenAltered)
                keep.push_back(&frame);
            continue;
        }
        const bool untouched = editor->value(fields) == editor->value(loaded);
        const bool described = frame.id == "COMM" || frame.id == "WXXX";
        const bool home = fieldHasHome(tag, editor->id);
        if (described ? (untouched || home) : (untouched && !home))
            keep.push_back(&frame);
    }
    return keep;
}

std::optional<TagError> checkTag(std::span<const std::uint8_t> tag) {
    if (auto damage = findTagDamage(tag))
        return TagError{TagErrorCode::Damaged, "The ID3v2 tag cannot be read: " + *damage + "."};
    return std::nullopt;
}

TagError unreadable() {
    return {TagErrorCode::Damaged, "The ID3v2 tag cannot be read: its frames do not parse."};
}

} // namespace

std::optional<std::string_view> pathRefusal(std::string_view path) {
    if (path.empty())
        return text::kNotSelected;
    const auto dot = path.rfind('.');
    std::string extension(dot == std::string_view::npos ? std::string_view{}
                                                        : path.substr(dot + 1));
    for (char &c : extension)
        c = (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
    if (extension != "mp3")
        return text::kNotMp3;
    return std::nullopt;
}

std::optional<std::uint64_t> leadingTagSize(std::span<const std::uint8_t> firstBytes) {
    if (firstBytes.size() < Id3Header::kSize || firstBytes[0] != 'I' || firstBytes[1] != 'D' ||
        firstBytes[2] != '3')
        return 0;
    const auto header = Id3Header::parse(firstBytes);
    if (!header)
        return std::nullopt;
    // A footer exists from 2.4 on; earlier versions leave that flag bit undefined.
    const bool footer = header->majorVersion >= kVersion24 && header->hasFooter();
    return Id3Header::kSize + std::uint64_t(header->bodySize) +
           (footer ? Id3Header::kFooterSize : 0);
}

std::variant<LoadedTag, TagError> parseTag(std::span<const std::uint8_t> fileStart,
                                           std::uint64_t fileSize) {
    LoadedTag loaded;
    loaded.fileSize = fileSize;
    const auto size = leadingTagSize(fileStart);
    if (!size)
        return TagError{TagErrorCode::Damaged,
                        "The ID3v2 tag cannot be read: the tag's size bytes are invalid."};
    if (*size == 0)
        return loaded;
    if (*size > fileSize || *size > fileStart.size())
        return TagError{TagErrorCode::Damaged,
                        "The ID3v2 tag cannot be read: the tag claims " + std::to_string(*size) +
                            " bytes but the file holds only " + std::to_string(fileSize) + "."};
    const auto tagBytes = fileStart.first(std::size_t(*size));
    if (auto error = checkTag(tagBytes))
        return *error;
    ParsedTag parsed(tagBytes);
    id3::Tag *tag = parsed.tag();
    if (!tag)
        return unreadable();
    loaded.hasTag = true;
    loaded.version = fileStart[3];
    loaded.tagSize = *size;
    loaded.fields = readFields(*tag, tagBytes);
    return loaded;
}

std::variant<std::vector<std::uint8_t>, TagError> renderTag(std::span<const std::uint8_t> oldTag,
                                                            const TagFields &fields) {
    if (!fitsLatin1(fromUtf8(fields.url)))
        return TagError{TagErrorCode::InvalidValue,
                        "The URL holds characters outside ISO-8859-1, which a URL frame cannot "
                        "carry."};
    if (oldTag.empty()) {
        id3::Tag fresh;
        writeFields(fresh, fields, {});
        const TagLib::ByteVector data = fresh.render(id3::v3);
        return std::vector<std::uint8_t>(data.begin(), data.end());
    }
    if (auto error = checkTag(oldTag))
        return *error;
    ParsedTag parsed(oldTag);
    id3::Tag *tag = parsed.tag();
    if (!tag)
        return unreadable();
    const TagFields loaded = readFields(*tag, oldTag);
    auto keep = framesToKeep(parsed.input.setAside, *tag, loaded, fields);
    // Kept frames go back as they were stored; only a 2.3 tag stores them the way the saved
    // tag does.
    if (!keep.empty() && oldTag[3] != kVersion23)
        return TagError{TagErrorCode::CannotKeep,
                        "The ID3v2." + std::to_string(oldTag[3]) + " tag holds the frame '" +
                            keep.front()->id +
                            "', which is encrypted or cannot be unpacked and cannot be carried "
                            "into the saved tag; the tag was not saved."};
    std::vector<std::string> leave;
    for (const auto *frame : keep)
        if (const EditorFrame *editor = editorFrame(TagLib::ByteVector(frame->id.c_str()));
            editor && !fieldHasHome(*tag, editor->id))
            leave.push_back(frame->id);
    writeFields(*tag, fields, leave);
    const TagLib::ByteVector data = tag->render(id3::v3);
    const std::span rendered(reinterpret_cast<const std::uint8_t *>(data.data()), data.size());
    auto carried = framesToCarry(*tag, oldTag[3], rendered, kEditorIds);
    if (auto *error = std::get_if<TagError>(&carried))
        return std::move(*error);
    for (const auto &frame : std::get<std::vector<SetAsideFrame>>(carried))
        keep.push_back(&frame);
    std::vector<std::uint8_t> out = withFramesAdded(rendered, keep);
    if (out.size() - Id3Header::kSize > kLargestTagBody)
        return TagError{TagErrorCode::InvalidValue,
                        "The values do not fit into an ID3v2 tag; the tag was not saved."};
    return out;
}

} // namespace tunara::media
