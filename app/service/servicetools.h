// The service tools as the shell opens them: the hidden service dialog, the program and font
// update, the volume-label form, and the Help command's test path.
#pragma once

#include "servicecontext.h"

#include <QStringList>

class QWidget;

namespace tunara::device {
class TransferQueue;
}

namespace tunara::service {

// The file whose presence in the program folder turns Help into the test path.
inline constexpr const char *TestListName = "flash_test_files.txt";

// Runs "System Parameters R/W" modally.
void runServiceDialog(const ServiceContext &context, QWidget *parent);
// Runs "Program & Font Update" modally.
void runFontDownload(const ServiceContext &context, QWidget *parent);
// Runs "Edit Volume Label" modally.
void runVolumeLabel(const ServiceContext &context, QWidget *parent);

// The paths of a test list: one per line (ended by LF, CR LF or CR), empty lines
// skipped. Empty when the file cannot be read.
QStringList readTestList(const QString &path);

// The Help command's test path: when the test list exists in `programDir`, runs the update
// dialog modally (not while the player is busy elsewhere), then queues every listed file as a
// download to 'M' (nothing is queued without a transfer queue). Returns false when there is no test
// list (Help opens the help file instead).
bool runHelpTestPath(const ServiceContext &context, const QString &programDir,
                     device::TransferQueue *queue, QWidget *parent);

} // namespace tunara::service
