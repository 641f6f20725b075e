// The Sync dialog's controls: their layout, names for assistive technology, and what each
// one runs.
#include "syncdlg.h"

#include "res/stringtable.h"
#include "transferhost.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace tunara::transfer {

using res::str;
using res::StrId;

void CSyncDlg::buildControls() {
    auto *layout = new QVBoxLayout(this);

    auto *top = new QFormLayout;
    m_memory = new QComboBox(this);
    m_memory->setObjectName(QStringLiteral("syncMemory"));
    auto *memoryLabel = new QLabel(str(StrId::SyncMemory), this);
    memoryLabel->setBuddy(m_memory);
    m_memory->setAccessibleName(memoryLabel->text().remove(QLatin1Char('&')));
    top->addRow(memoryLabel, m_memory);
    layout->addLayout(top);

    auto *sources = new QGroupBox(str(StrId::SyncSources), this);
    auto *sourcesLayout = new QHBoxLayout(sources);
    m_sources = new QListWidget(sources);
    m_sources->setObjectName(QStringLiteral("syncSources"));
    m_sources->setAccessibleName(str(StrId::SyncSources));
    m_sources->setSelectionMode(QAbstractItemView::ExtendedSelection);
    sourcesLayout->addWidget(m_sources, 1);
    auto *sourceButtons = new QVBoxLayout;
    m_addFolder = new QPushButton(str(StrId::SyncAddFolder), sources);
    m_addFolder->setObjectName(QStringLiteral("syncAddFolder"));
    m_addPlaylist = new QPushButton(str(StrId::SyncAddPlaylist), sources);
    m_addPlaylist->setObjectName(QStringLiteral("syncAddPlaylist"));
    m_remove = new QPushButton(str(StrId::SyncRemove), sources);
    m_remove->setObjectName(QStringLiteral("syncRemove"));
    for (QPushButton *b : {m_addFolder, m_addPlaylist, m_remove}) {
        b->setAccessibleName(b->text().remove(QLatin1Char('&')));
        sourceButtons->addWidget(b);
    }
    sourceButtons->addStretch(1);
    sourcesLayout->addLayout(sourceButtons);
    layout->addWidget(sources);

    auto *mode = new QGridLayout;
    m_mirror = new QRadioButton(str(StrId::SyncMirror), this);
    m_mirror->setObjectName(QStringLiteral("syncMirror"));
    m_fill = new QRadioButton(str(StrId::SyncFill), this);
    m_fill->setObjectName(QStringLiteral("syncFill"));
    m_keepFree = new QSpinBox(this);
    m_keepFree->setObjectName(QStringLiteral("syncKeepFree"));
    m_keepFree->setRange(0, MostKeepFreeMb);
    auto *keepFreeLabel = new QLabel(str(StrId::SyncKeepFree), this);
    keepFreeLabel->setBuddy(m_keepFree);
    m_keepFree->setAccessibleName(keepFreeLabel->text().remove(QLatin1Char('&')));
    m_deleteExtras = new QCheckBox(str(StrId::SyncDeleteExtras), this);
    m_deleteExtras->setObjectName(QStringLiteral("syncDeleteExtras"));
    m_shortNames = new QCheckBox(str(StrId::SyncShortNames), this);
    m_shortNames->setObjectName(QStringLiteral("syncShortNames"));
    for (QAbstractButton *b :
         std::initializer_list<QAbstractButton *>{m_mirror, m_fill, m_deleteExtras, m_shortNames})
        b->setAccessibleName(b->text().remove(QLatin1Char('&')));
    mode->addWidget(m_mirror, 0, 0);
    mode->addWidget(m_fill, 0, 1);
    mode->addWidget(keepFreeLabel, 0, 2);
    mode->addWidget(m_keepFree, 0, 3);
    mode->addWidget(m_deleteExtras, 1, 0, 1, 2);
    mode->addWidget(m_shortNames, 1, 2, 1, 2);
    layout->addLayout(mode);

    auto *conversion = new QHBoxLayout;
    m_conversion = new QLabel(this);
    m_conversion->setObjectName(QStringLiteral("syncConversion"));
    m_conversionOptions = new QPushButton(str(StrId::SyncConversionOptions), this);
    m_conversionOptions->setObjectName(QStringLiteral("syncConversionOptions"));
    m_conversionOptions->setAccessibleName(m_conversionOptions->text().remove(QLatin1Char('&')));
    conversion->addWidget(m_conversion, 1);
    conversion->addWidget(m_conversionOptions);
    layout->addLayout(conversion);

    auto *previewRow = new QHBoxLayout;
    m_preview = new QPushButton(str(StrId::SyncPreview), this);
    m_preview->setObjectName(QStringLiteral("syncPreview"));
    m_preview->setAccessibleName(m_preview->text().remove(QLatin1Char('&')));
    m_progress = new QProgressBar(this);
    m_progress->setObjectName(QStringLiteral("syncProgress"));
    m_progress->setAccessibleName(str(StrId::SyncPlanning));
    m_progress->setRange(0, 0); // planning tells no fraction: the bar only shows it works
    m_progress->hide();
    previewRow->addWidget(m_preview);
    previewRow->addWidget(m_progress, 1);
    layout->addLayout(previewRow);

    const QStringList headers = {str(StrId::SyncColAction), str(StrId::SyncColName),
                                 str(StrId::SyncColSize)};
    m_planList = new QTreeWidget(this);
    m_planList->setObjectName(QStringLiteral("syncPlan"));
    m_planList->setAccessibleName(str(StrId::SyncPreview).remove(QLatin1Char('&')));
    m_planList->setRootIsDecorated(false);
    m_planList->setHeaderLabels(headers);
    layout->addWidget(m_planList, 2);

    auto *deletions = new QGroupBox(str(StrId::SyncDeletions), this);
    auto *deletionsLayout = new QVBoxLayout(deletions);
    m_deletions = new QTreeWidget(deletions);
    m_deletions->setObjectName(QStringLiteral("syncDeletions"));
    m_deletions->setAccessibleName(str(StrId::SyncDeletions));
    m_deletions->setRootIsDecorated(false);
    m_deletions->setHeaderLabels(headers);
    m_deleteTick = new QCheckBox(deletions);
    m_deleteTick->setObjectName(QStringLiteral("syncDeleteTick"));
    m_needsDeletions = new QLabel(str(StrId::SyncNeedsDeletions), deletions);
    m_needsDeletions->setObjectName(QStringLiteral("syncNeedsDeletions"));
    m_needsDeletions->setWordWrap(true);
    m_needsDeletions->hide();
    deletionsLayout->addWidget(m_deletions);
    deletionsLayout->addWidget(m_deleteTick);
    deletionsLayout->addWidget(m_needsDeletions);
    layout->addWidget(deletions, 1);

    auto *gauges = new QFormLayout;
    const auto gauge = [this, gauges](QProgressBar *&bar, const char *name, StrId label) {
        bar = new QProgressBar(this);
        bar->setObjectName(QLatin1String(name));
        bar->setTextVisible(true);
        bar->setAccessibleName(str(label));
        auto *text = new QLabel(str(label), this);
        text->setBuddy(bar);
        gauges->addRow(text, bar);
    };
    gauge(m_bytesBefore, "syncBytesBefore", StrId::SyncBytesBefore);
    gauge(m_bytesAfter, "syncBytesAfter", StrId::SyncBytesAfter);
    gauge(m_slotsBefore, "syncSlotsBefore", StrId::SyncSlotsBefore);
    gauge(m_slotsAfter, "syncSlotsAfter", StrId::SyncSlotsAfter);
    layout->addLayout(gauges);

    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("syncStatus"));
    m_status->setWordWrap(true);
    m_status->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(m_status);

    auto *buttons = new QHBoxLayout;
    m_sync = new QPushButton(str(StrId::SyncRun), this);
    m_sync->setObjectName(QStringLiteral("syncRun"));
    m_stop = new QPushButton(str(StrId::SyncStop), this);
    m_stop->setObjectName(QStringLiteral("syncStop"));
    m_close = new QPushButton(str(StrId::SyncClose), this);
    m_close->setObjectName(QStringLiteral("syncClose"));
    buttons->addStretch(1);
    for (QPushButton *b : {m_sync, m_stop, m_close}) {
        b->setAccessibleName(b->text().remove(QLatin1Char('&')));
        b->setAutoDefault(false);
        buttons->addWidget(b);
    }
    layout->addLayout(buttons);

    connect(m_memory, &QComboBox::currentIndexChanged, this, [this] {
        if (m_shownMemory != 0)
            storeChoice();
        loadChoice();
    });
    connect(m_addFolder, &QPushButton::clicked, this, &CSyncDlg::addFolder);
    connect(m_addPlaylist, &QPushButton::clicked, this, &CSyncDlg::addPlaylist);
    connect(m_remove, &QPushButton::clicked, this, &CSyncDlg::removeSources);
    connect(m_sources, &QListWidget::itemSelectionChanged, this, &CSyncDlg::updateButtons);
    for (QAbstractButton *b :
         std::initializer_list<QAbstractButton *>{m_mirror, m_fill, m_deleteExtras, m_shortNames})
        connect(b, &QAbstractButton::toggled, this, &CSyncDlg::choiceChanged);
    connect(m_keepFree, &QSpinBox::valueChanged, this, &CSyncDlg::choiceChanged);
    connect(m_conversionOptions, &QPushButton::clicked, this, [this] {
        m_host.openOptions();
        choiceChanged();
    });
    connect(m_preview, &QPushButton::clicked, this, &CSyncDlg::preview);
    connect(m_sync, &QPushButton::clicked, this, &CSyncDlg::sync);
    connect(m_stop, &QPushButton::clicked, this, &CSyncDlg::stop);
    connect(m_close, &QPushButton::clicked, this, &CSyncDlg::reject);
    connect(m_deleteTick, &QCheckBox::toggled, this, [this] {
        showGauges();
        updateButtons();
    });
    clearPlan();
}

} // namespace tunara::transfer
