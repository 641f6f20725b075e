#include "uiservices.h"

#include "res/stringtable.h"
#include "timedmessagebox.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QFontDialog>
#include <QMessageBox>
#include <QProcess>

namespace tunara::device {

void DesktopUiServices::timedMessage(QWidget *parent, const QString &text, unsigned timeoutMs) {
    CTimedMessageBox box(text, parent);
    box.runTimed(timeoutMs);
}

void DesktopUiServices::message(QWidget *parent, const QString &text, MessageIcon icon) {
    QMessageBox box(parent);
    box.setWindowTitle(res::str(res::StrId::AppTitle));
    box.setText(text);
    switch (icon) {
    case MessageIcon::Information:
        box.setIcon(QMessageBox::Information);
        break;
    case MessageIcon::Warning:
        box.setIcon(QMessageBox::Warning);
        break;
    case MessageIcon::Stop:
        box.setIcon(QMessageBox::Critical);
        break;
    case MessageIcon::Question:
        box.setIcon(QMessageBox::Question);
        break;
    case MessageIcon::None:
        break;
    }
    box.exec();
}

bool DesktopUiServices::askYesNo(QWidget *parent, const QString &text) {
    return QMessageBox::question(parent, res::str(res::StrId::AppTitle), text,
                                 QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

bool DesktopUiServices::askOkCancel(QWidget *parent, const QString &text, MessageIcon icon) {
    QMessageBox box(parent);
    box.setWindowTitle(res::str(res::StrId::AppTitle));
    box.setText(text);
    box.setIcon(icon == MessageIcon::Stop          ? QMessageBox::Critical
                : icon == MessageIcon::Warning     ? QMessageBox::Warning
                : icon == MessageIcon::Question    ? QMessageBox::Question
                : icon == MessageIcon::Information ? QMessageBox::Information
                                                   : QMessageBox::NoIcon);
    box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
    return box.exec() == QMessageBox::Ok;
}

QStringList DesktopUiServices::openFiles(QWidget *parent, const QString &title,
                                         const QString &folder, const QString &filter) {
    return QFileDialog::getOpenFileNames(parent, title, folder, filter);
}

QString DesktopUiServices::openFile(QWidget *parent, const QString &title, const QString &start,
                                    const QString &filter) {
    return QFileDialog::getOpenFileName(parent, title, start, filter);
}

QString DesktopUiServices::saveFile(QWidget *parent, const QString &title,
                                    const QString &initialPath, const QString &filter) {
    return QFileDialog::getSaveFileName(parent, title, initialPath, filter);
}

QString DesktopUiServices::chooseFolder(QWidget *parent, const QString &title,
                                        const QString &start) {
    return QFileDialog::getExistingDirectory(parent, title, start);
}

std::optional<QFont> DesktopUiServices::chooseFont(QWidget *parent, const QFont &initial) {
    bool ok = false;
    const QFont font =
        QFontDialog::getFont(&ok, initial, parent, QString(),
                             QFontDialog::ScalableFonts | QFontDialog::NonScalableFonts);
    if (!ok)
        return std::nullopt;
    return font;
}

bool DesktopUiServices::openUrl(const QUrl &url) {
    return QDesktopServices::openUrl(url);
}

bool DesktopUiServices::startDetached(const QString &program, const QStringList &arguments) {
    return QProcess::startDetached(program, arguments);
}

} // namespace tunara::device
