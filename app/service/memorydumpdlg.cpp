#include "memorydumpdlg.h"

#include "device/playerlink.h"
#include "device/uiservices.h"
#include "dump/dump_listing.h"
#include "res/format.h"

#include <KestoUSB.h>

#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QUrl>

#include <algorithm>
#include <fstream>

namespace tunara::service {

using res::fmt;
using res::str;
using res::StrId;

namespace {

constexpr int PercentMax = 100;
constexpr uint64_t AddressLimit = 0xFFFFFFFFu;
constexpr double MaxFontScale = 2.0;

namespace key {
constexpr const char *Memory = "Debug/RW Memory";
constexpr const char *Start = "Debug/RW Addr0";
constexpr const char *End = "Debug/RW Addr1";
constexpr const char *Single = "Debug/RW Single";
constexpr const char *Spare = "Debug/RW Spare";
constexpr const char *Dump = "Debug/RW Dump";
constexpr const char *DumpFile = "Debug/RW Dump File";
constexpr const char *Text = "Debug/RW Text";
constexpr const char *TextFile = "Debug/RW Text File";
constexpr const char *SectorSize = "Debug/RW Sector Size";
constexpr const char *ClusterSize = "Debug/RW Cluster Size";
} // namespace key

QString addressText(uint32_t address) {
    return QString::asprintf("0x%08X", address);
}

uint32_t parseAddress(const QString &text) {
    return dumplisting::parseAddress(text.toLatin1().toStdString());
}

// A size the user typed; anything that is no number counts as 0 (refused before reading).
uint32_t parseSize(const QString &text) {
    bool ok = false;
    const uint value = text.trimmed().toUInt(&ok);
    return ok ? value : 0;
}

uint32_t readUInt(const QSettings &s, const char *name, uint32_t fallback) {
    bool ok = false;
    const uint value = s.value(QLatin1String(name)).toUInt(&ok);
    return ok ? value : fallback;
}

bool readBool(const QSettings &s, const char *name, bool fallback) {
    bool ok = false;
    const int value = s.value(QLatin1String(name)).toInt(&ok);
    return ok ? value != 0 : fallback;
}

QLabel *buddyLabel(const QString &text, QWidget *buddy, QWidget *parent) {
    auto *label = new QLabel(text, parent);
    label->setBuddy(buddy);
    return label;
}

} // namespace

CMemoryDumpDlg::Values CMemoryDumpDlg::loadValues(const QSettings &s, const QString &documents) {
    // The described defaults "C:\Dump.bin" and "C:\Dump.txt" live in the documents folder.
    Values v;
    v.memory = int(readUInt(s, key::Memory, 0));
    v.start = readUInt(s, key::Start, 0);
    v.end = readUInt(s, key::End, 1);
    v.single = readBool(s, key::Single, true);
    v.spare = readBool(s, key::Spare, true);
    v.dump = readBool(s, key::Dump, false);
    v.dumpFile =
        s.value(QLatin1String(key::DumpFile), QDir(documents).filePath(QStringLiteral("Dump.bin")))
            .toString();
    v.text = readBool(s, key::Text, true);
    v.textFile =
        s.value(QLatin1String(key::TextFile), QDir(documents).filePath(QStringLiteral("Dump.txt")))
            .toString();
    v.sectorSize = readUInt(s, key::SectorSize, dumplisting::kDefaultSectorSize);
    v.clusterSize = readUInt(s, key::ClusterSize, dumplisting::kDefaultClusterSize);
    return v;
}

void CMemoryDumpDlg::storeValues(QSettings &s, const Values &v) {
    s.setValue(QLatin1String(key::Memory), v.memory);
    s.setValue(QLatin1String(key::Start), v.start);
    s.setValue(QLatin1String(key::End), v.end);
    s.setValue(QLatin1String(key::Single), int(v.single));
    s.setValue(QLatin1String(key::Spare), int(v.spare));
    s.setValue(QLatin1String(key::Dump), int(v.dump));
    s.setValue(QLatin1String(key::DumpFile), v.dumpFile);
    s.setValue(QLatin1String(key::Text), int(v.text));
    s.setValue(QLatin1String(key::TextFile), v.textFile);
    s.setValue(QLatin1String(key::SectorSize), v.sectorSize);
    s.setValue(QLatin1String(key::ClusterSize), v.clusterSize);
    s.sync();
}

CMemoryDumpDlg::CMemoryDumpDlg(const ServiceContext &context, QWidget *parent)
    : QDialog(parent), m_context(context) {
    setObjectName(QStringLiteral("memoryDumpDlg"));
    setWindowTitle(str(StrId::DumpCaption));
    setWindowState(windowState() | Qt::WindowMaximized);

    m_flash = new QRadioButton(str(StrId::Flash), this);
    m_flash->setObjectName(QStringLiteral("flash"));
    m_smart = new QRadioButton(str(StrId::DumpSmart), this);
    m_smart->setObjectName(QStringLiteral("smart"));
    m_start = new QLineEdit(this);
    m_start->setObjectName(QStringLiteral("start"));
    m_end = new QLineEdit(this);
    m_end->setObjectName(QStringLiteral("end"));
    m_single = new QCheckBox(str(StrId::DumpSingle), this);
    m_single->setObjectName(QStringLiteral("single"));
    m_spare = new QCheckBox(str(StrId::DumpSpare), this);
    m_spare->setObjectName(QStringLiteral("spare"));
    m_dump = new QCheckBox(str(StrId::DumpToFile), this);
    m_dump->setObjectName(QStringLiteral("dump"));
    m_dumpFile = new QLineEdit(this);
    m_dumpFile->setObjectName(QStringLiteral("dumpFile"));
    m_dumpFile->setAccessibleName(str(StrId::DumpToFile));
    m_dumpBrowse = new QPushButton(str(StrId::Browse), this);
    m_dumpBrowse->setObjectName(QStringLiteral("dumpBrowse"));
    m_text = new QCheckBox(str(StrId::DumpAsText), this);
    m_text->setObjectName(QStringLiteral("text"));
    m_textFile = new QLineEdit(this);
    m_textFile->setObjectName(QStringLiteral("textFile"));
    m_textFile->setAccessibleName(str(StrId::DumpAsText));
    m_textBrowse = new QPushButton(str(StrId::Browse), this);
    m_textBrowse->setObjectName(QStringLiteral("textBrowse"));
    m_sector = new QLineEdit(this);
    m_sector->setObjectName(QStringLiteral("sectorSize"));
    m_cluster = new QLineEdit(this);
    m_cluster->setObjectName(QStringLiteral("clusterSize"));
    m_progress = new QProgressBar(this);
    m_progress->setObjectName(QStringLiteral("progress"));
    m_progress->setRange(0, PercentMax);
    m_progress->setAccessibleName(str(StrId::ReadBlock));
    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("status"));
    m_read = new QPushButton(str(StrId::ReadBlock), this);
    m_read->setObjectName(QStringLiteral("readBlock"));
    m_stop = new QPushButton(str(StrId::StopTest), this);
    m_stop->setObjectName(QStringLiteral("stop"));
    m_stop->setEnabled(false);
    m_close = new QPushButton(str(StrId::TimedClose), this);
    m_close->setObjectName(QStringLiteral("close"));

    // Two edits share a label: each carries the label's text as its accessible name.
    const QString addressLabel = str(StrId::DumpAddress);
    m_end->setAccessibleName(addressLabel);
    const QString sizesLabel = str(StrId::DumpSizes);
    m_cluster->setAccessibleName(sizesLabel);

    auto *grid = new QGridLayout(this);
    auto *memories = new QHBoxLayout;
    memories->addWidget(m_flash);
    memories->addWidget(m_smart);
    memories->addStretch(1);
    grid->addLayout(memories, 0, 0, 1, 4);
    grid->addWidget(buddyLabel(addressLabel, m_start, this), 1, 0);
    grid->addWidget(m_start, 1, 1);
    grid->addWidget(m_end, 1, 2);
    grid->addWidget(m_single, 2, 1, 1, 2);
    grid->addWidget(m_spare, 3, 1, 1, 2);
    grid->addWidget(m_dump, 4, 0);
    grid->addWidget(m_dumpFile, 4, 1, 1, 2);
    grid->addWidget(m_dumpBrowse, 4, 3);
    grid->addWidget(m_text, 5, 0);
    grid->addWidget(m_textFile, 5, 1, 1, 2);
    grid->addWidget(m_textBrowse, 5, 3);
    grid->addWidget(buddyLabel(sizesLabel, m_sector, this), 6, 0);
    grid->addWidget(m_sector, 6, 1);
    grid->addWidget(m_cluster, 6, 2);
    grid->addWidget(m_progress, 7, 0, 1, 4);
    grid->addWidget(m_status, 8, 0, 1, 4);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(m_read);
    buttons->addWidget(m_stop);
    buttons->addWidget(m_close);
    grid->addLayout(buttons, 9, 0, 1, 4);
    grid->setColumnStretch(1, 1);
    grid->setColumnStretch(2, 1);
    grid->setRowStretch(10, 1);

    m_values = loadValues(m_context.settings, m_context.documentsFolder);
    showValues();
    m_baseFont = font();
    m_baseHeight = sizeHint().height();

    for (QCheckBox *box : {m_single, m_text, m_dump})
        connect(box, &QCheckBox::clicked, this, &CMemoryDumpDlg::saveData);
    connect(m_dumpBrowse, &QPushButton::clicked, this, [this] { browse(m_dumpFile); });
    connect(m_textBrowse, &QPushButton::clicked, this, [this] { browse(m_textFile); });
    connect(m_read, &QPushButton::clicked, this, &CMemoryDumpDlg::readBlock);
    connect(m_stop, &QPushButton::clicked, this, [this] { m_cancel = true; });
    connect(m_close, &QPushButton::clicked, this, &CMemoryDumpDlg::reject);
}

CMemoryDumpDlg::~CMemoryDumpDlg() = default;

QString CMemoryDumpDlg::statusText() const {
    return m_status->text();
}

int CMemoryDumpDlg::progressValue() const {
    return m_progress->value();
}

void CMemoryDumpDlg::showValues() {
    const Values &v = m_values;
    (v.memory == 0 ? m_flash : m_smart)->setChecked(true);
    m_start->setText(addressText(v.start));
    m_end->setText(addressText(v.end));
    m_single->setChecked(v.single);
    m_spare->setChecked(v.spare);
    m_dump->setChecked(v.dump);
    m_dumpFile->setText(v.dumpFile);
    m_text->setChecked(v.text);
    m_textFile->setText(v.textFile);
    m_sector->setText(QString::number(v.sectorSize));
    m_cluster->setText(QString::number(v.clusterSize));
    updateEnabled();
}

void CMemoryDumpDlg::updateEnabled() {
    const bool idle = !m_reading;
    for (QWidget *w :
         std::initializer_list<QWidget *>{m_flash, m_smart, m_start, m_single, m_spare, m_dump,
                                          m_text, m_sector, m_cluster, m_read, m_close})
        w->setEnabled(idle);
    m_end->setEnabled(idle && !m_single->isChecked());
    m_dumpFile->setEnabled(idle && m_dump->isChecked());
    m_dumpBrowse->setEnabled(idle && m_dump->isChecked());
    m_textFile->setEnabled(idle && m_text->isChecked());
    m_textBrowse->setEnabled(idle && m_text->isChecked());
    m_stop->setEnabled(m_reading);
}

void CMemoryDumpDlg::saveData() {
    Values &v = m_values;
    v.memory = m_flash->isChecked() ? 0 : 1;
    v.start = parseAddress(m_start->text());
    v.end = parseAddress(m_end->text());
    v.single = m_single->isChecked();
    v.spare = m_spare->isChecked();
    v.dump = m_dump->isChecked();
    v.dumpFile = m_dumpFile->text();
    v.text = m_text->isChecked();
    v.textFile = m_textFile->text();
    v.sectorSize = parseSize(m_sector->text());
    v.clusterSize = parseSize(m_cluster->text());
    storeValues(m_context.settings, v);
    m_start->setText(addressText(v.start));
    m_end->setText(addressText(v.end));
    updateEnabled();
}

void CMemoryDumpDlg::browse(QLineEdit *edit) {
    const QString chosen = m_context.ui.saveFile(this, windowTitle(), edit->text(), QString());
    if (!chosen.isEmpty())
        edit->setText(chosen);
}

void CMemoryDumpDlg::setReading(bool reading) {
    if (m_reading != reading)
        m_context.setServiceRunning(reading);
    m_reading = reading;
    updateEnabled();
}

void CMemoryDumpDlg::readBlock() {
    if (m_reading)
        return;
    if (m_context.busyElsewhere()) {
        m_context.ui.message(this, str(StrId::PlayerBusy), device::MessageIcon::Warning);
        return;
    }
    m_outcome = Outcome{};
    saveData();
    const Values v = m_values;

    // A single block is one chunk whatever the end says; the end is exclusive and the last
    // address is 0xFFFFFFFF, so a chunk at the very top still reads.
    uint64_t end = v.single ? uint64_t(v.start) + dumplisting::kChunk : v.end;
    end = std::min(end, AddressLimit);
    if (v.sectorSize == 0 || v.clusterSize == 0 || end <= v.start) {
        m_context.ui.message(this, str(StrId::DumpBadRange), device::MessageIcon::Warning);
        return;
    }

    const auto cannotCreate = [this](const QString &path) {
        m_context.ui.message(this, str(StrId::CantOpenFile) + QStringLiteral("\n\nFILE: ") + path,
                             device::MessageIcon::Stop);
    };
    std::ofstream binary, text;
    if (v.dump) {
        binary.open(QFile::encodeName(v.dumpFile).toStdString(),
                    std::ios::binary | std::ios::trunc);
        if (!binary) {
            cannotCreate(v.dumpFile);
            return;
        }
    }
    // The listing carries its own "\r\n" line ends: written untranslated.
    if (v.text) {
        text.open(QFile::encodeName(v.textFile).toStdString(), std::ios::binary | std::ios::trunc);
        if (!text) {
            cannotCreate(v.textFile);
            return;
        }
    }

    dumplisting::DumpRequest request;
    request.start = v.start;
    request.end = uint32_t(end);
    request.spare = v.spare;
    request.sectorSize = v.sectorSize;
    request.clusterSize = v.clusterSize;
    const unsigned char memory = v.memory == 0 ? KSUSB_MEM_FLASH : KSUSB_MEM_CARD;

    m_cancel = false;
    m_outcome.ran = true;
    setReading(true);
    const auto result = dumplisting::runDump(
        request,
        [this, memory, &link = m_context.playerLink()](uint32_t address, unsigned char op,
                                                       uint8_t *out) {
            if (m_cancel)
                return false;
            // Block by block on the player link: the window paints and Stop is taken while
            // the player answers.
            return link.await([memory, address, op, out] {
                return KSUSB_PhysicalBlockAccess(memory, address, op, out) != 0;
            });
        },
        v.dump ? &binary : nullptr, v.text ? &text : nullptr,
        [this](uint32_t address, int percent) {
            m_status->setText(fmt(StrId::ReadingAt, address));
            m_progress->setValue(percent);
            QCoreApplication::processEvents();
        });
    m_outcome.cancelled = m_cancel;
    m_outcome.chunks = result.chunks;
    m_outcome.spareReads = result.spareReads;
    m_outcome.ok = result.ok;
    if (!result.ok && !m_cancel)
        m_context.ui.message(this, str(StrId::CantSendCommand), device::MessageIcon::Stop);

    binary.close();
    text.close();
    if ((v.dump && binary.fail()) || (v.text && text.fail())) {
        m_outcome.ok = false;
        cannotCreate(v.dump && binary.fail() ? v.dumpFile : v.textFile);
    }
    setReading(false);
    if (v.text)
        (void)m_context.ui.openUrl(QUrl::fromLocalFile(v.textFile));
}

void CMemoryDumpDlg::reject() {
    if (m_reading) {
        m_cancel = true; // closing stops the dump first
        return;
    }
    QDialog::reject();
}

void CMemoryDumpDlg::resizeEvent(QResizeEvent *event) {
    QDialog::resizeEvent(event);
    if (m_baseHeight <= 0 || m_baseFont.pointSizeF() <= 0)
        return;
    const double scale = std::clamp(double(height()) / m_baseHeight, 1.0, MaxFontScale);
    QFont scaled = m_baseFont;
    scaled.setPointSizeF(m_baseFont.pointSizeF() * scale);
    if (scaled != font())
        setFont(scaled);
}

void CMemoryDumpDlg::closeEvent(QCloseEvent *event) {
    if (m_reading) {
        m_cancel = true;
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

} // namespace tunara::service
