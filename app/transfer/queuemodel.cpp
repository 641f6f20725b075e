#include "queuemodel.h"

#include "device/memoryformat.h"
#include "device/uiservices.h"
#include "media/loudnesscache.h"
#include "media/mpegheader.h"
#include "media/playerformat.h"
#include "queuerunner.h"
#include "res/format.h"
#include "res/stringtable.h"
#include "transferhost.h"

#include <KestoUSB.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <utility>

namespace tunara::transfer {

using res::fmt;
using res::str;
using res::StrId;

namespace {

constexpr StrId ColumnHeaders[QueueModel::ColumnCount] = {
    StrId::Status, StrId::Memory, StrId::RemoteFile, StrId::LocalFile, StrId::Stat};
// Voice recordings end in these letters; the converter takes them after an upload.
const QString VoiceSuffix = QStringLiteral("VRF");
// The converter's names in the program folder, in the order they are looked for.
const QStringList ConverterNames = {QStringLiteral("sndconv"), QStringLiteral("sndconv.exe")};

QByteArray localBytes(const QString &path) {
    return QFile::encodeName(path);
}

device::MessageIcon iconOf(media::MessageIcon icon) {
    switch (icon) {
    case media::MessageIcon::Stop:
        return device::MessageIcon::Stop;
    case media::MessageIcon::Warning:
        return device::MessageIcon::Warning;
    case media::MessageIcon::Info:
        return device::MessageIcon::Information;
    }
    return device::MessageIcon::None;
}

// The MPEG check reports through the program's message boxes.
class UiSink final : public media::MessageSink {
public:
    UiSink(device::UiServices &ui, QWidget *parent) : m_ui(ui), m_parent(parent) {}
    void showMessage(media::MessageIcon icon, std::string_view, std::string_view text) override {
        m_ui.message(m_parent, QString::fromUtf8(text.data(), qsizetype(text.size())),
                     iconOf(icon));
    }

private:
    device::UiServices &m_ui;
    QWidget *m_parent;
};

void startVoiceConverter(TransferHost &host, const QString &localPath) {
    const QDir folder(host.programDir());
    const QStringList files = folder.entryList(QDir::Files, QDir::Name);
    for (const QString &wanted : ConverterNames) {
        for (const QString &file : files) {
            if (file.compare(wanted, Qt::CaseInsensitive) == 0) {
                // The converter's outcome is not ours to report.
                (void)host.ui().startDetached(folder.filePath(file), {localPath});
                return;
            }
        }
    }
}

} // namespace

// The conversions one batch of downloads adds, in row order. With levelling by album, the rows
// of one folder are one album, measured together once the batch is complete (the first of its
// conversions that runs waits until then).
class BatchAlbums {
public:
    BatchAlbums(QueueConversions &conversions, media::LevelMode mode, bool useStoredGain)
        : m_conversions(conversions), m_mode(mode), m_useStoredGain(useStoredGain) {}
    ~BatchAlbums() { seal(); }
    BatchAlbums(const BatchAlbums &) = delete;
    BatchAlbums &operator=(const BatchAlbums &) = delete;

    std::size_t add(const QString &source, const media::ConvertSettings &settings) {
        if (m_mode != media::LevelMode::Album)
            return m_conversions.add(source, settings);
        std::shared_ptr<media::AlbumLevels> &album = m_albums[QFileInfo(source).absolutePath()];
        if (!album)
            album = std::make_shared<media::AlbumLevels>(m_loudness);
        const std::size_t index = album->add(media::LevelSource{
            localBytes(source).toStdString(), media::PeakMode::Sample, m_useStoredGain});
        return m_conversions.add(source, settings, album, index);
    }
    void seal() {
        for (auto &[folder, album] : m_albums)
            album->seal();
    }

private:
    QueueConversions &m_conversions;
    const media::LevelMode m_mode;
    const bool m_useStoredGain;
    // What earlier runs measured of an album in its present state is not measured again.
    const std::shared_ptr<const media::LoudnessCache> m_loudness =
        std::make_shared<media::LoudnessCache>(media::LoudnessCache::defaultDir());
    std::map<QString, std::shared_ptr<media::AlbumLevels>> m_albums;
};

QueueModel::QueueModel(TransferHost &host, QObject *parent)
    : QAbstractTableModel(parent), m_host(host), m_conversions(new QueueConversions(this)) {
    connect(m_conversions, &QueueConversions::progressed, this, &QueueModel::conversionProgressed);
    connect(m_conversions, &QueueConversions::finished, this, &QueueModel::conversionFinished);
}

QueueModel::~QueueModel() {
    // A row armed to follow on the link does not begin with its link gone.
    if (m_runner != nullptr && m_armed >= 0 && !m_armedBegun)
        (void)m_runner->takeBackFollowing();
    // The links of a file still being sent go; the conversions stop with their object.
    for (Entry &e : m_rows)
        m_conversions->sendEnded(std::exchange(e.prepared, {}));
}

int QueueModel::rowCount(const QModelIndex &parent) const {
    return parent.isValid() ? 0 : count();
}

int QueueModel::columnCount(const QModelIndex &parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant QueueModel::data(const QModelIndex &index, int role) const {
    if (!index.isValid() || index.row() >= count())
        return {};
    const Entry &e = entry(index.row());
    switch (role) {
    case Qt::DisplayRole:
        switch (index.column()) {
        case ColStatus:
            return e.status;
        case ColMemory:
            return str(memoryOf(e.kind) == KSUSB_MEM_CARD ? StrId::External : StrId::Flash);
        case ColRemote:
            return e.remote;
        case ColLocal:
            return e.local;
        case ColStat:
            return e.stat;
        default:
            return {};
        }
    case Qt::DecorationRole:
        if (index.column() == ColStatus && e.state >= 0 && e.state < IconCount)
            return m_icons[size_t(e.state)];
        return {};
    case KindRole:
        return int(e.kind);
    case StateRole:
        return e.state;
    default:
        return {};
    }
}

QVariant QueueModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
        section >= ColumnCount)
        return {};
    return str(ColumnHeaders[section]);
}

int QueueModel::append(EntryKind kind, StrId status, const QString &remote, const QString &local) {
    const int row = count();
    beginInsertRows({}, row, row);
    m_rows.push_back(Entry{kind, IconWaiting, str(status), remote, local, {}, false, false, 0, {}});
    endInsertRows();
    return row;
}

void QueueModel::setState(int row, int icon, const QString &status) {
    Entry &e = m_rows[size_t(row)];
    e.state = icon;
    e.status = status;
    emit dataChanged(index(row, ColStatus), index(row, ColStatus));
}

void QueueModel::addDownloads(unsigned char memoryId, const QStringList &localPaths, bool byPath) {
    // Byte-wise order of the paths as the file system spells them (case matters).
    std::vector<std::pair<QByteArray, QString>> paths;
    paths.reserve(size_t(localPaths.size()));
    for (const QString &p : localPaths)
        paths.emplace_back(localBytes(p), p);
    if (byPath)
        std::stable_sort(paths.begin(), paths.end(),
                         [](const auto &a, const auto &b) { return a.first < b.first; });

    const TransferOptions options = m_host.transferOptions();
    const EntryKind kind = kindFor(memoryId, true);
    // Gathered once per batch, then kept up to date row by row: a folder of thousands of files
    // is not read over again for each one.
    RunNames names = runNames(memoryId, count());
    BatchAlbums albums(*m_conversions, options.level, options.levelTags);
    for (const auto &[bytes, path] : paths) {
        const QFileInfo info(path);
        m_host.storeDownloadFolder(QDir::toNativeSeparators(info.absolutePath()) +
                                   QDir::separator());
        const QString name = info.fileName();
        const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
        const QString extension = dot < 0 ? QString() : name.mid(dot);
        // The row names the file as it arrives: characters the player cannot hold are '_' and
        // the name is fitted to what the player keeps.
        const int row = append(
            kind, StrId::WaitingDownload,
            QFile::decodeName(QByteArray::fromStdString(media::sentName(bytes.toStdString()))),
            path);
        if (extension.size() <= 1) {
            setState(row, IconRefused, str(StrId::NoExtension));
            continue;
        }
        // With conversion on, what the MPEG check would refuse is converted instead.
        if (options.convert && queuedForConversion(row, memoryId, options, names.all, albums)) {
            names.inRun.insert(media::foldCase(entry(row).remote.toStdString()));
            continue;
        }
        const int model = m_host.modelCode();
        if (!options.convert && options.blockMpeg2Ext && model != device::ModelQn520 &&
            model != device::ModelQnVela &&
            extension.compare(QLatin1String(".mp3"), Qt::CaseInsensitive) == 0 &&
            refusedByMpegCheck(row, memoryId, path))
            continue;
        takeSentName(row, byPath, names);
        queueLevelled(row, options, albums);
    }
    albums.seal();
    queued();
}

void QueueModel::queueLevelled(int row, const TransferOptions &options, BatchAlbums &albums) {
    Entry &e = m_rows[size_t(row)];
    if (options.level == media::LevelMode::Off ||
        media::audioKindOf(localBytes(e.local).toStdString()) != media::AudioKind::Mp3)
        return;
    media::ConvertSettings settings;
    settings.level = options.level;
    settings.useStoredGain = options.levelTags;
    settings.keepEncoding = true;
    e.convert = true;
    e.levelOnly = true;
    e.job = albums.add(e.local, settings);
}

void QueueModel::takeSentName(int row, bool named, RunNames &names) {
    Entry &e = m_rows[size_t(row)];
    // The player's folder is flat: a name an earlier row of this memory takes (any letter
    // case, or the same once fitted to 80 bytes) gets a free one, as does a name the player
    // holds. A file handed in by name under a name the player holds to the letter keeps it: the
    // library refuses it, and the row says so. The library sees no twin in another case.
    const std::string desired = e.remote.toStdString();
    const bool refusedByLibrary = named && names.exact.count(desired) > 0;
    const std::string chosen = refusedByLibrary ? media::freeName(desired, names.inRun)
                                                : media::freeName(desired, names.all);
    (refusedByLibrary ? names.all : names.inRun).insert(media::foldCase(chosen));
    if (chosen != desired) {
        e.remote = QFile::decodeName(QByteArray::fromStdString(chosen));
        emit dataChanged(index(row, ColRemote), index(row, ColRemote));
    }
}

bool QueueModel::refusedByMpegCheck(int row, unsigned char memoryId, const QString &path) {
    UiSink sink(m_host.ui(), m_messageParent);
    const media::MpegCheck check = media::CheckMpegHeader(localBytes(path).toStdString(), sink);
    switch (check.code) {
    case media::MpegCheckCode::Mpeg25:
    case media::MpegCheckCode::NoFrameHeader:
        // The check has said why in its own message.
        setState(row, IconRefused, str(StrId::UnsupportedFormat));
        return true;
    case media::MpegCheckCode::BitRateTooHigh:
        if (memoryId != KSUSB_MEM_CARD || m_host.modelCode() != device::ModelQn70)
            return false;
        m_host.ui().message(m_messageParent, str(StrId::BitrateTooHigh) + QLatin1Char('\n') + path,
                            device::MessageIcon::Stop);
        setState(row, IconRefused, str(StrId::UnsupportedBitrate));
        return true;
    case media::MpegCheckCode::Accepted:
        break;
    }
    return false;
}

QueueModel::RunNames QueueModel::runNames(unsigned char memoryId, int rows) const {
    RunNames names;
    for (int other = 0; other < rows; ++other) {
        const Entry &o = entry(other);
        if (memoryOf(o.kind) != memoryId || !isDownload(o.kind) || o.state == IconRefused)
            continue;
        const std::string folded = media::foldCase(o.remote.toStdString());
        // A row that has ended is the player's now (its pane may not list it yet): a file handed
        // in by name meets it there, as it meets every name the player holds.
        if (isWaiting(o.state) || o.state == IconRunning)
            names.inRun.insert(folded);
        else
            names.exact.insert(o.remote.toStdString());
        names.all.insert(folded);
    }
    for (const QString &name : m_host.playerNames(memoryId)) {
        names.all.insert(media::foldCase(name.toStdString()));
        names.exact.insert(name.toStdString());
    }
    return names;
}

bool QueueModel::queuedForConversion(int row, unsigned char memoryId,
                                     const TransferOptions &options, std::set<std::string> &taken,
                                     BatchAlbums &albums) {
    Entry &e = m_rows[size_t(row)];
    const std::string path = localBytes(e.local).toStdString();
    // With the MPEG check switched off, MP3 files go as they are, unchecked.
    if (!options.blockMpeg2Ext && media::audioKindOf(path) == media::AudioKind::Mp3)
        return false;
    const int model = m_host.modelCode();
    if (media::routeFor(path, model, memoryId).route != media::Route::Convert)
        return false;
    media::ConvertSettings settings;
    settings.bitRateKbps = std::min(options.convertKbps, media::maxBitRateKbps(model, memoryId));
    settings.vbr = options.convertVbr && media::vbrPlayable(model, memoryId);
    settings.cover = options.convertCover;
    settings.level = options.level;
    settings.useStoredGain = options.levelTags;
    // A file that cannot fit the memory fails before it is converted.
    if (const std::optional<std::uint64_t> room = m_host.freeBytes(memoryId))
        settings.roomBytes = *room;
    e.convert = true;
    // The converted file's name is ours: one the player holds or an earlier row of this memory
    // takes gets a free name, so that no converted file is refused or meets another.
    e.remote = QFile::decodeName(
        QByteArray::fromStdString(media::freeName(media::convertedName(path), taken)));
    e.job = albums.add(e.local, settings);
    emit dataChanged(index(row, ColRemote), index(row, ColRemote));
    return true;
}

void QueueModel::addPlanned(unsigned char memoryId, const std::vector<PlannedDownload> &downloads,
                            std::uint64_t batch) {
    const EntryKind kind = kindFor(memoryId, true);
    for (const PlannedDownload &d : downloads) {
        const int row = append(kind, StrId::WaitingDownload, d.remote, d.local);
        Entry &e = m_rows[size_t(row)];
        e.batch = batch;
        if (d.convert) {
            e.convert = true;
            e.levelOnly = d.settings.keepEncoding;
            e.job = d.album ? m_conversions->add(e.local, d.settings, d.album, d.albumIndex)
                            : m_conversions->add(e.local, d.settings);
        }
    }
    queued();
}

void QueueModel::addUploads(unsigned char memoryId, const QStringList &remoteNames,
                            const QStringList &localPaths) {
    const EntryKind kind = kindFor(memoryId, false);
    // The lists are the same length; a caller's mistake must not read past either.
    const qsizetype n = std::min(remoteNames.size(), localPaths.size());
    for (qsizetype i = 0; i < n; ++i)
        append(kind, StrId::WaitingUpload, remoteNames[i], localPaths[i]);
    queued();
}

void QueueModel::queued() {
    m_finished = false;
    m_failuresKept = false;
    emit displayChanged();
    if (m_host.transferOptions().autoStartXfer && !m_busy)
        postStart();
}

int QueueModel::nextWaiting() const {
    const auto it = std::find_if(m_rows.begin(), m_rows.end(),
                                 [](const Entry &e) { return isWaiting(e.state); });
    return it == m_rows.end() ? -1 : int(it - m_rows.begin());
}

int QueueModel::failedCount() const {
    return int(std::count_if(m_rows.begin(), m_rows.end(),
                             [](const Entry &e) { return isFailed(e.state); }));
}

void QueueModel::setBusy(bool busy) {
    if (std::exchange(m_busy, busy) != busy)
        emit busyChanged(busy);
}

void QueueModel::postStart() {
    QMetaObject::invokeMethod(this, &QueueModel::start, Qt::QueuedConnection);
}

void QueueModel::start() {
    // One entry at a time: a row whose conversion the run waits for is the running one.
    if (m_busy || m_awaiting) {
        emit displayChanged();
        return;
    }
    // The row armed to follow the download that arrived begins on the link without waiting for
    // the window, whatever else waits.
    if (m_armed >= 0) {
        flushPaneRefresh();
        runFollowing();
        return;
    }
    // Nothing is sent while another part of the program talks to the player (a pane's call, a
    // service transfer running its own event loop): the host resumes the start afterwards.
    if (m_host.deviceBusy()) {
        m_startHeld = true;
        emit displayChanged();
        return;
    }
    m_startHeld = false;
    // The pane shows the last download before the next one starts: its re-read goes to the
    // player link first, and the next start call follows it there, so that the library chooses
    // the next short name against the new table while the window shows the pane.
    flushPaneRefresh();
    const int next = nextWaiting();
    if (next < 0) {
        m_finished = true;
        emit displayChanged();
        emit queueFinished();
        return;
    }
    m_current = next;
    if (entry(next).convert ? !takeConversion(next, false) : !takeLink(next, false))
        return;
    setBusy(true);
    emit displayChanged();
    emit entryStarting(next);
    armFollowing();
}

void QueueModel::armFollowing() {
    // Only a download ready to go into the memory the running one goes to: the link reads that
    // memory's table before it begins the next, and the library names the file against it.
    if (m_runner == nullptr || m_armed >= 0 || !m_busy || m_current < 0 || m_current >= count() ||
        !isDownload(entry(m_current).kind))
        return;
    // The running row still shows waiting until its start call reaches the link.
    const auto it = std::find_if(m_rows.begin() + m_current + 1, m_rows.end(),
                                 [](const Entry &e) { return isWaiting(e.state); });
    if (it == m_rows.end() || it->kind != entry(m_current).kind)
        return;
    const int row = int(it - m_rows.begin());
    if (entry(row).convert ? !takeConversion(row, true) : !takeLink(row, true))
        return;
    // Too late: the running download has arrived, and the row starts when the window hears so.
    if (!m_runner->armFollowing(memoryOf(entry(row).kind), localBytes(sendPath(row))))
        return;
    m_armed = row;
}

bool QueueModel::followingBegun() {
    if (m_armed < 0)
        return false;
    if (!m_armedBegun && (m_runner == nullptr || !m_runner->takeBackFollowing())) {
        m_armed = -1;
        return false;
    }
    m_armedBegun = true;
    return true;
}

void QueueModel::runFollowing() {
    const int row = std::exchange(m_armed, -1);
    m_current = row;
    setBusy(true);
    emit displayChanged();
    emit entryFollowing(row);
    // The row shows running once the pane has shown the download before it: its re-read went
    // to the link before this.
    m_showing = row;
    m_runner->afterLinkCalls(this, [this, row] { followingShown(row); });
    m_runner->settleFollowing();
    if (std::exchange(m_armedBegun, false) || m_runner->takeBackFollowing(true)) {
        armFollowing();
        return;
    }
    // The link begins it once it has read the table after the last download: its start (or
    // refusal) comes next, or word that it declined.
    m_following = true;
}

void QueueModel::followingShown(int row) {
    if (std::exchange(m_showing, -1) != row || row != m_current || !isWaiting(stateOf(row)))
        return;
    setState(row, IconRunning, str(StrId::Downloading));
}

void QueueModel::followingDeclined() {
    (void)m_runner->takeBackFollowing();
    m_showing = -1;
    if (!std::exchange(m_following, false)) {
        m_armed = -1; // declined before the download ahead of it was heard of
        m_armedBegun = false;
        return;
    }
    // The table could not be read, or another call went to the player first: the row starts
    // as any other.
    setBusy(false);
    if (m_current >= 0 && m_current < count())
        setState(m_current, IconWaiting + int(entry(m_current).kind), str(StrId::WaitingDownload));
    start();
}

void QueueModel::followingEnded() {
    m_showing = -1;
    // A row that followed on the link has ended: it had begun.
    if (std::exchange(m_following, false))
        (void)m_runner->takeBackFollowing();
    // Nothing follows a download that did not arrive.
    else
        (void)followingBegun();
}

QString QueueModel::progressText(const Entry &e, int percent) {
    // An MP3 sent as a levelled copy is only levelled, not converted.
    return fmt(e.levelOnly ? StrId::Levelling : StrId::Converting, percent);
}

bool QueueModel::takeConversion(int row, bool ahead) {
    Entry &e = m_rows[size_t(row)];
    if (e.prepared.state == QueueConversions::Outcome::State::Ready)
        return true; // taken ahead
    QueueConversions::Outcome out = m_conversions->take(e.job, e.remote);
    switch (out.state) {
    case QueueConversions::Outcome::State::Converting: {
        if (ahead)
            return false;
        m_awaiting = true;
        const int percent = m_conversions->percent(e.job); // the workers move it on meanwhile
        setState(row, IconRunning, progressText(e, percent));
        emit displayChanged();
        emit entryConverting(row);
        emit awaitedConversionProgressed(percent);
        return false;
    }
    case QueueConversions::Outcome::State::Failed:
        // Nothing of it reaches the player; the run goes on with the next row.
        setState(row, IconFailed + int(e.kind),
                 fmt(StrId::ConversionFailed, out.message.toUtf8().constData()));
        m_hadError = true;
        emit displayChanged();
        if (!ahead)
            postStart();
        return false;
    case QueueConversions::Outcome::State::Ready:
        break;
    }
    e.prepared = std::move(out);
    return true;
}

bool QueueModel::takeLink(int row, bool ahead) {
    Entry &e = m_rows[size_t(row)];
    // Uploads and downloads under their own file's name go as they are.
    if (!isDownload(e.kind) || e.remote == QFileInfo(e.local).fileName() ||
        e.prepared.state == QueueConversions::Outcome::State::Ready)
        return true;
    QueueConversions::Outcome out = m_conversions->linkAs(e.local, e.remote);
    if (out.state != QueueConversions::Outcome::State::Ready) {
        setState(row, IconFailed + int(e.kind),
                 fmt(StrId::LinkFailed, out.message.toUtf8().constData()));
        m_hadError = true;
        emit displayChanged();
        if (!ahead)
            postStart();
        return false;
    }
    e.prepared = std::move(out);
    return true;
}

bool QueueModel::awaits(std::size_t job) const {
    return m_awaiting && m_current >= 0 && m_current < count() && entry(m_current).convert &&
           entry(m_current).job == job;
}

int QueueModel::waitingRowOf(std::size_t job) const {
    for (int row = 0; row < count(); ++row) {
        const Entry &e = entry(row);
        if (e.convert && e.job == job && isWaiting(e.state))
            return row;
    }
    return -1;
}

void QueueModel::conversionProgressed(std::size_t job, int percent) {
    if (awaits(job)) {
        setState(m_current, IconRunning, progressText(entry(m_current), percent));
        emit awaitedConversionProgressed(percent);
        return;
    }
    // A row ahead of the run converts while it waits: its status says how far.
    if (const int row = waitingRowOf(job); row >= 0)
        setState(row, entry(row).state, progressText(entry(row), percent));
}

void QueueModel::conversionFinished(std::size_t job) {
    if (!awaits(job)) {
        // A row ahead of the run: taken when the run reaches it.
        if (const int row = waitingRowOf(job); row >= 0)
            setState(row, entry(row).state, str(StrId::WaitingDownload));
        return;
    }
    m_awaiting = false;
    setState(m_current, IconWaiting + int(entry(m_current).kind), str(StrId::WaitingDownload));
    start();
}

QString QueueModel::sendPath(int row) const {
    const Entry &e = entry(row);
    return e.prepared.state == QueueConversions::Outcome::State::Ready ? e.prepared.sendPath
                                                                       : e.local;
}

void QueueModel::sendEnded(int row) {
    if (row >= 0 && row < count())
        m_conversions->sendEnded(std::exchange(m_rows[size_t(row)].prepared, {}));
}

void QueueModel::entryAnnouncing() {
    // The pane's re-read went to the link before this call and has answered already.
    if (m_busy && m_current >= 0 && m_current < count())
        setState(m_current, IconRunning,
                 str(isDownload(entry(m_current).kind) ? StrId::Downloading : StrId::Uploading));
}

void QueueModel::resumeHeldStart() {
    if (std::exchange(m_startHeld, false))
        postStart();
}

void QueueModel::entryStarted() {
    setBusy(true);
    // The row that followed on the link has begun: the next may be armed after it.
    if (m_following && m_runner->takeBackFollowing(true)) {
        m_following = false;
        armFollowing();
    }
}

void QueueModel::setRunner(QueueRunner *runner) {
    m_runner = runner;
    connect(runner, &QueueRunner::declined, this, &QueueModel::followingDeclined);
}

void QueueModel::entryDone(const QString &stat) {
    m_showing = -1;
    if (std::exchange(m_following, false))
        (void)m_runner->takeBackFollowing();
    sendEnded(m_current);
    if (m_current >= 0 && m_current < count()) {
        Entry &e = m_rows[size_t(m_current)];
        if (!isDownload(e.kind) && e.local.right(VoiceSuffix.size()).toUpper() == VoiceSuffix)
            startVoiceConverter(m_host, e.local);
        e.stat = stat;
        setState(m_current, IconDone + int(e.kind),
                 str(isDownload(e.kind) ? StrId::DownloadOk : StrId::UploadOk));
        emit dataChanged(index(m_current, ColStat), index(m_current, ColStat));
        // The library has heard the player's end of the file before it reported it, so the
        // pane may ask for the new table at once.
        if (isDownload(e.kind))
            notePaneRefresh(memoryOf(e.kind));
    }
    setBusy(false);
    emit displayChanged();
    // The next file's re-read and start go to the player link now, before the window paints
    // what changed: a posted start waited behind those paints on every file. The queue's end
    // keeps its posted start, so the summary comes after the last file's numbers.
    if (nextWaiting() >= 0)
        start();
    else
        postStart();
}

void QueueModel::entryRefused(int code) {
    followingEnded();
    sendEnded(m_current);
    const bool download =
        m_current >= 0 && m_current < count() && isDownload(entry(m_current).kind);
    if (m_current >= 0 && m_current < count()) {
        m_rows[size_t(m_current)].code = code;
        const Entry &e = entry(m_current);
        setState(m_current, IconFailed + int(e.kind),
                 str(download ? downloadStartFailure(code) : uploadStartFailure(code)));
    }
    m_hadError = true;
    setBusy(false);
    if (download && code == KSUSB_ERR_NAME_AREA_FULL) {
        const QString question =
            str(StrId::NameAreaFull) + QStringLiteral("\n\n") + str(StrId::ProceedNextItem);
        if (!m_host.ui().askOkCancel(m_messageParent, question, device::MessageIcon::Warning))
            QMetaObject::invokeMethod(this, &QueueModel::stopWaiting, Qt::QueuedConnection);
    }
    emit displayChanged();
    postStart();
}

void QueueModel::entryFailed(int code) {
    followingEnded();
    sendEnded(m_current);
    setBusy(false);
    if (m_current >= 0 && m_current < count()) {
        m_rows[size_t(m_current)].code = code;
        setState(m_current, IconFailed + int(entry(m_current).kind), str(runFailure(code)));
    }
    m_hadError = true;
    emit displayChanged();
    // After a stop the queue waits for Start; the pane shows what arrived before it.
    if (code != KSUSB_ERR_STOPPED)
        postStart();
    else if (m_paneRefreshPending)
        QMetaObject::invokeMethod(this, &QueueModel::flushPaneRefresh, Qt::QueuedConnection);
}

void QueueModel::removeAt(int row) {
    if (row < m_armed)
        --m_armed;
    else if (row == m_armed)
        m_armed = -1;
    const Entry &e = entry(row);
    if (e.convert)
        m_conversions->drop(e.job);
    sendEnded(row);
    beginRemoveRows({}, row, row);
    m_rows.erase(m_rows.begin() + row);
    endRemoveRows();
}

void QueueModel::removeRows(QList<int> rows) {
    std::sort(rows.begin(), rows.end(), std::greater<>());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    for (const int i : rows) {
        // The running row stays, and so does one the link has begun after it.
        if (i < 0 || i >= count() || (i == m_current && m_busy) ||
            (i == m_armed && followingBegun()))
            continue;
        removeAt(i);
        if (i < m_current) {
            --m_current;
        } else if (i == m_current) {
            m_current = -1; // the last run entry is gone; nothing points at another row
            // The row whose conversion the run waited for went: the run goes on without it.
            if (std::exchange(m_awaiting, false))
                postStart();
        }
    }
    emit displayChanged();
}

void QueueModel::stopWaiting() {
    for (int i = count() - 1; i >= 0; --i) {
        if (i == m_current || (i == m_armed && followingBegun()))
            continue;
        removeAt(i);
        if (i < m_current)
            --m_current;
    }
    emit displayChanged();
}

void QueueModel::clearIfFinished() {
    if (!m_finished)
        return;
    if (failedCount() == 0) {
        clearFinished();
        return;
    }
    // What failed stays listed, with the summary's count of it, until the user clears it: the
    // rows that arrived or were refused go.
    for (int i = count() - 1; i >= 0; --i) {
        if (!isFailed(stateOf(i)))
            removeAt(i);
    }
    m_current = -1;
    m_failuresKept = true;
    emit displayChanged();
}

void QueueModel::clearFinished() {
    if (!m_finished)
        return;
    m_current = -1;
    m_hadError = false;
    m_failuresKept = false;
    for (const Entry &e : m_rows)
        if (e.convert)
            m_conversions->drop(e.job);
    beginResetModel();
    m_rows.clear();
    endResetModel();
}

void QueueModel::notePaneRefresh(unsigned char memory) {
    // The next start hands it over; the pane's re-read also refreshes the library's table,
    // against which the next file's short name is chosen.
    if (m_paneRefreshPending && m_pendingMemory != memory)
        flushPaneRefresh();
    m_paneRefreshPending = true;
    m_pendingMemory = memory;
}

void QueueModel::flushPaneRefresh() {
    if (!std::exchange(m_paneRefreshPending, false))
        return;
    m_host.downloadFinished(m_pendingMemory);
}

} // namespace tunara::transfer
