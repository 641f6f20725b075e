// The voice converter: an outside program beside ours that turns the player's voice files into
// ordinary sound files. We only find it and start it; we neither wait for it nor read its result.
#pragma once

#include <QString>

namespace tunara::device {

// The converter's file in `programDir`: "sndconv" or "sndconv.exe", the name compared without
// regard to letter case ("SNDCONV.EXE" is found too). The plain name is preferred when both
// exist. Empty when there is none.
QString voiceConverterPath(const QString &programDir);

} // namespace tunara::device
