// "Program & Font Update" (dialog 154): sends an image file into one of the player's system
// slots, or firmware to the player, and follows the transfer. The path last used for each
// action is kept in section "FontDown" of the settings, keyed by the action's text.
#pragma once

#include "servicecontext.h"

#include <QDialog>

class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

namespace tunara::service {

class XferNotifier;

class CFontDownloadDlg : public QDialog {
    Q_OBJECT
public:
    // Control numbers of the dialog.
    static constexpr int IdAction = 1150;
    static constexpr int IdPath = 1071;
    static constexpr int IdBrowse = 1050;
    static constexpr int IdDownload = 1078;
    static constexpr int IdClose = 2;
    static constexpr int IdProgress = 1134;
    static constexpr int IdStatus = 1132;
    static constexpr int IdPercent = 1137;

    // The step between progress notifications, in bytes.
    static constexpr uint32_t Step = 1000;
    static constexpr int FirmwareKind = -1; // sent as 0xFF: a firmware upgrade

    struct Action {
        const char *text; // shown, and the settings key of its path
        int kind;
    };
    static const Action Actions[13];

    CFontDownloadDlg(const ServiceContext &context, QWidget *parent = nullptr);
    ~CFontDownloadDlg() override;

    // A transfer runs on the library's worker: the dialog cannot be closed.
    bool sending() const { return m_sending; }

    QComboBox *actionBox() const { return m_action; }
    QLineEdit *pathEdit() const { return m_path; }
    QPushButton *downloadButton() const { return m_download; }
    QPushButton *closeButton() const { return m_close; }
    QString statusText() const;
    QString percentText() const;
    int progressValue() const;

    // The settings path of an action's remembered file.
    static QString settingsKey(const QString &actionText);

public slots:
    void reject() override;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void actionChosen(int index);
    void browse();
    void download();
    void onNotify(unsigned code, qint64 value);
    void setIdle(bool idle);
    QString defaultPath() const;

    ServiceContext m_context;
    XferNotifier *m_notifier = nullptr;
    QComboBox *m_action = nullptr;
    QLineEdit *m_path = nullptr;
    QPushButton *m_browse = nullptr;
    QPushButton *m_download = nullptr;
    QPushButton *m_close = nullptr;
    QProgressBar *m_progress = nullptr;
    QLabel *m_status = nullptr;
    QLabel *m_percent = nullptr;
    qint64 m_size = 0;
    bool m_sending = false;
};

} // namespace tunara::service
