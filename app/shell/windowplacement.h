// Where a top-level window goes when it is shown: inside the available area of its screen.
#pragma once

#include <QRect>
#include <QSize>

namespace tunara::shell {

// `frame` (the window with its frame) moved, and shrunk where it must be, so that it lies
// inside `available`; never smaller than `minimum`. A window that already fits stays as it is.
// When even the minimum does not fit, its top-left corner stays inside the area.
QRect fitIntoArea(const QRect &frame, const QRect &available, const QSize &minimum);

} // namespace tunara::shell
