// Local paths handed in for download: dropped on a memory pane, chosen through Download to
// Device, named on the command line. A plain file goes to the queue as it is (the queue sorts
// such files by path); a folder gives the audio files below it in album order, which the queue
// keeps, with hidden files and files that are not audio left out and counted.
#pragma once

#include <QObject>
#include <QStringList>

#include <deque>
#include <functional>
#include <memory>

class QThread;
class QWidget;

namespace tunara::device {

class TransferQueue;
class UiServices;

struct Intake {
    QStringList files;      // plain files, as handed in
    QStringList albumFiles; // the folders' audio files, folder after folder, each in album order
    int folders = 0;        // folders handed in
    QStringList noMusic;    // folders without a single audio file
    QStringList unreadable; // what could not be read, each with the reason
    qsizetype hidden = 0;   // hidden files and folders left out
    qsizetype notAudio = 0; // files that are not audio, left out
};

// Whether any of the paths names a folder.
bool anyFolder(const QStringList &paths);
// Sorts the paths into plain files and folders and scans the folders. Blocks (the audio files'
// tags are read for their track numbers); any thread.
Intake takeIn(const QStringList &paths);
// Queues what was found into `memoryId`: the plain files as addDownloads sorts them, then the
// folders' files in their album order.
void queueIntake(TransferQueue &queue, unsigned char memoryId, const Intake &intake);
// Status pane 0 while the folders among `paths` are scanned.
QString scanningText(const QStringList &paths);
// Status pane 0 after a scan: what was left out ("Skipped 2 hidden and 3 non-audio file(s)"),
// or "Ready." when nothing was.
QString intakeStatusText(const Intake &intake);
// Notices for folders without music and for folders that could not be read.
void reportIntake(UiServices &ui, QWidget *parent, const Intake &intake);

// Takes paths in for a window. Paths without a folder are taken in at once; a scan runs on a
// worker thread, so that the window stays responsive. The results are handed out on this
// object's thread in the order the paths were handed in.
class FolderIntake : public QObject {
public:
    using Done = std::function<void(const Intake &)>;

    FolderIntake() = default;
    ~FolderIntake() override; // waits for the scans that still run; their results are dropped
    FolderIntake(const FolderIntake &) = delete;
    FolderIntake &operator=(const FolderIntake &) = delete;

    // `done` runs before this returns when no path is a folder and no earlier scan is pending,
    // otherwise from the event loop once this intake and the ones before it are done.
    void start(const QStringList &paths, Done done);
    // Intakes whose results have not been handed out yet.
    int pending() const { return int(m_jobs.size()); }

private:
    struct Job {
        Done done;
        std::shared_ptr<Intake> result;
        QThread *thread = nullptr; // null: taken in at once
        bool ready = false;
    };
    void deliver();

    std::deque<Job> m_jobs; // in the order handed in
};

} // namespace tunara::device
