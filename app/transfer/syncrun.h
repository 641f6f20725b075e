// Carries out a sync plan on the player, from the window's thread, as the plan was previewed:
// the deletions the user ticked first, then the files to send through the transfer queue (its
// rows, conversions ahead of the run, its Stop), a replacement sent under a staging name and
// put in the old file's place only once it has arrived, then the play order, and one outcome.
#pragma once

#include "sync/syncplan.h"

#include <KestoUSB.h>

#include <QObject>
#include <QString>
#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tunara::device {
struct TableReply;
}

namespace tunara::transfer {

class CTransferDlg;
class TransferHost;

// What the player told of a memory, as the plan takes it.
sync::PlayerState playerStateOf(const KSUSB_TOpenTable &table);
// The memory's file names in play order.
std::vector<std::string> playerNamesOf(const KSUSB_TOpenTable &table);

struct SyncOutcome {
    int sent = 0, replaced = 0, deleted = 0, didNotFit = 0, failed = 0;
    bool stopped = false;
    // The player refused a name for want of directory records: the records its names took
    // afterwards are all its directory holds (Room::learnFromRefusal).
    std::optional<unsigned> learnedRecords;
    QStringList problems; // one line per file that failed, naming it
};

class SyncRun : public QObject {
    Q_OBJECT
public:
    // `convert`: the settings the plan predicted converted files with (each at its item's
    // sample rate). `planned` is the table the plan was made against: the run refuses to start when
    // the player holds something else now. `deleteTicked`: the plan's deletions are carried out.
    SyncRun(TransferHost &host, CTransferDlg &queue, unsigned char memory,
            std::shared_ptr<const sync::SyncPlan> plan, sync::PlayerState planned,
            const media::ConvertSettings &convert, bool deleteTicked, QObject *parent = nullptr);

    void start();
    // The queue stops (its Stop); what has arrived is kept, replacements that arrived are put
    // in place, the play order is left as it is.
    void stop();
    bool running() const { return m_running; }

signals:
    // What the run does now, for the dialog's status line.
    void stepChanged(const QString &text);
    // The player's files changed since the plan: nothing was done.
    void stale();
    void finished(const SyncOutcome &outcome);

private:
    struct Staged {
        std::size_t item;    // the plan's Replace item
        std::string staging; // the name the new copy arrives under
    };
    void checked(const device::TableReply &reply);
    void deleteNext(std::size_t next);
    void queueFiles();
    void watchQueue();
    void afterQueue();
    void replaceNext(std::size_t next);
    void discardStaging(std::size_t next, const QString &why);
    void setOrder();
    void moveNext(std::vector<std::pair<std::string, unsigned>> moves, std::size_t next);
    void finish();
    void keepLevelRecords();
    void fail(const QString &name, int code);
    bool present(const std::string &name) const;
    // Reads the memory's table, then `next` with it; a read that fails ends the run.
    void readTableThen(std::function<void(const KSUSB_TOpenTable &)> next);

    TransferHost &m_host;
    CTransferDlg &m_queue;
    unsigned char m_memory;
    std::shared_ptr<const sync::SyncPlan> m_plan;
    sync::PlayerState m_planned;
    media::ConvertSettings m_convert;
    bool m_deleteTicked;
    bool m_running = false;
    bool m_watching = false;
    int m_rechecks = 0;
    bool m_nameAreaFull = false;        // a row of the run was refused for want of name records
    std::vector<std::size_t> m_deletes; // plan items
    std::vector<Staged> m_staged;
    std::vector<std::string> m_sendNames;               // Send items' names, for the count
    std::uint64_t m_batch = 0;                          // the queue rows of this run
    std::set<std::string> m_arrived;                    // names whose rows have arrived
    std::map<std::string, media::LevelMode> m_sentWith; // names this run put in place
    std::set<std::string> m_present;                    // the player's names (folded) as last read
    SyncOutcome m_outcome;
};

} // namespace tunara::transfer
