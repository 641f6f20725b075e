// What the memory panes, the main window and the service tools need of the transfer queue: the
// ways in, and whether a transfer is running (while it runs nothing else may call the
// library). The transfer manager implements it; the panes reach it through their frame.
#pragma once

#include <QStringList>

namespace tunara::device {

class TransferQueue {
public:
    virtual ~TransferQueue() = default;
    // Queues local files as downloads into memory 'M' or 'S' (sorted byte-wise, checked as
    // they are queued), then shows and starts the queue as the options say. Returns 1.
    virtual int addDownloads(unsigned char memoryId, const QStringList &localPaths) = 0;
    // Queues local files as downloads as given, no sorting (a folder's music in album order);
    // otherwise as addDownloads. Returns 1.
    virtual int addDownloadsInOrder(unsigned char memoryId, const QStringList &localPaths) = 0;
    // Queues uploads of player files to the given local paths, in the caller's order; the two
    // lists have the same length. Returns 1.
    virtual int addUploads(unsigned char memoryId, const QStringList &remoteNames,
                           const QStringList &localPaths) = 0;
    // A transfer is running on the library's worker.
    virtual bool busy() const = 0;
};

} // namespace tunara::device
