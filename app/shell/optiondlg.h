// The Option dialog: the transfer window's behaviour, the conversion of audio the player cannot
// play, and the favorite folder.
#pragma once

#include "settings.h"

#include <QDialog>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;

namespace tunara::device {
class UiServices;
}

namespace tunara::shell {

class COptionDlg : public QDialog {
    Q_OBJECT
public:
    COptionDlg(const Options &values, device::UiServices &ui, QWidget *parent = nullptr);

    // The values as the dialog holds them (after OK: what the user chose).
    const Options &values() const { return m_values; }

    QCheckBox *popupBox() const { return m_popup; }
    QCheckBox *autoStartBox() const { return m_autoStart; }
    QCheckBox *autoCloseBox() const { return m_autoClose; }
    QLineEdit *folderEdit() const { return m_folder; }
    QPushButton *browseButton() const { return m_browse; }
    QCheckBox *convertBox() const { return m_convert; }
    QComboBox *bitrateCombo() const { return m_bitrate; }
    QCheckBox *vbrBox() const { return m_vbr; }
    QCheckBox *coverBox() const { return m_cover; }
    QComboBox *levelCombo() const { return m_level; }
    QCheckBox *levelTagsBox() const { return m_levelTags; }

    void accept() override;

private:
    void toControls();
    void fromControls();
    void enableSubOptions();
    void onPopupClicked();
    void onBrowse();

    Options m_values;
    device::UiServices &m_ui;
    QCheckBox *m_popup = nullptr;
    QCheckBox *m_autoStart = nullptr;
    QCheckBox *m_autoClose = nullptr;
    QLineEdit *m_folder = nullptr;
    QPushButton *m_browse = nullptr;
    QCheckBox *m_convert = nullptr;
    QComboBox *m_bitrate = nullptr;
    QCheckBox *m_vbr = nullptr;
    QCheckBox *m_cover = nullptr;
    QComboBox *m_level = nullptr;
    QCheckBox *m_levelTags = nullptr;
};

} // namespace tunara::shell
