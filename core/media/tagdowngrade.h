// What the 2.3 rendering of a tag would lose, and how it is kept. TagLib writes a 2.3 tag by
// renaming the 2.4 frames that have a 2.3 form (TDOR to TORY, TDRC to TYER with TDAT and TIME,
// TIPL and TMCL to IPLS) and dropping without a word the ones that have none (RVA2, TDRL, EQU2,
// ...), as well as any 2.2 frame it has no name for; TORY keeps only the year of a TDOR date.
// Every frame the rendering drops or cuts is carried into the saved tag here, or the save is
// refused.
#pragma once

#include "tagfields.h"
#include "tagframes.h"

#include <taglib/id3v2tag.h>

#include <cstdint>
#include <span>
#include <string_view>
#include <variant>
#include <vector>

namespace tunara::media {

// The 2.3 name of a 2.2 frame that TagLib would drop instead of renaming ("TIM" is "TIME"), or
// nullptr. The data of these frames is laid out alike in both versions.
const char *v23NameOfV22Frame(std::string_view id);

// The frames of `tag`, read from a tag of major `version`, that its 2.3 rendering `rendered`
// (header and frames) does not hold in any form, each made a 2.3 frame to add to it; or the
// refusal naming a frame that no 2.3 tag can hold. Frames whose id is in `owned` are written by
// the editor and not looked at. Text frames among them may have their encoding changed to one
// a 2.3 tag knows.
std::variant<std::vector<SetAsideFrame>, TagError>
framesToCarry(const TagLib::ID3v2::Tag &tag, unsigned version,
              std::span<const std::uint8_t> rendered, std::span<const std::string_view> owned);

} // namespace tunara::media
