#include "settings.h"

#include <QSettings>

#include <algorithm>
#include <iterator>

namespace tunara::shell {

namespace {
constexpr int DefaultListFontTenths = 90;
constexpr int SmallestListFontTenths = 10;
constexpr int LargestListFontTenths = 720;

QString in(const char *section, const char *key) {
    return QLatin1String(section) + QLatin1Char('/') + QLatin1String(key);
}

// A store that could not be parsed counts as missing: every value takes its default.
bool usable(const QSettings &s) {
    return s.status() == QSettings::NoError;
}
} // namespace

int readInt(const QSettings &s, const QString &key, int fallback) {
    if (!usable(s))
        return fallback;
    const QVariant v = s.value(key);
    if (!v.isValid())
        return fallback;
    bool ok = false;
    const int n = v.toString().trimmed().toInt(&ok);
    return ok ? n : fallback;
}

QString readString(const QSettings &s, const QString &key, const QString &fallback, int maxChars) {
    if (!usable(s))
        return fallback;
    const QVariant v = s.value(key);
    if (!v.isValid())
        return fallback;
    QString text = v.toStringList().join(QLatin1Char(','));
    if (maxChars > 0 && text.size() >= maxChars)
        text.truncate(maxChars - 1); // the buffer keeps room for its terminator
    return text;
}

int offeredBitrate(int kbps) {
    const bool offered = std::find(std::begin(ConvertBitrates), std::end(ConvertBitrates), kbps) !=
                         std::end(ConvertBitrates);
    return offered ? kbps : DefaultConvertBitrate;
}

Options readOptions(const QSettings &profile, const QString &documentsFolder) {
    Options o;
    o.autoStartXfer = readInt(profile, in(keys::Option, keys::AutoStartXfer), 1);
    o.showXferDlg = readInt(profile, in(keys::Option, keys::ShowXferDlg), 1);
    o.hideXferDlg = readInt(profile, in(keys::Option, keys::HideXferDlg), 0);
    o.favoriteFolder = readString(profile, in(keys::Option, keys::FavoriteFolder), documentsFolder);
    o.listFontFace =
        readString(profile, in(keys::Option, keys::ListFontFace), QStringLiteral("Arial"));
    o.listFontSize = readInt(profile, in(keys::Option, keys::ListFontSize), DefaultListFontTenths);
    o.convert = readInt(profile, in(keys::Option, keys::Convert), 1);
    o.convertBitrate = offeredBitrate(
        readInt(profile, in(keys::Option, keys::ConvertBitrate), DefaultConvertBitrate));
    o.convertVbr = readInt(profile, in(keys::Option, keys::ConvertVbr), 0);
    o.convertCover = readInt(profile, in(keys::Option, keys::ConvertCover), 1);
    // A value the dialog does not offer levels nothing.
    o.convertLevel = readInt(profile, in(keys::Option, keys::ConvertLevel), LevelOff);
    if (o.convertLevel < LevelOff || o.convertLevel > LevelAlbum)
        o.convertLevel = LevelOff;
    o.convertLevelTags = readInt(profile, in(keys::Option, keys::ConvertLevelTags), 0) != 0 ? 1 : 0;
    return o;
}

void writeOptions(QSettings &profile, const Options &o) {
    profile.setValue(in(keys::Option, keys::AutoStartXfer), o.autoStartXfer);
    profile.setValue(in(keys::Option, keys::ShowXferDlg), o.showXferDlg);
    profile.setValue(in(keys::Option, keys::HideXferDlg), o.hideXferDlg);
    profile.setValue(in(keys::Option, keys::FavoriteFolder), o.favoriteFolder);
    profile.setValue(in(keys::Option, keys::ListFontFace), o.listFontFace);
    profile.setValue(in(keys::Option, keys::ListFontSize), o.listFontSize);
    profile.setValue(in(keys::Option, keys::Convert), o.convert);
    profile.setValue(in(keys::Option, keys::ConvertBitrate), o.convertBitrate);
    profile.setValue(in(keys::Option, keys::ConvertVbr), o.convertVbr);
    profile.setValue(in(keys::Option, keys::ConvertCover), o.convertCover);
    profile.setValue(in(keys::Option, keys::ConvertLevel), o.convertLevel);
    profile.setValue(in(keys::Option, keys::ConvertLevelTags), o.convertLevelTags);
}

SystemSettings readSystem(const QSettings &ini) {
    SystemSettings s;
    s.resourceDll =
        readString(ini, in(keys::System, keys::ResourceDll), QString(), defaults::ResourceDllChars);
    s.blockMpeg2Ext = readInt(ini, in(keys::System, keys::BlockMpeg2Ext), 1);
    return s;
}

namespace {
QString syncKey(unsigned char memory, const char *key) {
    return in(keys::Sync, "") + QLatin1String(memory == 'S' ? keys::SyncCard : keys::SyncFlash) +
           QLatin1String(key);
}
} // namespace

transfer::SyncChoice readSyncChoice(const QSettings &profile, unsigned char memory) {
    transfer::SyncChoice c;
    if (!usable(profile))
        return c;
    // Each source is a path of its own: a comma in a folder's name stays in it.
    for (const QString &source : profile.value(syncKey(memory, keys::SyncSources)).toStringList())
        if (!source.trimmed().isEmpty())
            c.sources << source;
    c.fill = readInt(profile, syncKey(memory, keys::SyncFill), 0) != 0;
    c.keepFreeMb = std::max(0, readInt(profile, syncKey(memory, keys::SyncKeepFree), 0));
    c.deleteExtras = readInt(profile, syncKey(memory, keys::SyncDeleteExtras), 0) != 0;
    c.shortNames = readInt(profile, syncKey(memory, keys::SyncShortNames), 0) != 0;
    return c;
}

void writeSyncChoice(QSettings &profile, unsigned char memory, const transfer::SyncChoice &c) {
    profile.setValue(syncKey(memory, keys::SyncSources), c.sources);
    profile.setValue(syncKey(memory, keys::SyncFill), int(c.fill));
    profile.setValue(syncKey(memory, keys::SyncKeepFree), c.keepFreeMb);
    profile.setValue(syncKey(memory, keys::SyncDeleteExtras), int(c.deleteExtras));
    profile.setValue(syncKey(memory, keys::SyncShortNames), int(c.shortNames));
}

QString languageValue(const QSettings &ini, const QString &language, const char *key,
                      const QString &fallback) {
    return readString(ini, language + QLatin1Char('/') + QLatin1String(key), fallback,
                      defaults::LanguageKeyChars);
}

QFont listFont(const QString &face, int tenths) {
    if (tenths < SmallestListFontTenths || tenths > LargestListFontTenths)
        tenths = DefaultListFontTenths;
    QFont font(face);
    font.setPointSizeF(tenths / 10.0);
    return font;
}

} // namespace tunara::shell
