// Command numbers of the program (menus, keys, tool bar buttons and posted commands) and the
// hints with which the document updates its views. One enum each for the whole program: the
// panes post commands and read hints, the shell routes and sends them.
#pragma once

namespace tunara::res {

enum class Cmd : int {
    Download = 1,
    Delete = 32772,
    Rename = 32773,
    EditId3 = 32775,
    LastInfo = 32778,
    PaneRefresh = 32780,
    Format = 32782,
    ArrangeOrder = 32783,
    VolumeLabel = 32786,
    Upload = 32788,
    FontDownload = 32791,
    Help = 32794,
    Font = 32807,
    Option = 32808,
    HomePage = 32810,
    Favorites = 32813,
    Refresh = 32817,
    TransferStatus = 32819,
    DeviceInfo = 32822,
    Language = 32824,
    VoiceConverter = 32825,
    SyncLibrary = 32830,
    About = 57664,
    Exit = 57665,
};

// A command's menu text sits in the string table at this offset from its number; its prompt
// ("status text\ntool tip") at the number itself.
inline constexpr int MenuTextBase = 100000;

// Hints of the document's view update; the value names a memory where the hint needs one.
enum class ViewHint : int {
    ListFont = 1,     // the list font changed
    DownloadDone = 2, // a download into the memory finished: refresh now
    ReRead = 4,       // re-read the memory after connecting (posted as a Refresh)
};

} // namespace tunara::res
