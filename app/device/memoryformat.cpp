#include "memoryformat.h"

#include "res/format.h"

#include <QDate>
#include <QTime>

#include <algorithm>

namespace tunara::device {

using res::StrId;

namespace {

constexpr uint64_t OneMiB = 1048576;
constexpr uint64_t OneKiB = 1024;
// The gauge's range is a 16-bit number.
constexpr uint64_t MaxGaugeRange = 0xFFFF;

struct Unit {
    const char *name;
    double divisor;
};

Unit unitFor(uint64_t bytes) {
    if (bytes > OneMiB)
        return {"MB", double(OneMiB)};
    if (bytes > OneKiB)
        return {"KB", double(OneKiB)};
    return {"Bytes", 1.0};
}

} // namespace

FileType fileTypeOf(const QString &name, int modelCode) {
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    const QString ext = (dot < 0 ? name : name.mid(dot + 1)).toLower();
    const bool wmaModel = modelCode == ModelQn520 || modelCode == ModelQnVela;
    if (ext == QLatin1String("mp3"))
        return {StrId::Mp3File, FileIcon::Mp3};
    if (ext == QLatin1String("wma") && wmaModel)
        return {StrId::WindowsMedia, FileIcon::WindowsMedia};
    if (ext == QLatin1String("wav") && wmaModel)
        return {StrId::VoiceFile, FileIcon::Voice};
    if (ext == QLatin1String("vrf") && modelCode == ModelQn70)
        return {StrId::VoiceFile, FileIcon::Voice};
    return {StrId::CommonFile, FileIcon::Common};
}

bool usesLongRename(int model) {
    return model == ModelQn520 || model == ModelQnVela;
}

QString sizeText(uint32_t size) {
    const auto n = static_cast<int32_t>(size);
    // A size with the top bit set is negative here and so prints as the unsigned value.
    if (n < 1000)
        return QString::number(size);
    if (n < 1000000)
        return res::formatText(QStringLiteral("%d,%03d"), n / 1000, n % 1000);
    if (n < 1000000000)
        return res::formatText(QStringLiteral("%d,%03d,%03d"), n / 1000000, n % 1000000 / 1000,
                               n % 1000);
    return res::formatText(QStringLiteral("%d,%03d,%03d,%03d"), n / 1000000000,
                           n % 1000000000 / 1000000, n % 1000000 / 1000, n % 1000);
}

uint64_t sizeFromText(const QString &text) {
    uint64_t value = 0;
    for (QChar c : text) {
        if (c >= u'0' && c <= u'9' && value < UINT64_MAX / 10)
            value = value * 10 + uint64_t(c.unicode() - u'0');
    }
    return value;
}

QString dateText(uint16_t fatDate, uint16_t fatTime) {
    constexpr int FatEpoch = 1980;
    const QDate date(FatEpoch + (fatDate >> 9), (fatDate >> 5) & 0x0F, fatDate & 0x1F);
    const QTime time(fatTime >> 11, (fatTime >> 5) & 0x3F, (fatTime & 0x1F) * 2);
    if (!date.isValid() || !time.isValid())
        return {};
    return res::formatText(QStringLiteral("%04d-%02d-%02d %02d:%02d"), date.year(), date.month(),
                           date.day(), time.hour(), time.minute());
}

QString totalText(uint64_t total) {
    return res::fmt(StrId::TotalMb, long(total >> 20));
}

QString freeText(uint64_t freeBytes) {
    if (freeBytes > OneMiB)
        return res::fmt(StrId::FreeMb, long(freeBytes >> 20));
    if (freeBytes > OneKiB)
        return res::fmt(StrId::FreeKb, long(freeBytes >> 10));
    // At most 1,024 here: an int holds it.
    return res::fmt(StrId::FreeBytes, int(freeBytes));
}

GaugeTexts gaugeTexts(uint64_t total, uint64_t used, int count) {
    GaugeTexts g;
    if (total == 0)
        return g;
    const Unit unit = unitFor(total);
    g.drawn = true;
    // Tenths of the unit; a memory of more than 6.4 GB would pass the gauge's 16-bit range,
    // so range and position are then scaled down alike.
    auto range = uint64_t(double(total) * 10.0 / unit.divisor);
    auto position = uint64_t(double(std::min(used, total)) * 10.0 / unit.divisor);
    while (range > MaxGaugeRange) {
        range /= 2;
        position /= 2;
    }
    g.range = static_cast<int>(range);
    g.position = static_cast<int>(position);
    g.usage =
        res::fmt(StrId::UsageGauge, double(used) / unit.divisor, unit.name,
                 double(total) / unit.divisor, unit.name, double(used) * 100.0 / double(total));
    g.count = res::fmt(StrId::FileCount, count, count > 1 ? "s" : "");
    return g;
}

} // namespace tunara::device
