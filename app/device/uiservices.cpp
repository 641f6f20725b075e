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
