#include "syncrun.h"

#include "device/memoryformat.h"
#include "device/playererrors.h"
#include "device/playerlink.h"
#include "media/playerformat.h"
#include "res/format.h"
#include "res/stringtable.h"
#include "sync/synclevels.h"
#include "transferdlg.h"
#include "transferhost.h"

#include <QFile>

#include <algorithm>
#include <cstring>
#include <utility>

namespace tunara::transfer {

using res::fmt;
using res::str;
using res::StrId;

namespace {

// How often an idle, unfinished queue is looked at again before its run counts as stopped.
constexpr int MostRechecks = 2;

std::string entryName(const KSUSB_TFileEntry &e) {
    return std::string(e.name, strnlen(e.name, sizeof e.name));
}

QByteArray bytesOf(const std::string &name) {
    return QByteArray::fromStdString(name);
}

QString textOf(const std::string &name) {
    return QString::fromUtf8(bytesOf(name));
}

// The extension a staging copy keeps, so that the player plays it should it stay.
std::string extensionOf(const std::string &name) {
    const size_t dot = name.rfind('.');
    return dot == std::string::npos ? std::string() : name.substr(dot);
}

} // namespace

std::vector<std::string> playerNamesOf(const KSUSB_TOpenTable &table) {
    std::vector<std::string> names;
    const int count = std::min<int>(table.count, KSUSB_MAX_ENTRIES);
    for (int i = 0; i < count; ++i)
        names.push_back(entryName(table.entries[i]));
    return names;
}

sync::PlayerState playerStateOf(const KSUSB_TOpenTable &table) {
    sync::PlayerState state;
    const int count = std::min<int>(table.count, KSUSB_MAX_ENTRIES);
    for (int i = 0; i < count; ++i) {
        const KSUSB_TFileEntry &e = table.entries[i];
        state.files.push_back({entryName(e), e.size, e.date, e.time});
    }
    state.totalBytes = table.total;
    // A player reporting more free than total bytes is not believed beyond its total.
    state.freeBytes = std::min(table.free, table.total);
    return state;
}

SyncRun::SyncRun(TransferHost &host, CTransferDlg &queue, unsigned char memory,
                 std::shared_ptr<const sync::SyncPlan> plan, sync::PlayerState planned,
                 const media::ConvertSettings &convert, bool deleteTicked, QObject *parent)
    : QObject(parent), m_host(host), m_queue(queue), m_memory(memory), m_plan(std::move(plan)),
      m_planned(std::move(planned)), m_convert(convert), m_deleteTicked(deleteTicked) {}

void SyncRun::start() {
    if (m_running || !m_plan)
        return;
    m_running = true;
    m_outcome = {};
    m_outcome.didNotFit = int(m_plan->counts.didNotFit);
    emit stepChanged(str(StrId::RefreshRemote));
    m_host.link().readTable(
        this, m_memory, [this](const device::TableReply &r) { checked(r); }, {}, true);
}

void SyncRun::stop() {
    if (!m_running)
        return;
    m_outcome.stopped = true;
    if (m_watching)
        m_queue.stop();
}

void SyncRun::readTableThen(std::function<void(const KSUSB_TOpenTable &)> next) {
    m_host.link().readTable(
        this, m_memory,
        [this, next = std::move(next)](const device::TableReply &r) {
            if (!r.ok || !r.table) {
                m_outcome.problems << str(StrId::SyncReadFailed);
                ++m_outcome.failed;
                finish();
                return;
            }
            next(*r.table);
        },
        {}, true);
}

bool SyncRun::present(const std::string &name) const {
    return m_present.count(media::foldCase(name)) != 0;
}

void SyncRun::checked(const device::TableReply &reply) {
    if (!reply.ok || !reply.table) {
        m_running = false;
        m_outcome.problems << str(StrId::SyncReadFailed);
        ++m_outcome.failed;
        emit finished(m_outcome);
        return;
    }
    // What was previewed is what runs: a player changed meanwhile (a pane's command, another
    // program) is planned again first.
    const sync::PlayerState now = playerStateOf(*reply.table);
    const auto same = [](const sync::PlayerFile &a, const sync::PlayerFile &b) {
        return a.name == b.name && a.size == b.size;
    };
    if (!std::equal(now.files.begin(), now.files.end(), m_planned.files.begin(),
                    m_planned.files.end(), same)) {
        m_running = false;
        emit stale();
        return;
    }
    m_present.clear();
    for (const sync::PlayerFile &f : now.files)
        m_present.insert(media::foldCase(f.name));
    m_deletes.clear();
    if (m_deleteTicked)
        for (std::size_t i = 0; i < m_plan->items.size(); ++i)
            if (m_plan->items[i].action == sync::Action::Delete)
                m_deletes.push_back(i);
    deleteNext(0);
}

void SyncRun::fail(const QString &name, int code) {
    ++m_outcome.failed;
    m_outcome.problems << name + QStringLiteral(": ") +
                              str(device::playerMessageId(device::Situation::PaneDelete, code));
}

void SyncRun::deleteNext(std::size_t next) {
    if (m_outcome.stopped || next >= m_deletes.size()) {
        queueFiles();
        return;
    }
    const std::string &name = m_plan->items[m_deletes[next]].playerName;
    emit stepChanged(fmt(StrId::SyncDeleting, name.c_str()));
    m_host.link().deleteFile(this, m_memory, bytesOf(name),
                             [this, next, name](const device::CallReply &r) {
                                 if (r.ok) {
                                     ++m_outcome.deleted;
                                     m_present.erase(media::foldCase(name));
                                 } else {
                                     fail(textOf(name), r.code);
                                 }
                                 deleteNext(next + 1);
                             });
}

void SyncRun::queueFiles() {
    if (m_outcome.stopped) {
        finish();
        return;
    }
    // A staging name meets neither a file of the player nor a name of the plan.
    std::vector<std::string> taken;
    for (const std::string &name : m_present)
        taken.push_back(name);
    for (const sync::SyncItem &item : m_plan->items)
        taken.push_back(media::foldCase(item.playerName));

    const std::vector<sync::ItemAlbum> albums = sync::itemAlbums(
        *m_plan, m_convert,
        std::make_shared<media::LoudnessCache>(media::LoudnessCache::defaultDir()));
    std::vector<QueueModel::PlannedDownload> downloads;
    m_staged.clear();
    m_sendNames.clear();
    for (std::size_t i = 0; i < m_plan->items.size(); ++i) {
        const sync::SyncItem &item = m_plan->items[i];
        if (item.action != sync::Action::Send && item.action != sync::Action::Replace)
            continue;
        std::string remote = item.playerName;
        if (item.action == sync::Action::Replace) {
            remote = sync::stagingName(taken, extensionOf(item.playerName));
            taken.push_back(media::foldCase(remote));
            m_staged.push_back({i, remote});
        } else {
            m_sendNames.push_back(remote);
        }
        QueueModel::PlannedDownload d;
        d.local = QFile::decodeName(bytesOf(item.source));
        d.remote = textOf(remote);
        // With levelling, an MP3 the player plays goes as a levelled copy.
        d.convert = sync::throughConverter(item, m_convert.level);
        if (d.convert) {
            d.settings = sync::itemSettings(item, m_convert);
            d.album = albums[i].levels;
            d.albumIndex = albums[i].index;
        }
        downloads.push_back(std::move(d));
    }
    if (downloads.empty()) {
        afterQueue();
        return;
    }
    m_watching = true;
    connect(&m_queue.queue(), &QueueModel::displayChanged, this, &SyncRun::watchQueue);
    static std::uint64_t s_lastBatch = 0;
    m_batch = ++s_lastBatch;
    m_queue.addPlanned(m_memory, downloads, m_batch);
}

void SyncRun::watchQueue() {
    if (!m_watching)
        return;
    // The rows are the queue's to clear (a finished queue may hide and clear itself): what
    // arrived is noted as it arrives.
    const QueueModel &q = m_queue.queue();
    for (int row = 0; row < q.count(); ++row) {
        const QueueModel::Entry &e = q.entry(row);
        if (e.batch != m_batch)
            continue;
        if (e.state >= IconDone && e.state < IconFailed)
            m_arrived.insert(e.remote.toStdString());
        else if (isFailed(e.state) && e.code == KSUSB_ERR_NAME_AREA_FULL)
            m_nameAreaFull = true;
    }
    if (q.busy() || q.awaitingConversion() || q.startHeld() || q.nextWaiting() >= 0) {
        m_rechecks = 0;
        return;
    }
    // An ended row has posted the queue's next start, which finds the end and says so: looked
    // at again once that start has run (two hops, the start is posted after this handler). A
    // queue still not finished then had its running transfer stopped.
    if (!q.finished() && m_rechecks < MostRechecks) {
        ++m_rechecks;
        QMetaObject::invokeMethod(
            this,
            [this] { QMetaObject::invokeMethod(this, &SyncRun::watchQueue, Qt::QueuedConnection); },
            Qt::QueuedConnection);
        return;
    }
    m_watching = false;
    disconnect(&m_queue.queue(), &QueueModel::displayChanged, this, &SyncRun::watchQueue);
    if (!q.finished())
        m_outcome.stopped = true;
    // Posted: the queue is still inside the handler that ended its run.
    QMetaObject::invokeMethod(this, &SyncRun::afterQueue, Qt::QueuedConnection);
}

void SyncRun::afterQueue() {
    for (const std::string &name : m_sendNames) {
        if (m_arrived.count(name) != 0) {
            ++m_outcome.sent;
            m_sentWith[name] = m_convert.level;
        } else {
            ++m_outcome.failed;
            m_outcome.problems << textOf(name);
        }
    }
    emit stepChanged(str(StrId::RefreshRemote));
    readTableThen([this](const KSUSB_TOpenTable &table) {
        m_present.clear();
        unsigned records = 0;
        for (const std::string &name : playerNamesOf(table)) {
            m_present.insert(media::foldCase(name));
            records += sync::recordCost(name);
        }
        if (m_nameAreaFull)
            m_outcome.learnedRecords = records;
        replaceNext(0);
    });
}

void SyncRun::discardStaging(std::size_t next, const QString &why) {
    const Staged &s = m_staged[next];
    ++m_outcome.failed;
    m_outcome.problems << textOf(m_plan->items[s.item].playerName) + QStringLiteral(": ") + why;
    if (!present(s.staging)) {
        replaceNext(next + 1);
        return;
    }
    // What arrived of a copy that failed, or a copy whose old file stays, must not stay too.
    m_host.link().deleteFile(this, m_memory, bytesOf(s.staging),
                             [this, next](const device::CallReply &r) {
                                 const Staged &st = m_staged[next];
                                 if (r.ok)
                                     m_present.erase(media::foldCase(st.staging));
                                 else
                                     m_outcome.problems << textOf(st.staging);
                                 replaceNext(next + 1);
                             });
}

void SyncRun::replaceNext(std::size_t next) {
    if (next >= m_staged.size()) {
        setOrder();
        return;
    }
    const Staged &s = m_staged[next];
    const std::string target = m_plan->items[s.item].playerName;
    const std::string old =
        m_plan->items[s.item].replaces.empty() ? target : m_plan->items[s.item].replaces;
    if (m_arrived.count(s.staging) == 0 || !present(s.staging)) {
        discardStaging(next, str(StrId::DownloadFailed));
        return;
    }
    device::PlayerLink &link = m_host.link();
    // The old copy goes only once the new one is on the player; the new one then takes its
    // name. The library finds names in its table, which is read again after each change.
    link.deleteFile(
        this, m_memory, bytesOf(old), [this, next, old, target](const device::CallReply &r) {
            if (!r.ok) {
                discardStaging(next,
                               str(device::playerMessageId(device::Situation::PaneDelete, r.code)));
                return;
            }
            m_present.erase(media::foldCase(old));
            m_host.link().readTable(
                this, m_memory, [](const device::TableReply &) {}, {}, true);
            const std::string staging = m_staged[next].staging;
            m_host.link().renameFile(
                this, m_memory, bytesOf(staging), bytesOf(target),
                device::usesLongRename(m_host.modelCode()),
                [this, next, staging, target](const device::CallReply &rr) {
                    if (rr.ok) {
                        ++m_outcome.replaced;
                        m_sentWith[target] = m_convert.level;
                        m_present.erase(media::foldCase(staging));
                        m_present.insert(media::foldCase(target));
                    } else {
                        // The new copy stays under its staging name: nothing is lost.
                        ++m_outcome.failed;
                        m_outcome.problems << textOf(target) + QStringLiteral(" -> ") +
                                                  textOf(staging) + QStringLiteral(": ") +
                                                  str(device::playerMessageId(
                                                      device::Situation::PaneRename, rr.code));
                    }
                    replaceNext(next + 1);
                });
        });
}

void SyncRun::setOrder() {
    if (m_outcome.stopped || m_plan->order.empty()) {
        finish();
        return;
    }
    emit stepChanged(str(StrId::SyncOrdering));
    readTableThen([this](const KSUSB_TOpenTable &table) {
        const std::vector<std::string> current = playerNamesOf(table);
        // Only what is on the player is placed: a file that failed has no position.
        std::set<std::string> there;
        for (const std::string &name : current)
            there.insert(media::foldCase(name));
        std::vector<std::string> wanted;
        for (const std::string &name : m_plan->order)
            if (there.count(media::foldCase(name)) != 0)
                wanted.push_back(name);
        moveNext(sync::orderMoves(current, wanted), 0);
    });
}

void SyncRun::moveNext(std::vector<std::pair<std::string, unsigned>> moves, std::size_t next) {
    if (next >= moves.size()) {
        finish();
        return;
    }
    const auto [name, position] = moves[next];
    // A position travels as one byte: 256 is sent as 0 (playerlink.h).
    m_host.link().setPosition(
        this, m_memory, bytesOf(name), static_cast<unsigned char>(position),
        [this, moves = std::move(moves), next, name](const device::CallReply &r) mutable {
            if (!r.ok) {
                ++m_outcome.failed;
                m_outcome.problems << textOf(name);
            }
            moveNext(std::move(moves), next + 1);
        });
}

void SyncRun::finish() {
    m_running = false;
    keepLevelRecords();
    // The pane shows what the player holds now.
    m_host.downloadFinished(m_memory);
    emit finished(m_outcome);
}

void SyncRun::keepLevelRecords() {
    // What each file on the player now was sent with, for the next plan's comparison. The
    // names are the player's as last read, folded: the records match them in any case.
    const std::string path = sync::LevelRecords::defaultPath();
    sync::LevelRecords records = sync::LevelRecords::load(path);
    auto &memory = records.memories[char(m_memory)];
    const std::vector<std::string> present(m_present.begin(), m_present.end());
    const auto now = sync::recordsAfterRun(memory, present, m_sentWith);
    if (now == memory)
        return;
    memory = now;
    if (const auto error = records.save(path))
        m_outcome.problems << str(StrId::SyncLevelsNotKept) + QStringLiteral(": ") +
                                  QString::fromStdString(*error);
}

} // namespace tunara::transfer
