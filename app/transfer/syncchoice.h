// What the user chose in the Sync dialog for one memory of the player: the sources, the mode
// and its options. The shell keeps it in the profile, one set per memory.
#pragma once

#include <QStringList>

namespace tunara::transfer {

struct SyncChoice {
    QStringList sources; // folders and playlists, in the order their albums go
    bool fill = false;   // Fill; else Mirror
    int keepFreeMb = 0;  // Fill: megabytes left free
    bool deleteExtras = false;
    bool shortNames = false;
};

} // namespace tunara::transfer
