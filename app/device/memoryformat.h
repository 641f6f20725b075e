// The texts a memory pane shows for the player's table: sizes, dates, types, capacity and the
// usage gauge. Pure functions of the table's numbers and the model code.
#pragma once

#include "media/playerformat.h"
#include "texts/strid.h"

#include <QString>

#include <cstdint>

namespace tunara::device {

// The model codes and the one table of model names are the core's (media/playerformat.h),
// shared with kesto; spelled here as the panes and the window have always spelled them.
using media::ModelLuma;
using media::ModelQn500;
using media::ModelQn520;
using media::ModelQn70;
using media::ModelQnVela;
using media::ModelUnknown;
using media::PlayerModel;
using media::playerModelFor;

// Icons of the list's file types, in the order of the type icon strip.
enum class FileIcon : int { Common = 0, Mp3 = 1, WindowsMedia = 2, Voice = 3 };

struct FileType {
    res::StrId text;
    FileIcon icon;
};

FileType fileTypeOf(const QString &name, int modelCode);

// Whether the model takes a long name in a rename (else the 8.3 call is used).
bool usesLongRename(int model);

// "999", "1,000", "1,234,567"; the size is taken as the player's signed 32-bit number.
QString sizeText(uint32_t size);
// Value of a size text for sorting and summing: its digits only.
uint64_t sizeFromText(const QString &text);

// "YYYY-MM-DD hh:mm" from the FAT date and time words; empty when they make no valid time.
QString dateText(uint16_t fatDate, uint16_t fatTime);

// The memory's capacity and free space: 64-bit from the player's numbers on, as the queue's
// byte counts are, so that nothing wraps past 2 or 4 GiB.
QString totalText(uint64_t total);
QString freeText(uint64_t freeBytes);

struct GaugeTexts {
    bool drawn = false; // nothing of the gauge shows while the total is not above 0
    int range = 0;      // progress range, tenths of the unit
    int position = 0;   // progress position, tenths of the unit
    QString usage;      // "12.3MB Used, Total 64.0MB (19.2%)"
    QString count;      // "3 Files"
};

GaugeTexts gaugeTexts(uint64_t total, uint64_t used, int count);

} // namespace tunara::device
