#include "folderintake.h"

#include "media/folderscan.h"
#include "res/format.h"
#include "res/stringtable.h"
#include "transferqueue.h"
#include "uiservices.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <algorithm>
#include <climits>

namespace tunara::device {

using res::str;
using res::StrId;

bool anyFolder(const QStringList &paths) {
    for (const QString &p : paths) {
        if (QFileInfo(p).isDir())
            return true;
    }
    return false;
}

Intake takeIn(const QStringList &paths) {
    Intake in;
    for (const QString &p : paths) {
        if (!QFileInfo(p).isDir()) {
            in.files << p;
            continue;
        }
        ++in.folders;
        const media::FolderScan scan = media::scanFolder(QFile::encodeName(p).toStdString());
        for (const std::string &f : scan.files)
            in.albumFiles << QFile::decodeName(QByteArray::fromStdString(f));
        for (const std::string &e : scan.errors)
            in.unreadable << QFile::decodeName(QByteArray::fromStdString(e));
        in.hidden += qsizetype(scan.hidden);
        in.notAudio += qsizetype(scan.notAudio);
        if (scan.files.empty() && scan.errors.empty())
            in.noMusic << QDir::toNativeSeparators(p);
    }
    return in;
}

void queueIntake(TransferQueue &queue, unsigned char memoryId, const Intake &intake) {
    if (!intake.files.isEmpty())
        queue.addDownloads(memoryId, intake.files);
    if (!intake.albumFiles.isEmpty())
        queue.addDownloadsInOrder(memoryId, intake.albumFiles);
}

QString scanningText(const QStringList &paths) {
    QStringList folders;
    for (const QString &p : paths) {
        if (QFileInfo(p).isDir())
            folders << QDir::toNativeSeparators(p);
    }
    return res::fmt(StrId::ScanningFolder, folders.join(QStringLiteral(", ")).toUtf8().constData());
}

QString intakeStatusText(const Intake &intake) {
    const int hidden = int(std::min<qsizetype>(intake.hidden, INT_MAX));
    const int notAudio = int(std::min<qsizetype>(intake.notAudio, INT_MAX));
    if (hidden > 0 && notAudio > 0)
        return res::fmt(StrId::SkippedHiddenAndNotAudio, hidden, notAudio);
    if (hidden > 0)
        return res::fmt(StrId::SkippedHidden, hidden);
    if (notAudio > 0)
        return res::fmt(StrId::SkippedNotAudio, notAudio);
    return str(StrId::Ready);
}

void reportIntake(UiServices &ui, QWidget *parent, const Intake &intake) {
    if (!intake.unreadable.isEmpty())
        ui.message(parent,
                   res::fmt(StrId::FolderUnreadable,
                            intake.unreadable.join(QLatin1Char('\n')).toUtf8().constData()),
                   MessageIcon::Warning);
    if (!intake.noMusic.isEmpty())
        ui.message(parent,
                   res::fmt(StrId::NoMusicInFolder,
                            intake.noMusic.join(QLatin1Char('\n')).toUtf8().constData()),
                   MessageIcon::Warning);
}

FolderIntake::~FolderIntake() {
    for (Job &job : m_jobs) {
        if (job.thread != nullptr) {
            job.thread->wait();
            delete job.thread;
        }
    }
}

void FolderIntake::start(const QStringList &paths, Done done) {
    Job job{std::move(done), std::make_shared<Intake>()};
    if (!anyFolder(paths)) {
        *job.result = takeIn(paths);
        job.ready = true;
        m_jobs.push_back(std::move(job));
        deliver();
        return;
    }
    job.thread = QThread::create([paths, result = job.result] { *result = takeIn(paths); });
    QThread *thread = job.thread;
    m_jobs.push_back(std::move(job));
    connect(thread, &QThread::finished, this, [this, thread] {
        for (Job &j : m_jobs) {
            if (j.thread == thread)
                j.ready = true;
        }
        deliver();
    });
    thread->start();
}

void FolderIntake::deliver() {
    // A notice shown by one result may run the event loop, which may deliver the next one: each
    // job leaves the list before its result is handed out.
    while (!m_jobs.empty() && m_jobs.front().ready) {
        Job job = std::move(m_jobs.front());
        m_jobs.pop_front();
        if (job.thread != nullptr) {
            job.thread->wait();
            delete job.thread;
        }
        job.done(*job.result);
    }
}

} // namespace tunara::device
