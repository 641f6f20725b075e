#include "volumelabeldlg.h"

#include "device/uiservices.h"
#include "res/stringtable.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

namespace tunara::service {

using res::str;
using res::StrId;

namespace {

struct Memory {
    StrId caption;
    StrId missing;
    const char *name;
};
constexpr Memory Memories[CVolumeLabelDlg::MemoryCount] = {
    {StrId::InternalMemory, StrId::InsertInternalVolume, "internal"},
    {StrId::ExternalMemory1, StrId::InsertExternal1Volume, "external1"},
    {StrId::ExternalMemory2, StrId::InsertExternal2Volume, "external2"},
};

} // namespace

CVolumeLabelDlg::CVolumeLabelDlg(device::UiServices &ui, QWidget *parent)
    : QDialog(parent), m_ui(ui) {
    setObjectName(QStringLiteral("volumeLabelDlg"));
    setWindowTitle(str(StrId::VolumeLabelCaption));
    auto *grid = new QGridLayout(this);
    for (int i = 0; i < MemoryCount; ++i) {
        m_boxes[i] = new QCheckBox(str(Memories[i].caption), this);
        m_boxes[i]->setObjectName(QLatin1String(Memories[i].name));
        m_edits[i] = new QLineEdit(this);
        m_edits[i]->setObjectName(QLatin1String(Memories[i].name) + QLatin1String("Label"));
        m_edits[i]->setAccessibleName(m_boxes[i]->text());
        m_boxes[i]->setChecked(i == 0);
        m_edits[i]->setEnabled(i == 0);
        connect(m_boxes[i], &QCheckBox::toggled, m_edits[i], &QLineEdit::setEnabled);
        grid->addWidget(m_boxes[i], i, 0);
        grid->addWidget(m_edits[i], i, 1);
    }
    m_update = new QPushButton(str(StrId::UpdateLabel), this);
    m_update->setObjectName(QStringLiteral("update"));
    auto *close = new QPushButton(str(StrId::TimedClose), this);
    close->setObjectName(QStringLiteral("close"));
    auto *buttons = new QDialogButtonBox(this);
    buttons->addButton(m_update, QDialogButtonBox::ActionRole);
    buttons->addButton(close, QDialogButtonBox::RejectRole);
    grid->addWidget(buttons, MemoryCount, 0, 1, 2);
    grid->setColumnStretch(1, 1);
    connect(m_update, &QPushButton::clicked, this, &CVolumeLabelDlg::update);
    connect(close, &QPushButton::clicked, this, &QDialog::reject);
}

void CVolumeLabelDlg::showEvent(QShowEvent *event) {
    QDialog::showEvent(event);
    if (m_noticeShown)
        return;
    m_noticeShown = true;
    // The notice comes once the form is on screen, as the form's opening message.
    QTimer::singleShot(0, this, [this] {
        m_ui.message(this, str(StrId::VolumeLabelBlocked), device::MessageIcon::Information);
    });
}

void CVolumeLabelDlg::update() {
    for (int i = 0; i < MemoryCount; ++i) {
        if (!m_boxes[i]->isChecked())
            continue;
        const QString label = m_edits[i]->text();
        if (label.isEmpty()) {
            m_ui.message(this, str(Memories[i].missing), device::MessageIcon::Warning);
            m_edits[i]->setFocus();
            return;
        }
        m_ui.message(this, label, device::MessageIcon::Information);
    }
}

} // namespace tunara::service
