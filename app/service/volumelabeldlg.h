// "Edit Volume Label" (dialog 162): a form for the volume labels of the three memories. The
// function is blocked on the player's side: the form checks and shows what was typed and sends
// nothing to the player.
#pragma once

#include <QDialog>

class QCheckBox;
class QLineEdit;
class QPushButton;

namespace tunara::device {
class UiServices;
}

namespace tunara::service {

class CVolumeLabelDlg : public QDialog {
    Q_OBJECT
public:
    static constexpr int IdInternal = 1121;
    static constexpr int IdExternal1 = 1122;
    static constexpr int IdExternal2 = 1124;
    static constexpr int IdInternalLabel = 1101;
    static constexpr int IdExternal1Label = 1103;
    static constexpr int IdExternal2Label = 1105;
    static constexpr int IdUpdate = 1049;
    static constexpr int MemoryCount = 3;

    explicit CVolumeLabelDlg(device::UiServices &ui, QWidget *parent = nullptr);

    QCheckBox *memoryBox(int i) const { return m_boxes[i]; }
    QLineEdit *labelEdit(int i) const { return m_edits[i]; }
    QPushButton *updateButton() const { return m_update; }

    // Update (1049): checks each ticked memory in order.
    void update();

protected:
    void showEvent(QShowEvent *event) override;

private:
    device::UiServices &m_ui;
    QCheckBox *m_boxes[MemoryCount] = {};
    QLineEdit *m_edits[MemoryCount] = {};
    QPushButton *m_update = nullptr;
    bool m_noticeShown = false;
};

} // namespace tunara::service
