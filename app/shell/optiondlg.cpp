#include "optiondlg.h"

#include "device/uiservices.h"
#include "res/format.h"
#include "res/stringtable.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>

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

    auto *conversion = new QGroupBox(str(StrId::OptGroupConvert), this);
    m_convert = new QCheckBox(str(StrId::OptConvert), conversion);
    m_convert->setObjectName(QStringLiteral("convert"));
    m_bitrate = new QComboBox(conversion);
    m_bitrate->setObjectName(QStringLiteral("convertBitrate"));
    for (int kbps : ConvertBitrates)
        m_bitrate->addItem(res::fmt(StrId::OptBitrateItem, kbps), kbps);
    auto *bitrateLabel = new QLabel(str(StrId::OptConvertBitrate), conversion);
    bitrateLabel->setBuddy(m_bitrate);
    m_vbr = new QCheckBox(str(StrId::OptConvertVbr), conversion);
    m_vbr->setObjectName(QStringLiteral("convertVbr"));
    m_cover = new QCheckBox(str(StrId::OptConvertCover), conversion);
    m_cover->setObjectName(QStringLiteral("convertCover"));
    m_level = new QComboBox(conversion);
    m_level->setObjectName(QStringLiteral("convertLevel"));
    m_level->addItem(str(StrId::OptLevelOff), LevelOff);
    m_level->addItem(str(StrId::OptLevelTrack), LevelTrack);
    m_level->addItem(str(StrId::OptLevelAlbum), LevelAlbum);
    m_levelTags = new QCheckBox(str(StrId::OptLevelTags), conversion);
    m_levelTags->setObjectName(QStringLiteral("convertLevelTags"));
    auto *levelLabel = new QLabel(str(StrId::OptConvertLevel), conversion);
    levelLabel->setBuddy(m_level);
    auto *levelRow = new QHBoxLayout;
    levelRow->addWidget(levelLabel);
    levelRow->addWidget(m_level);
    levelRow->addStretch(1);
    auto *bitrateRow = new QHBoxLayout;
    bitrateRow->addWidget(bitrateLabel);
    bitrateRow->addWidget(m_bitrate);
    bitrateRow->addStretch(1);
    auto *hint = new QLabel(str(StrId::OptConvertHint), conversion);
    hint->setWordWrap(true);
    auto *conversionLayout = new QVBoxLayout(conversion);
    conversionLayout->addWidget(m_convert);
    conversionLayout->addLayout(bitrateRow);
    conversionLayout->addWidget(m_vbr);
    conversionLayout->addWidget(m_cover);
    // Levelling applies to MP3s sent as they are too: it stays offered without conversion.
    conversionLayout->addLayout(levelRow);
    conversionLayout->addWidget(m_levelTags);
    conversionLayout->addWidget(hint);

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
    layout->addWidget(conversion);
    layout->addWidget(fav);
    layout->addWidget(buttons);

    connect(m_popup, &QCheckBox::clicked, this, &COptionDlg::onPopupClicked);
    connect(m_browse, &QPushButton::clicked, this, &COptionDlg::onBrowse);
    connect(m_convert, &QCheckBox::toggled, this, &COptionDlg::enableSubOptions);
    connect(m_level, &QComboBox::currentIndexChanged, this, &COptionDlg::enableSubOptions);
    toControls();
}

void COptionDlg::toControls() {
    m_popup->setChecked(m_values.showXferDlg != 0);
    m_autoStart->setChecked(m_values.autoStartXfer != 0);
    m_autoClose->setChecked(m_values.hideXferDlg != 0);
    m_folder->setText(m_values.favoriteFolder);
    m_convert->setChecked(m_values.convert != 0);
    m_bitrate->setCurrentIndex(m_bitrate->findData(offeredBitrate(m_values.convertBitrate)));
    m_vbr->setChecked(m_values.convertVbr != 0);
    m_cover->setChecked(m_values.convertCover != 0);
    m_level->setCurrentIndex(std::max(0, m_level->findData(m_values.convertLevel)));
    m_levelTags->setChecked(m_values.convertLevelTags != 0);
    enableSubOptions();
}

void COptionDlg::fromControls() {
    m_values.showXferDlg = m_popup->isChecked() ? 1 : 0;
    m_values.autoStartXfer = m_autoStart->isChecked() ? 1 : 0;
    m_values.hideXferDlg = m_autoClose->isChecked() ? 1 : 0;
    m_values.favoriteFolder = m_folder->text();
    m_values.convert = m_convert->isChecked() ? 1 : 0;
    m_values.convertBitrate = m_bitrate->currentData().toInt();
    m_values.convertVbr = m_vbr->isChecked() ? 1 : 0;
    m_values.convertCover = m_cover->isChecked() ? 1 : 0;
    m_values.convertLevel = m_level->currentData().toInt();
    m_values.convertLevelTags = m_levelTags->isChecked() ? 1 : 0;
    enableSubOptions();
}

void COptionDlg::enableSubOptions() {
    m_autoStart->setEnabled(m_popup->isChecked());
    m_autoClose->setEnabled(m_popup->isChecked());
    // How to convert matters only while converting.
    m_bitrate->setEnabled(m_convert->isChecked());
    m_vbr->setEnabled(m_convert->isChecked());
    // The tags' gains matter only while levelling.
    m_levelTags->setEnabled(m_level->currentData().toInt() != LevelOff);
    m_cover->setEnabled(m_convert->isChecked());
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
