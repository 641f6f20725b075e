// The program's settings: the user's preferences in the profile ("Option" and "Init"
// sections) and the installation values in tunara.ini beside the program ("System" and the
// language's own section). Read once at start-up; the options are written when the user
// changes them and again at exit.
#pragma once

#include "transfer/syncchoice.h"

#include <QFont>
#include <QString>

class QSettings;

namespace tunara::shell {

inline constexpr int LevelOff = 0;
inline constexpr int LevelTrack = 1;
inline constexpr int LevelAlbum = 2;

struct Options {
    int autoStartXfer = 1;
    int showXferDlg = 1;
    int hideXferDlg = 0;
    QString favoriteFolder;
    QString listFontFace = QStringLiteral("Arial");
    int listFontSize = 90; // tenths of a point
    // Audio the player cannot play is converted to MP3 on its way to the player.
    int convert = 1;
    int convertBitrate = 192; // kbit/s, one of ConvertBitrates; the model may play less
    int convertVbr = 0;       // variable bit rate, at most convertBitrate
    int convertCover = 1;     // the front cover goes into the converted file's tag
    // Volume levelling of what is sent: 0 off, 1 each track, 2 each folder's files together.
    int convertLevel = LevelOff;
    // The ReplayGain and R128 gains the files' tags hold are taken instead of measuring them.
    int convertLevelTags = 0;
};

// The bit rates (kbit/s) the Option dialog offers for conversion.
inline constexpr int ConvertBitrates[] = {128, 160, 192, 224, 256, 320};
inline constexpr int DefaultConvertBitrate = 192;
// A stored bit rate the dialog does not offer gives the default: the converter is never asked
// for a rate it would refuse.
int offeredBitrate(int kbps);

struct SystemSettings {
    QString resourceDll;
    int blockMpeg2Ext = 1;
};

namespace keys {
inline constexpr const char *Option = "Option";
inline constexpr const char *Init = "Init";
inline constexpr const char *System = "System";
inline constexpr const char *AutoStartXfer = "AutoStartXfer";
inline constexpr const char *ShowXferDlg = "ShowXferDlg";
inline constexpr const char *HideXferDlg = "HideXferDlg";
inline constexpr const char *FavoriteFolder = "FavoriteFolder";
inline constexpr const char *ListFontFace = "ListFontFace";
inline constexpr const char *ListFontSize = "ListFontSize";
inline constexpr const char *DownloadFolder = "DownloadFolder";
inline constexpr const char *Convert = "Convert";
inline constexpr const char *ConvertBitrate = "ConvertBitrate";
inline constexpr const char *ConvertVbr = "ConvertVBR";
inline constexpr const char *ConvertCover = "ConvertCover";
inline constexpr const char *ConvertLevel = "ConvertLevel";
inline constexpr const char *ConvertLevelTags = "ConvertLevelTags";
inline constexpr const char *ClassName = "ClassName";
inline constexpr const char *WindowName = "WindowName";
inline constexpr const char *VertPos = "VertPos";
inline constexpr const char *HorizPos = "HorizPos";
inline constexpr const char *Height = "Height";
inline constexpr const char *Width = "Width";
inline constexpr const char *ResourceDll = "ResourceDLL";
inline constexpr const char *BlockMpeg2Ext = "BlockMPEG2Ext";
inline constexpr const char *SysReg = "SysReg";
inline constexpr const char *HelpFile = "HelpFile";
inline constexpr const char *SupportUrl = "SupportURL";
inline constexpr const char *SplashFile = "SplashFile";
// The Sync dialog's choices, one set per memory: "Sync/FlashSources", "Sync/CardFill"...
inline constexpr const char *Sync = "Sync";
inline constexpr const char *SyncFlash = "Flash";
inline constexpr const char *SyncCard = "Card";
inline constexpr const char *SyncSources = "Sources";
inline constexpr const char *SyncFill = "Fill";
inline constexpr const char *SyncKeepFree = "KeepFreeMB";
inline constexpr const char *SyncDeleteExtras = "DeleteExtras";
inline constexpr const char *SyncShortNames = "ShortNames";
} // namespace keys

namespace defaults {
inline constexpr const char *ClassName = "Afx:40000:b:10011:6:5b07b5";
inline constexpr const char *WindowName = "TUNARA";
inline constexpr const char *HelpFile = "tunara.chm";
inline constexpr const char *SupportUrl = "https://tunara.example.org/";
inline constexpr const char *SplashFile = "tunara.dat";
inline constexpr int ResourceDllChars = 100;
inline constexpr int LanguageKeyChars = 260;
} // namespace defaults

// An integer key; the default when the key is missing or holds no integer.
int readInt(const QSettings &s, const QString &key, int fallback);
QString readString(const QSettings &s, const QString &key, const QString &fallback,
                   int maxChars = -1);

Options readOptions(const QSettings &profile, const QString &documentsFolder);
void writeOptions(QSettings &profile, const Options &o);
SystemSettings readSystem(const QSettings &ini);

// The Sync dialog's choices for memory 'M' or 'S'.
transfer::SyncChoice readSyncChoice(const QSettings &profile, unsigned char memory);
void writeSyncChoice(QSettings &profile, unsigned char memory, const transfer::SyncChoice &c);

// Keys of the language's own section of tunara.ini (its name is the language's name).
QString languageValue(const QSettings &ini, const QString &language, const char *key,
                      const QString &fallback);

// The list font: a point font of `tenths` tenths of a point. Sizes no screen can show
// (0, negative, absurdly large) give the default size instead of a broken font.
QFont listFont(const QString &face, int tenths);

} // namespace tunara::shell
