// The player's picture, version and date.
#pragma once

#include <QDialog>

class QLabel;
class QPlainTextEdit;

namespace tunara::shell {

class CDeviceInfoDlg : public QDialog {
    Q_OBJECT
public:
    CDeviceInfoDlg(int modelCode, const QString &version, const QString &date,
                   QWidget *parent = nullptr);

    static QString infoText(const QString &version, const QString &date);
    // Artwork name of a model's picture; an unknown model shows the QN520's.
    static QString pictureName(int modelCode);

    QLabel *picture() const { return m_picture; }
    QPlainTextEdit *textBox() const { return m_text; }

private:
    QLabel *m_picture = nullptr;
    QPlainTextEdit *m_text = nullptr;
};

} // namespace tunara::shell
