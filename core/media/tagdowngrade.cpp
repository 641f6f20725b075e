#include "tagdowngrade.h"

#include "id3header.h"

#include <taglib/id3v2frame.h>
#include <taglib/textidentificationframe.h>

#include <algorithm>
#include <set>
#include <string>
#include <utility>

namespace tunara::media {

namespace {

namespace id3 = TagLib::ID3v2;

constexpr std::size_t kFrameIdSize = 4;
constexpr std::size_t kFrameHeaderSize = 10;
// The encoding bytes of 2.4 that 2.3 lacks.
constexpr char kUtf16BigEndian = 2;
constexpr char kUtf8 = 3;

// 2.2 frames TagLib drops because 2.4 has no such frame; 2.3 has, with the same data.
constexpr std::pair<std::string_view, const char *> kV22Only24Lacks[] = {
    {"TIM", "TIME"},
    {"TDA", "TDAT"},
    {"TSI", "TSIZ"},
    {"RVA", "RVAD"},
    {"EQU", "EQUA"},
    // TagLib reads TRD (recording dates, free text) as the year frame TDRC, which the editor
    // owns and would replace by the year; TRDA is its 2.3 name.
    {"TRD", "TRDA"}};

// The 2.4 frames the 2.3 rendering writes under another name.
constexpr std::pair<std::string_view, std::string_view> kRenamedIn23[] = {
    {"TDOR", "TORY"}, {"TDRC", "TYER"}, {"TIPL", "IPLS"}, {"TMCL", "IPLS"}};

// TagLib's TORY holds the first four characters of TDOR: "1999-04-02" becomes "1999". A TDOR
// that says more than its year is kept beside TORY as it stands, as the 2.4 frames without a
// 2.3 form are: readers of 2.3 find the year in TORY, readers that know TDOR the whole date.
constexpr std::string_view kOriginalDate = "TDOR";
constexpr std::size_t kYearLength = 4;

bool renamedWhole(const id3::Frame &frame, std::string_view id) {
    return id != kOriginalDate || frame.toString().size() <= kYearLength;
}

std::string_view nameIn23(std::string_view id) {
    for (const auto &[from, to] : kRenamedIn23)
        if (id == from)
            return to;
    return id;
}

void putBigEndian(std::vector<std::uint8_t> &out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(std::uint8_t(value >> shift));
}

// The frame as a 2.3 frame. It keeps the header of the tag it came from (its size may be
// synchsafe), so only its data is taken from its rendering and a 2.3 header put before it.
// The data of the frames TagLib drops is laid out the same in 2.3, except that text may be in
// UTF-8 or UTF-16BE, which 2.3 lacks. The encoding is read as the byte rendered: the value
// TagLib holds comes from the file unchecked and need not be one of its own.
std::vector<std::uint8_t> as23Frame(id3::Frame &frame, const std::string &id) {
    TagLib::ByteVector rendered = frame.render();
    const auto dataOf = [&] {
        return rendered.mid(rendered.size() - std::min(frame.size(), rendered.size()));
    };
    if (auto *text = dynamic_cast<id3::TextIdentificationFrame *>(&frame)) {
        const TagLib::ByteVector data = dataOf();
        if (!data.isEmpty() && (data[0] == kUtf16BigEndian || data[0] == kUtf8)) {
            text->setTextEncoding(TagLib::String::UTF16);
            rendered = frame.render();
        }
    }
    const TagLib::ByteVector data = dataOf();
    std::vector<std::uint8_t> out(id.begin(), id.end());
    putBigEndian(out, data.size());
    out.push_back(0); // no flags: the data is stored as it is
    out.push_back(0);
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

TagError cannotCarry(unsigned version, const std::string &id, const char *why) {
    return {TagErrorCode::CannotKeep, "The ID3v2." + std::to_string(version) +
                                          " tag holds the frame '" + id + "', which " + why +
                                          "; the tag was not saved, so that the frame is not "
                                          "lost."};
}

} // namespace

const char *v23NameOfV22Frame(std::string_view id) {
    for (const auto &[from, to] : kV22Only24Lacks)
        if (id == from)
            return to;
    return nullptr;
}

std::variant<std::vector<SetAsideFrame>, TagError>
framesToCarry(const id3::Tag &tag, unsigned version, std::span<const std::uint8_t> rendered,
              std::span<const std::string_view> owned) {
    std::set<std::string, std::less<>> written;
    walkFrames(rendered, [&](const RawFrame &frame) { written.insert(frame.id); });
    std::vector<SetAsideFrame> carried;
    for (id3::Frame *frame : tag.frameList()) {
        const TagLib::ByteVector rawId = frame->frameID();
        const std::string id(rawId.data(), rawId.size());
        if (std::find(owned.begin(), owned.end(), id) != owned.end())
            continue;
        // A 2.2 frame TagLib has no name for keeps its three letters. It is not kept under a
        // made-up four-letter name: the name tells a reader how to read the data, and any name
        // chosen here would either claim a meaning the frame does not have or be one no reader
        // knows, which is the same loss out of sight. Refusing leaves the file as it was.
        if (id.size() != kFrameIdSize)
            return cannotCarry(version, id, "has no ID3v2.3 form");
        if (written.count(nameIn23(id)) != 0 && renamedWhole(*frame, id))
            continue;
        std::vector<std::uint8_t> bytes = as23Frame(*frame, id);
        if (bytes.size() <= kFrameHeaderSize)
            return cannotCarry(version, id, "cannot be written into an ID3v2.3 tag");
        carried.push_back({id, std::move(bytes), false});
    }
    return carried;
}

} // namespace tunara::media
