// The Rename dialog: asks for the new long name of one player file, placed right under the
// file's row (or above it near the bottom of the screen). It refuses names of more than 80
// bytes and keeps the file's extension; sending the rename is the caller's business.
#pragma once

#include <QDialog>
#include <QRect>

class QCheckBox;
class QLineEdit;
class QPushButton;

namespace tunara::device {

class UiServices;

class CRenameDlg : public QDialog {
    Q_OBJECT
public:
    static constexpr int DialogId = 225;
    // Control numbers of the dialog.
    static constexpr int IdcLongName = 1099;
    static constexpr int IdcShortFlag = 1152;
    static constexpr int IdcShortName = 1120;
    // A player keeps long names of at most this many bytes (UTF-8).
    static constexpr int MaxNameBytes = 80;

    CRenameDlg(UiServices &ui, QWidget *parent = nullptr);

    // In: the current name; out after OK: the accepted new name.
    void setLongName(const QString &name);
    QString longName() const { return m_longName; }
    // Screen rectangle of the row's label; an empty (all zero) rectangle places nothing.
    void setPlacement(const QRect &screenRect) { m_placement = screenRect; }

    // Where the dialog's top-left corner goes for a label rectangle, a dialog of `height`
    // pixels and the geometry of the screen that shows the row.
    static QPoint placeFor(const QRect &label, int height, const QRect &screen);

    // The name a typed name becomes: the old extension is kept when the typed one differs
    // (letter case aside); `changed` tells whether it had to be put back.
    static QString keepExtension(const QString &oldName, const QString &typed, bool *changed);

    void accept() override;

protected:
    void showEvent(QShowEvent *event) override;

private:
    UiServices &m_ui;
    QLineEdit *m_name = nullptr;
    QCheckBox *m_shortFlag = nullptr;
    QLineEdit *m_shortName = nullptr;
    QPushButton *m_ok = nullptr;
    QString m_longName;
    QRect m_placement;
    bool m_placed = false;
};

} // namespace tunara::device
