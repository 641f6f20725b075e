// The transfer queue: one row per entry (its kind, state, texts) and the run over them, one entry
// after another. It decides which entry runs next, how an entry's end changes the rows, when a
// start waits for other device work, and which pane re-reads the player after a download. It
// knows nothing of widgets: the dialog shows it, the runner moves the files. Downloads the player
// cannot play are converted ahead of the run; the run waits for such a row's conversion
// without holding the player.
#pragma once

#include "queueconversions.h"
#include "queueentry.h"

#include <QAbstractTableModel>
#include <QIcon>
#include <QList>
#include <QPointer>
#include <QString>

#include <array>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

class QWidget;

namespace tunara::transfer {

class TransferHost;
class BatchAlbums;
class QueueRunner;
struct TransferOptions;

class QueueModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column : int { ColStatus = 0, ColMemory, ColRemote, ColLocal, ColStat, ColumnCount };
    // The row's kind and state, for views and tests.
    static constexpr int KindRole = Qt::UserRole;
    static constexpr int StateRole = Qt::UserRole + 1;

    struct Entry {
        EntryKind kind = EntryKind::DownloadFlash;
        int state = IconWaiting;
        QString status;
        QString remote; // file name on the player
        QString local;  // full path on the computer
        QString stat;   // after success: time and speed
        // Converted on the way: `remote` is the converted name, `local` the source.
        bool convert = false;
        bool levelOnly = false;             // an MP3 sent as a levelled copy, not re-encoded
        std::size_t job = 0;                // its conversion
        QueueConversions::Outcome prepared; // while it is sent: the converted file and its link
        std::uint64_t batch = 0;            // addPlanned's batch; 0 for rows queued otherwise
        int code = 0;                       // the library's code when the row failed
    };

    explicit QueueModel(TransferHost &host, QObject *parent = nullptr);
    ~QueueModel() override;

    // The state pictures, in icon-index order (the view's decoration of column 0).
    void setIcons(const std::array<QIcon, IconCount> &icons) { m_icons = icons; }
    // The window the queueing checks' message boxes belong to.
    void setMessageParent(QWidget *parent) { m_messageParent = parent; }
    // The runner whose link begins the next download of a memory the moment the running one
    // has arrived (none: each start waits for the window).
    void setRunner(QueueRunner *runner);

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // Queueing. Downloads given `byPath` are sorted byte-wise by path first (dropped files), else
    // taken in the caller's order (a folder's album order); each is checked as it is queued.
    void addDownloads(unsigned char memoryId, const QStringList &localPaths, bool byPath);
    void addUploads(unsigned char memoryId, const QStringList &remoteNames,
                    const QStringList &localPaths);
    // A download whose player name and conversion were decided beforehand (a file of a sync
    // plan, which has fitted its name and size already): queued as it is, with no check of
    // its own and under no other name. A converted one starts converting at once.
    struct PlannedDownload {
        QString local;
        QString remote;
        bool convert = false;
        media::ConvertSettings settings; // when `convert`
        // Levelled by album: the album it is measured with, and its place in it.
        std::shared_ptr<media::AlbumLevels> album;
        std::size_t albumIndex = 0;
    };
    // `batch` (not 0) marks the rows, so that their caller tells them from others of a name.
    void addPlanned(unsigned char memoryId, const std::vector<PlannedDownload> &downloads,
                    std::uint64_t batch);

    const Entry &entry(int row) const { return m_rows[size_t(row)]; }
    int stateOf(int row) const { return m_rows[size_t(row)].state; }
    int count() const { return int(m_rows.size()); }
    int current() const { return m_current; }
    bool busy() const { return m_busy; }
    bool finished() const { return m_finished; }
    bool hadError() const { return m_hadError; }
    bool startHeld() const { return m_startHeld; }
    // The run waits for the current row's conversion (nothing talks to the player for it).
    bool awaitingConversion() const { return m_awaiting; }
    // What the library is given for `row`: the converted file's link, else the local path.
    QString sendPath(int row) const;
    int nextWaiting() const;
    int failedCount() const;

    // Start Transfer: takes the first waiting row unless an entry runs or other device work is
    // under way (then the start is held until resumeHeldStart()). Emits entryStarting() for the
    // row it takes, or queueFinished() when none waits. A row whose conversion has not ended
    // shows "Converting..." and is taken when it ends (entryConverting()); one whose conversion
    // failed fails and the run goes on.
    void start();
    // Posts start() (the next entry always starts from the event loop, after the handler of the
    // previous one has returned).
    void postStart();
    void resumeHeldStart();

    // The running entry: its start call goes to the player (the row shows it running); its
    // worker started; it arrived (`stat`: time and speed);
    // the library refused to start it (`code` from the library); it failed while it ran.
    void entryAnnouncing();
    void entryStarted();
    void entryDone(const QString &stat);
    void entryRefused(int code);
    void entryFailed(int code);
    // Remove Item: the given rows, but the running one.
    void removeRows(QList<int> rows);
    // Stop: every row but the current one; the conversions of the rows removed stop.
    void stopWaiting();
    // The dialog was hidden: a finished queue is cleared, but for its failed rows, which stay
    // (failuresKept()) until clearFinished().
    void clearIfFinished();
    // Close And Clear: every row of a finished queue goes.
    void clearFinished();
    // A hidden finished queue kept its failed rows (the dialog does not come forward again).
    bool failuresKept() const { return m_failuresKept; }

    // A download's pane refresh not yet handed to the host (downloads finishing before it runs
    // share it); flushPaneRefresh() hands it over.
    bool paneRefreshPending() const { return m_paneRefreshPending; }
    void flushPaneRefresh();

signals:
    // Rows or flags changed: the view updates its display.
    void displayChanged();
    // The row that runs now: the runner starts it.
    void entryStarting(int row);
    // The row that runs now, begun on the link right after the download before it.
    void entryFollowing(int row);
    // The run has reached `row`, whose conversion goes on: the run waits for it.
    void entryConverting(int row);
    // How far the conversion the run waits for has got (after entryConverting()).
    void awaitedConversionProgressed(int percent);
    // A start found no waiting row: the queue has run to its end.
    void queueFinished();
    // The busy flag changed (commands of the window that talk to the player follow it).
    void busyChanged(bool busy);

private:
    int append(EntryKind kind, res::StrId status, const QString &remote, const QString &local);
    void setState(int row, int icon, const QString &status);
    bool refusedByMpegCheck(int row, unsigned char memoryId, const QString &path);
    // The folded names of a memory that a new row must not take: those the first `rows` rows
    // will send there or send now, and those together with the names of the rows that ended
    // and the names the player holds there.
    struct RunNames {
        std::set<std::string> inRun;
        std::set<std::string> all;
        std::set<std::string> exact; // the player's names as they stand, ended rows' too
    };
    RunNames runNames(unsigned char memoryId, int rows) const;
    // A row sent as it is takes its name: a free one when an earlier row or the player holds
    // it in any letter case; a file handed in by `named` keeps a name the player holds to the
    // letter (the library refuses it).
    void takeSentName(int row, bool named, RunNames &names);
    // A row sent under another name than its file's goes through a link of that name; false
    // when none could be made (the row has failed).
    // `ahead`: for the row after the running one, armed to follow it; nothing waits for it.
    bool takeLink(int row, bool ahead);
    // A row the player cannot play as it is waits for its conversion under a free name, which
    // joins `taken`; false for a row that goes as it is.
    bool queuedForConversion(int row, unsigned char memoryId, const TransferOptions &options,
                             std::set<std::string> &taken, BatchAlbums &albums);
    // A row sent as it is that is an MP3, with levelling on: its copy levelled losslessly is
    // sent instead (made by the conversion queue).
    void queueLevelled(int row, const TransferOptions &options, BatchAlbums &albums);
    bool takeConversion(int row, bool ahead);
    // Arms the row after the running download to begin on the link as soon as it ended.
    void armFollowing();
    // Whether the link has begun the row armed; if not, nothing is armed any more.
    bool followingBegun();
    // The row armed is the running one: begun on the link, or about to be.
    void runFollowing();
    // The row armed will not begin on the link: it starts as any other when the run gets there.
    void followingDeclined();
    // The pane has shown the download before the row that followed it: the row shows running.
    void followingShown(int row);
    // The running row has ended: nothing armed after a download that did not arrive begins.
    void followingEnded();
    // "Converting... 40%", or "Levelling... 40%" for a row only levelled.
    static QString progressText(const Entry &e, int percent);
    // The waiting row whose conversion is `job`, or -1.
    int waitingRowOf(std::size_t job) const;
    bool awaits(std::size_t job) const;
    void conversionProgressed(std::size_t job, int percent);
    void conversionFinished(std::size_t job);
    void sendEnded(int row);
    void queued();
    void setBusy(bool busy);
    void notePaneRefresh(unsigned char memory);
    void removeAt(int row);

    TransferHost &m_host;
    QueueConversions *m_conversions = nullptr;
    QPointer<QueueRunner> m_runner;
    int m_armed = -1;          // the row armed to follow the running download
    bool m_armedBegun = false; // and the link has begun it (taken back before it ran)
    bool m_following = false;  // the running row was armed; whether it began is not known yet
    int m_showing = -1;        // the row that followed, until it shows running
    QWidget *m_messageParent = nullptr;
    std::array<QIcon, IconCount> m_icons;
    std::vector<Entry> m_rows;
    int m_current = -1;
    bool m_busy = false;
    bool m_finished = false;
    bool m_hadError = false;
    bool m_startHeld = false;
    bool m_failuresKept = false;
    bool m_awaiting = false;
    bool m_paneRefreshPending = false;
    unsigned char m_pendingMemory = 0;
};

} // namespace tunara::transfer
