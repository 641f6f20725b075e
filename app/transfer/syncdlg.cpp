#include "syncdlg.h"

#include "device/memoryformat.h"
#include "device/playerlink.h"
#include "device/uiservices.h"
#include "media/playerformat.h"
#include "res/format.h"
#include "res/stringtable.h"
#include "transferdlg.h"
#include "transferhost.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTreeWidget>

#include <algorithm>
#include <limits>
#include <random>

namespace tunara::transfer {

using res::fmt;
using res::str;
using res::StrId;

namespace {

constexpr std::uint64_t OneMiB = 1u << 20;
// The gauges count kibibytes: a memory of several gigabytes fits their int range.
constexpr int GaugeShift = 10;
// The preview names this many entries left out of the selection, and counts the rest.
constexpr int MostSkippedNamed = 20;

QString megabytes(std::uint64_t bytes) {
    return res::formatText(QStringLiteral("%.1f MB"), double(bytes) / double(OneMiB));
}

QString sizeOf(std::uint64_t bytes) {
    return bytes > std::numeric_limits<std::uint32_t>::max()
               ? megabytes(bytes)
               : device::sizeText(std::uint32_t(bytes));
}

StrId actionText(const sync::SyncItem &item) {
    switch (item.action) {
    case sync::Action::Send:
        return item.converted ? StrId::SyncActConvert : StrId::SyncActSend;
    case sync::Action::Replace:
        return StrId::SyncActReplace;
    case sync::Action::Keep:
        return StrId::SyncActKeep;
    case sync::Action::Delete:
        return StrId::SyncActDelete;
    case sync::Action::DidNotFit:
        return StrId::SyncActDidNotFit;
    case sync::Action::Refuse:
        return StrId::SyncActRefuse;
    }
    return StrId::SyncActSend;
}

QTreeWidgetItem *rowOf(const sync::SyncItem &item) {
    auto *row = new QTreeWidgetItem;
    row->setText(CSyncDlg::ColAction, str(actionText(item)));
    row->setText(CSyncDlg::ColName, QString::fromUtf8(item.playerName.c_str()));
    row->setText(CSyncDlg::ColSize, sizeOf(item.bytes));
    row->setTextAlignment(CSyncDlg::ColSize, Qt::AlignRight | Qt::AlignVCenter);
    const QString why = QString::fromUtf8(item.reason.c_str());
    const QString source = QString::fromUtf8(item.source.c_str());
    row->setToolTip(CSyncDlg::ColName, why.isEmpty() ? source : source + QLatin1Char('\n') + why);
    return row;
}

void setGauge(QProgressBar *bar, std::uint64_t used, std::uint64_t total, const QString &text) {
    const int range = int(std::min<std::uint64_t>(total, std::numeric_limits<int>::max()));
    bar->setRange(0, std::max(range, 1));
    bar->setValue(int(std::min<std::uint64_t>(used, std::uint64_t(bar->maximum()))));
    bar->setFormat(text);
    bar->setAccessibleDescription(text);
}

} // namespace

CSyncDlg::CSyncDlg(TransferHost &host, CTransferDlg &queue, LoadChoice load, SaveChoice save,
                   QWidget *parent)
    : QDialog(parent), m_host(host), m_queue(queue), m_load(std::move(load)),
      m_save(std::move(save)) {
    setObjectName(QStringLiteral("syncDialog"));
    setWindowTitle(str(StrId::SyncCaption));
    buildControls();
    connect(&m_planner, &SyncPlanner::planned, this, &CSyncDlg::showPlan);
    connect(&m_planner, &SyncPlanner::failed, this, [this](const QString &message) {
        m_progress->hide();
        m_status->setText(fmt(StrId::SyncPlanFailed, message.toUtf8().constData()));
        updateButtons();
    });
}

CSyncDlg::~CSyncDlg() = default;

void CSyncDlg::setMemories(const std::vector<unsigned char> &memories) {
    const unsigned char was = memory();
    const QSignalBlocker quiet(m_memory);
    m_memory->clear();
    for (unsigned char m : memories)
        m_memory->addItem(str(m == 'S' ? StrId::MemoryCard : StrId::FlashMemory), int(m));
    const int again = m_memory->findData(int(was));
    m_memory->setCurrentIndex(again >= 0 ? again : 0);
    if (memory() != m_shownMemory) {
        if (m_shownMemory != 0)
            storeChoice();
        loadChoice();
    }
}

unsigned char CSyncDlg::memory() const {
    return static_cast<unsigned char>(m_memory->currentData().toInt());
}

SyncChoice CSyncDlg::choice() const {
    SyncChoice c;
    for (int i = 0; i < m_sources->count(); ++i)
        c.sources << m_sources->item(i)->text();
    c.fill = m_fill->isChecked();
    c.keepFreeMb = m_keepFree->value();
    c.deleteExtras = m_deleteExtras->isChecked();
    c.shortNames = m_shortNames->isChecked();
    return c;
}

void CSyncDlg::loadChoice() {
    m_shownMemory = memory();
    const SyncChoice c = m_load ? m_load(m_shownMemory) : SyncChoice{};
    {
        const QSignalBlocker a(m_mirror), b(m_fill), d(m_deleteExtras), e(m_shortNames),
            f(m_keepFree);
        m_sources->clear();
        m_sources->addItems(c.sources);
        (c.fill ? m_fill : m_mirror)->setChecked(true);
        m_keepFree->setValue(std::clamp(c.keepFreeMb, 0, CSyncDlg::MostKeepFreeMb));
        m_deleteExtras->setChecked(c.deleteExtras);
        m_shortNames->setChecked(c.shortNames);
    }
    clearPlan();
}

void CSyncDlg::storeChoice() {
    if (m_save && m_shownMemory != 0)
        m_save(m_shownMemory, choice());
}

void CSyncDlg::choiceChanged() {
    storeChoice();
    // What Sync runs is what the preview shows: a changed choice needs a new preview.
    clearPlan();
}

void CSyncDlg::addFolder() {
    const QString start =
        m_sources->count() > 0 ? m_sources->item(m_sources->count() - 1)->text() : QDir::homePath();
    const QString folder = m_host.ui().chooseFolder(this, str(StrId::SyncChooseFolder), start);
    if (folder.isEmpty())
        return;
    m_sources->addItem(QDir::cleanPath(folder));
    choiceChanged();
}

void CSyncDlg::addPlaylist() {
    const QString start =
        m_sources->count() > 0 ? m_sources->item(m_sources->count() - 1)->text() : QDir::homePath();
    const QString file =
        m_host.ui().openFile(this, str(StrId::SyncChoosePlaylist), start,
                             res::fileDialogFilter(str(StrId::SyncPlaylistFilter)));
    if (file.isEmpty())
        return;
    m_sources->addItem(QDir::cleanPath(file));
    choiceChanged();
}

void CSyncDlg::removeSources() {
    const QList<QListWidgetItem *> chosen = m_sources->selectedItems();
    if (chosen.isEmpty())
        return;
    qDeleteAll(chosen);
    choiceChanged();
}

QString CSyncDlg::conversionText() const {
    const TransferOptions o = m_host.transferOptions();
    if (!o.convert)
        return fmt(StrId::SyncConversion, str(StrId::SyncConvertOff).toUtf8().constData());
    const int model = m_host.modelCode();
    const unsigned char mem = memory();
    const int kbps = std::min(o.convertKbps, media::maxBitRateKbps(model, mem));
    const bool vbr = o.convertVbr && media::vbrPlayable(model, mem);
    const QString how = fmt(vbr ? StrId::SyncConvertVbr : StrId::SyncConvertCbr, kbps);
    return fmt(StrId::SyncConversion, how.toUtf8().constData());
}

sync::SyncSettings CSyncDlg::settings() const {
    // The conversion is the window's own (the Option dialog's), as the transfer queue uses it.
    const TransferOptions o = m_host.transferOptions();
    const int model = m_host.modelCode();
    const unsigned char mem = memory();
    const SyncChoice c = choice();
    sync::SyncSettings s;
    s.plan.model = model;
    s.plan.memory = mem;
    s.plan.convert.bitRateKbps = std::min(o.convertKbps, media::maxBitRateKbps(model, mem));
    s.plan.convert.vbr = o.convertVbr && media::vbrPlayable(model, mem);
    s.plan.convert.cover = o.convertCover;
    s.plan.convert.level = o.level;
    s.plan.convert.useStoredGain = o.levelTags;
    s.level = o.level;
    s.plan.shortNames = c.shortNames;
    s.plan.asIs = !o.convert;
    s.mode = c.fill ? sync::SyncMode::Fill : sync::SyncMode::Mirror;
    s.deleteExtras = c.deleteExtras;
    s.keepFreeBytes = c.fill ? std::uint64_t(c.keepFreeMb) * OneMiB : 0;
    if (c.fill) {
        s.seed = std::random_device{}();
        s.history = sync::FillHistory::load(sync::FillHistory::defaultPath());
    }
    return s;
}

void CSyncDlg::preview() {
    if (planning() || running() || m_sources->count() == 0)
        return;
    storeChoice();
    clearPlan();
    m_reading = true;
    m_progress->show();
    m_status->setText(str(StrId::SyncPlanning));
    updateButtons();
    const unsigned char mem = memory();
    // The table is read as the panes read it, on the player link; the plan is made off the
    // window's thread from a copy of it.
    m_host.link().readTable(
        this, mem,
        [this, mem](const device::TableReply &r) {
            m_reading = false;
            if (!r.ok || !r.table || mem != memory()) {
                m_progress->hide();
                m_status->setText(r.ok ? QString() : str(StrId::SyncReadFailed));
                updateButtons();
                return;
            }
            m_state = playerStateOf(*r.table);
            if (const auto learned = m_learnedRecords.find(mem); learned != m_learnedRecords.end())
                m_state.learnedRecords = learned->second;
            m_settings = settings();
            m_planner.plan(choice().sources, m_state, m_settings,
                           QFile::decodeName(sync::MetadataCache::defaultDir().c_str()));
            updateButtons();
        },
        {}, true);
}

void CSyncDlg::clearPlan() {
    m_plan.reset();
    m_overfull = false;
    m_needsDeletions->hide();
    m_planList->clear();
    m_deletions->clear();
    m_deleteTick->setChecked(false);
    m_deleteTick->setText(fmt(StrId::SyncDeleteTick, 0));
    m_deleteTick->setAccessibleName(m_deleteTick->text());
    for (QProgressBar *bar : {m_bytesBefore, m_bytesAfter, m_slotsBefore, m_slotsAfter}) {
        bar->setRange(0, 1);
        bar->setValue(0);
        bar->setFormat(QString());
    }
    m_conversion->setText(conversionText());
    m_conversion->setAccessibleName(m_conversion->text());
    if (!running())
        m_status->clear();
    updateButtons();
}

void CSyncDlg::showPlan(std::shared_ptr<const sync::SyncPlan> plan) {
    m_progress->hide();
    m_plan = std::move(plan);
    m_planList->clear();
    m_deletions->clear();
    QList<QTreeWidgetItem *> rows, deletions;
    for (const sync::SyncItem &item : m_plan->items)
        (item.action == sync::Action::Delete ? deletions : rows) << rowOf(item);
    m_planList->addTopLevelItems(rows);
    m_deletions->addTopLevelItems(deletions);
    for (QTreeWidget *list : {m_planList, m_deletions})
        list->header()->resizeSections(QHeaderView::ResizeToContents);
    m_deleteTick->setText(fmt(StrId::SyncDeleteTick, int(deletions.size())));
    m_deleteTick->setAccessibleName(m_deleteTick->text());
    m_deleteTick->setChecked(false);
    showGauges();
    const sync::SyncCounts &n = m_plan->counts;
    QString text = fmt(StrId::SyncPlanSummary, int(n.send + n.convert),
                       megabytes(n.sendBytes).toUtf8().constData(), int(n.replace), int(n.keep),
                       int(n.remove), int(n.didNotFit), int(n.refuse),
                       int(m_plan->skipped.size() + m_plan->hidden + m_plan->notAudio));
    // Each entry left out is named with why (a playlist's missing file, a file that is not
    // audio); the folder scans' hidden and non-audio files are only counted.
    int named = 0;
    for (const sync::SkippedEntry &s : m_plan->skipped) {
        if (named++ == MostSkippedNamed) {
            text += QStringLiteral("\n...");
            break;
        }
        text += QLatin1Char('\n') + QString::fromUtf8(s.path.c_str()) + QStringLiteral(": ") +
                QString::fromUtf8(s.reason.c_str());
    }
    // A delete asked for with a selection that holds no audio would empty the memory.
    if (m_settings.deleteExtras && !m_plan->selectionHasAudio)
        text += QLatin1Char('\n') + str(StrId::SyncNoAudio);
    m_status->setText(text);
    updateButtons();
}

void CSyncDlg::showGauges() {
    if (!m_plan)
        return;
    const sync::Room &before = m_plan->before;
    // The plan's room after counts its deletions: without their tick they stay, and so does
    // what they hold.
    sync::Room after = m_plan->after;
    m_overfull = false;
    if (!m_deleteTick->isChecked()) {
        for (const sync::SyncItem &item : m_plan->items) {
            if (item.action != sync::Action::Delete)
                continue;
            const std::uint64_t held =
                sync::occupiedBytes(item.bytes, m_plan->geometry.clusterBytes);
            m_overfull = m_overfull || held > after.freeBytes;
            after.freeBytes = after.freeBytes > held ? after.freeBytes - held : 0;
            after.usedRecords += item.records;
        }
        m_overfull = m_overfull || after.usedRecords > after.totalRecords;
    }
    // The plan fitted its files into the room its deletions make: without them the player
    // would refuse files part way. Sync waits for the tick or a plan without deletions.
    m_needsDeletions->setVisible(m_overfull);
    const std::uint64_t total = m_plan->totalBytes;
    const auto bytes = [total](QProgressBar *bar, const sync::Room &room) {
        const std::uint64_t used = total > room.freeBytes ? total - room.freeBytes : 0;
        setGauge(bar, used >> GaugeShift, total >> GaugeShift,
                 fmt(StrId::SyncBytesGauge, megabytes(used).toUtf8().constData(),
                     megabytes(total).toUtf8().constData()));
    };
    const auto records = [](QProgressBar *bar, const sync::Room &room) {
        const unsigned used = std::min(room.usedRecords, room.totalRecords);
        setGauge(bar, used, room.totalRecords,
                 fmt(StrId::SyncSlotsGauge, int(used), int(room.totalRecords)));
    };
    bytes(m_bytesBefore, before);
    bytes(m_bytesAfter, after);
    records(m_slotsBefore, before);
    records(m_slotsAfter, after);
}

void CSyncDlg::sync() {
    if (!m_plan || planning() || running())
        return;
    const bool deletions = m_deleteTick->isChecked() && m_deletions->topLevelItemCount() > 0 &&
                           m_plan->selectionHasAudio;
    media::ConvertSettings convert = m_settings.plan.convert;
    m_run = std::make_unique<SyncRun>(m_host, m_queue, m_shownMemory, m_plan, m_state, convert,
                                      deletions);
    connect(m_run.get(), &SyncRun::stepChanged, m_status, &QLabel::setText);
    connect(m_run.get(), &SyncRun::stale, this, [this] {
        clearPlan();
        m_status->setText(str(StrId::SyncStale));
    });
    connect(m_run.get(), &SyncRun::finished, this, &CSyncDlg::runEnded);
    m_run->start();
    updateButtons();
}

void CSyncDlg::stop() {
    if (running())
        m_run->stop();
}

void CSyncDlg::runEnded(const SyncOutcome &outcome) {
    // A fill's albums are remembered once they were sent, so that the next fill prefers others.
    if (m_plan && m_settings.mode == sync::SyncMode::Fill && outcome.sent + outcome.replaced > 0) {
        sync::FillHistory history = sync::FillHistory::load(sync::FillHistory::defaultPath());
        history.add(m_plan->chosenAlbums);
        (void)history.save(sync::FillHistory::defaultPath()); // a lost history only weakens the
                                                              // next fill's preference
    }
    if (outcome.learnedRecords)
        m_learnedRecords[m_shownMemory] = *outcome.learnedRecords;
    const QString summary =
        fmt(outcome.stopped ? StrId::SyncStopped : StrId::SyncSummary, outcome.sent,
            outcome.replaced, outcome.deleted, outcome.didNotFit, outcome.failed);
    // The plan was carried out: a new Sync needs a new preview against the new table.
    clearPlan();
    m_status->setText(outcome.problems.isEmpty()
                          ? summary
                          : summary + QLatin1Char('\n') + outcome.problems.join(QLatin1Char('\n')));
    updateButtons();
    emit syncFinished(outcome);
}

QString CSyncDlg::statusText() const {
    return m_status->text();
}

void CSyncDlg::updateButtons() {
    const bool busy = planning() || running();
    m_memory->setEnabled(!busy);
    m_addFolder->setEnabled(!busy);
    m_addPlaylist->setEnabled(!busy);
    m_remove->setEnabled(!busy && !m_sources->selectedItems().isEmpty());
    for (QWidget *w : std::initializer_list<QWidget *>{m_mirror, m_fill, m_deleteExtras,
                                                       m_shortNames, m_conversionOptions})
        w->setEnabled(!busy);
    m_keepFree->setEnabled(!busy && m_fill->isChecked());
    m_preview->setEnabled(!busy && m_sources->count() > 0);
    m_deleteTick->setEnabled(!busy && m_plan && m_deletions->topLevelItemCount() > 0 &&
                             m_plan->selectionHasAudio);
    m_sync->setEnabled(!busy && m_plan != nullptr && !m_overfull);
    m_stop->setEnabled(running());
    m_close->setEnabled(true);
}

void CSyncDlg::closeEvent(QCloseEvent *event) {
    storeChoice();
    QDialog::closeEvent(event);
}

void CSyncDlg::reject() {
    // A run goes on with the dialog hidden; the window's transfer dialog shows its rows.
    storeChoice();
    QDialog::reject();
}

} // namespace tunara::transfer
