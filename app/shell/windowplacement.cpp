#include "windowplacement.h"

#include <algorithm>

namespace tunara::shell {

namespace {

// One axis: the length shrunk to the area (not below the minimum), then the start moved so that
// the far edge and then the near edge are inside.
void fitAxis(int &start, int &length, int areaStart, int areaLength, int minimum) {
    length = std::max(std::min(length, areaLength), minimum);
    start = std::min(start, areaStart + areaLength - length);
    start = std::max(start, areaStart);
}

} // namespace

QRect fitIntoArea(const QRect &frame, const QRect &available, const QSize &minimum) {
    if (!available.isValid())
        return frame;
    int x = frame.x(), width = frame.width();
    int y = frame.y(), height = frame.height();
    fitAxis(x, width, available.x(), available.width(), minimum.width());
    fitAxis(y, height, available.y(), available.height(), minimum.height());
    return QRect(x, y, width, height);
}

} // namespace tunara::shell
