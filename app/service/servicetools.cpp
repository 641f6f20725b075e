#include "servicetools.h"

#include "device/playerlink.h"
#include "device/transferqueue.h"
#include "fontdownloaddlg.h"
#include "sysparamdlg.h"
#include "volumelabeldlg.h"

#include <KestoUSB.h>

#include <QDir>
#include <QFile>

namespace tunara::service {

device::PlayerLink &ServiceContext::playerLink() {
    if (link != nullptr)
        return *link;
    if (!ownLink)
        ownLink = std::make_shared<device::PlayerLink>();
    return *ownLink;
}

void runServiceDialog(const ServiceContext &context, QWidget *parent) {
    CSysParamDlg dlg(context, parent);
    dlg.exec();
}

void runFontDownload(const ServiceContext &context, QWidget *parent) {
    CFontDownloadDlg dlg(context, parent);
    dlg.exec();
}

void runVolumeLabel(const ServiceContext &context, QWidget *parent) {
    CVolumeLabelDlg dlg(context.ui, parent);
    dlg.exec();
}

QStringList readTestList(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    // Whole lines, ended by LF, CR LF or a lone CR: a path longer than a fixed buffer stays one
    // path instead of being split into pieces that would each be queued.
    QStringList paths;
    const QByteArray all = file.readAll();
    for (const QByteArray &line : all.split('\n')) {
        for (const QByteArray &piece : line.split('\r'))
            if (!piece.isEmpty())
                paths << QString::fromUtf8(piece);
    }
    return paths;
}

bool runHelpTestPath(const ServiceContext &context, const QString &programDir,
                     device::TransferQueue *queue, QWidget *parent) {
    const QString list = QDir(programDir).filePath(QLatin1String(TestListName));
    if (!QFile::exists(list))
        return false;
    // Like the service dialog, the update dialog stays closed while a transfer talks to the
    // player; the listed files join the queue all the same.
    if (!context.busyElsewhere())
        runFontDownload(context, parent);
    const QStringList paths = readTestList(list);
    if (queue != nullptr && !paths.isEmpty())
        queue->addDownloads(KSUSB_MEM_FLASH, paths);
    return true;
}

} // namespace tunara::service
