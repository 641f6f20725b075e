#include "optiondlg.h"

#include "device/uiservices.h"
#include "res/stringtable.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace tunara::shell {

using res::str;
using res::StrId;

COptionDlg::COptionDlg(const Options &values, device::UiServices &ui, QWidget *parent)
    : QDialog(parent), m_values(values), m_ui(ui) {
    setObjectName(QStringLiteral("optionDialog"));
    setWindowTitle(str(StrId::OptionCaption));

    auto *xfer = new QGroupBox(str(StrId::OptGroupXfer), this);
    m_popup = new QCheckBox(str(StrId::OptPopupXfer), xfer);
    m_popup->setObjectName(QStringLiteral("popupXfer"));
    m_autoStart = new QCheckBox(str(StrId::OptAutoStart), xfer);
    m_autoStart->setObjectName(QStringLiteral("autoStart"));
    m_autoClose = new QCheckBox(str(StrId::OptAutoClose), xfer);
    m_autoClose->setObjectName(QStringLiteral("autoClose"));
    auto *xferLayout = new QVBoxLayout(xfer);
    xferLayout->addWidget(m_popup);
    xferLayout->addWidget(m_autoStart);
    xferLayout->addWidget(m_autoClose);

    auto *fav = new QGroupBox(str(StrId::OptGroupFavorite), this);
    m_folder = new QLineEdit(fav);
    m_folder->setObjectName(QStringLiteral("favoriteFolder"));
    m_browse = new QPushButton(str(StrId::Browse), fav);
    m_browse->setObjectName(QStringLiteral("browse"));
    auto *row = new QHBoxLayout;
    row->addWidget(m_folder, 1);
    row->addWidget(m_browse);
    auto *favLayout = new QVBoxLayout(fav);
    favLayout->addWidget(new QLabel(str(StrId::OptHint1), fav));
    favLayout->addLayout(row);
    favLayout->addWidget(new QLabel(str(StrId::OptHint2), fav));

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &COptionDlg::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &COptionDlg::reject);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(xfer);
    layout->addWidget(fav);
    layout->addWidget(buttons);

    connect(m_popup, &QCheckBox::clicked, this, &COptionDlg::onPopupClicked);
    connect(m_browse, &QPushButton::clicked, this, &COptionDlg::onBrowse);
    toControls();
}

void COptionDlg::toControls() {
    m_popup->setChecked(m_values.showXferDlg != 0);
    m_autoStart->setChecked(m_values.autoStartXfer != 0);
    m_autoClose->setChecked(m_values.hideXferDlg != 0);
    m_folder->setText(m_values.favoriteFolder);
    enableSubOptions();
}

void COptionDlg::fromControls() {
    m_values.showXferDlg = m_popup->isChecked() ? 1 : 0;
    m_values.autoStartXfer = m_autoStart->isChecked() ? 1 : 0;
    m_values.hideXferDlg = m_autoClose->isChecked() ? 1 : 0;
    m_values.favoriteFolder = m_folder->text();
    enableSubOptions();
}

void COptionDlg::enableSubOptions() {
    m_autoStart->setEnabled(m_popup->isChecked());
    m_autoClose->setEnabled(m_popup->isChecked());
}

void COptionDlg::onPopupClicked() {
    fromControls();
    // A queue that is not shown always starts by itself.
    if (m_values.showXferDlg == 0) {
        m_values.autoStartXfer = 1;
        toControls();
    }
}

void COptionDlg::onBrowse() {
    const QString folder =
        m_ui.chooseFolder(this, str(StrId::SelectFavoriteFolder), m_folder->text());
    if (!folder.isEmpty())
        m_folder->setText(folder);
}

void COptionDlg::accept() {
    fromControls();
    QDialog::accept();
}

} // namespace tunara::shell
