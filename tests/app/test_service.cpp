// The service tools against the real library and the virtual player: system images and
// firmware arriving byte for byte, the memory dump's listing against `kesto dump --text`, and
// the loop-back test's cycle.
#include "qtrun.h"
#include "service/fontdownloaddlg.h"
#include "service/memorydumpdlg.h"
#include "service/sysparamdlg.h"
#include "testui.h"

#include <KestoUSB.h>

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

using namespace tunara;
using kestousb::test::run;
using kestousb::test::VplayerProcess;
using service::CFontDownloadDlg;
using service::CMemoryDumpDlg;
using service::CSysParamDlg;

namespace {
constexpr int WaitMs = 30000;
constexpr int PollMs = 20;

QByteArray readAll(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QByteArray pattern(int size, int seed) {
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + seed * 13 + i / 251) & 0xFF);
    return bytes;
}

bool writeFile(const QString &path, const QByteArray &bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// The listings kesto writes, taken before this process holds the player.
struct KestoDump {
    QString name;
    QStringList args;
};
const KestoDump KestoDumps[] = {
    {"sector", {"0x200", "0x400", "--spare", "--sector", "512", "--cluster", "32"}},
    {"single", {"0x1000", "0x1040", "--spare", "--sector", "512", "--cluster", "32"}},
    {"top", {"0xFFFFFFC0", "0xFFFFFFFF"}},
};
} // namespace

class TestService : public QObject {
    Q_OBJECT
    QTemporaryDir m_state;
    QTemporaryDir m_work;
    std::unique_ptr<VplayerProcess> m_player;
    QHash<QString, QByteArray> m_kesto;
    TestUi m_ui;
    std::unique_ptr<QSettings> m_settings;
    bool m_shift = false;
    // While set, SHIFT counts as held once this log shows m_shiftWhen.
    QPointer<QPlainTextEdit> m_shiftLog;
    QString m_shiftWhen;

    Qt::KeyboardModifiers keys() const {
        const bool logged =
            m_shiftLog && !m_shiftWhen.isEmpty() && m_shiftLog->toPlainText().contains(m_shiftWhen);
        return m_shift || logged ? Qt::ShiftModifier : Qt::NoModifier;
    }

    bool ctl(const QStringList &args) { return kestousb::test::ctl(*m_player, args); }

    service::ServiceContext context(bool playerBusy = false) {
        return {m_ui, *m_settings, [this] { return keys(); }, m_work.path(),
                [playerBusy] { return playerBusy; }};
    }

    void freshAnswers() {
        m_ui.messages.clear();
        m_ui.opened.clear();
        m_ui.openFileAnswers.clear();
        m_shift = false;
    }

    static void choose(CFontDownloadDlg &dlg, const QString &action) {
        const int index = dlg.actionBox()->findText(action);
        QVERIFY(index >= 0);
        dlg.actionBox()->setCurrentIndex(index);
        emit dlg.actionBox()->activated(index);
    }

private slots:
    void initTestCase() {
        const QString flash = m_state.filePath("flash.img");
        QVERIFY(run(QStringLiteral(TUNARA_MKFS), {"-C", flash, "4096"}));
        QVERIFY(writeFile(m_state.filePath("Loop Test.bin"), pattern(5000, 1)));
        QVERIFY(run(QStringLiteral(TUNARA_MCOPY),
                    {"-i", flash, m_state.filePath("Loop Test.bin"), "::"}));
        QVERIFY(run(QStringLiteral(TUNARA_MKFS), {"-C", m_state.filePath("card.img"), "4096"}));
        m_player = std::make_unique<VplayerProcess>(TUNARA_VPLAYER, m_state.path().toStdString());
        QVERIFY2(m_player->started(), m_player->log().c_str());
        qputenv("KESTOUSB_USBIP", QByteArray::fromStdString(m_player->address()));

        // kesto imports the player and lets it go when it ends; this process imports it after.
        for (const KestoDump &d : KestoDumps) {
            const QString out = m_work.filePath("kesto-" + d.name + ".txt");
            QVERIFY2(run(QStringLiteral(TUNARA_KESTO),
                         QStringList{"dump", "M"} + d.args + QStringList{"--text", out}),
                     qPrintable(d.name));
            m_kesto.insert(d.name, readAll(out));
            QVERIFY(!m_kesto[d.name].isEmpty());
        }
        m_settings =
            std::make_unique<QSettings>(m_work.filePath("profile.ini"), QSettings::IniFormat);
    }

    void cleanupTestCase() { m_player.reset(); }

    void fontDownload_data() {
        QTest::addColumn<QString>("action");
        QTest::addColumn<int>("size");
        QTest::addColumn<bool>("refused");
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("stored");
        QTest::addColumn<int>("storedSize");
        QTest::addColumn<bool>("busy"); // a queued transfer talks to the player
        QTest::newRow("font into slot 01") << "FONT-KOR" << 3000 << false << "Action Code = 01h"
                                           << "sysimg-01.bin" << 3000 << false;
        QTest::newRow("logo into slot e2, one byte past a block")
            << "LOGO-LOGOUSER" << 513 << false << "Action Code = E2h"
            << "sysimg-e2.bin" << 513 << false;
        // Firmware travels in 64-byte units: 1,000 bytes are announced as 16 units.
        QTest::newRow("firmware") << "[Firmware Upgrade]" << 1000 << false
                                  << "Action Code = FFFFFFFFh"
                                  << "firmware.bin" << 1024 << false;
        QTest::newRow("refused announcement") << "FONT-ENG" << 800 << true << "Action Code = 02h"
                                              << "sysimg-02.bin" << 0 << false;
        QTest::newRow("player busy with a transfer")
            << "FONT-CYRILLIC" << 700 << false << "Action Code = 07h"
            << "sysimg-07.bin" << 0 << true;
    }

    void fontDownload() {
        QFETCH(QString, action);
        QFETCH(int, size);
        QFETCH(bool, refused);
        QFETCH(QString, code);
        QFETCH(QString, stored);
        QFETCH(int, storedSize);
        QFETCH(bool, busy);
        freshAnswers();
        const QByteArray image = pattern(size, size);
        const QString file = m_work.filePath(QString::number(size) + ".img");
        QVERIFY(writeFile(file, image));
        if (refused)
            QVERIFY(ctl({"fault", "refuse"}));

        {
            CFontDownloadDlg dlg(context(busy));
            dlg.show();
            QCOMPARE(dlg.windowTitle(), QStringLiteral("Program & Font Update"));
            QCOMPARE(dlg.pathEdit()->text(), QStringLiteral("Select Action First"));
            QCOMPARE(dlg.statusText(), QStringLiteral("Waiting"));
            QTest::mouseClick(dlg.downloadButton(), Qt::LeftButton);
            QCOMPARE(m_ui.messages, QStringList{"Select Action"});
            m_ui.messages.clear();

            choose(dlg, action);
            QCOMPARE(dlg.statusText(), code);
            QCOMPARE(dlg.pathEdit()->text(), m_work.path() + "/"); // nothing remembered yet
            dlg.pathEdit()->setText(file);
            QTest::mouseClick(dlg.downloadButton(), Qt::LeftButton);
            if (busy) {
                QCOMPARE(m_ui.messages, QStringList{"Player is busy."});
                QVERIFY(dlg.downloadButton()->isEnabled() && !dlg.sending());
                QVERIFY(!QFile::exists(m_state.filePath(stored)));
            } else if (refused) {
                QVERIFY(!dlg.downloadButton()->isEnabled());
                QTRY_COMPARE(m_ui.messages, QStringList{"Download failed"}); // the link's answer
                QTest::qWait(200);
                QVERIFY(!dlg.downloadButton()->isEnabled()); // until the dialog is reopened
                QVERIFY(dlg.closeButton()->isEnabled());
                QVERIFY(!QFile::exists(m_state.filePath(stored)));
            } else {
                QVERIFY(!dlg.downloadButton()->isEnabled());
                QVERIFY(!dlg.closeButton()->isEnabled());
                dlg.reject(); // refused while sending
                QVERIFY(dlg.isVisible());
                QTRY_COMPARE_WITH_TIMEOUT(dlg.statusText(),
                                          QString("Finish Download : %1 bytes").arg(size), WaitMs);
                QCOMPARE(dlg.percentText(), QStringLiteral("100%"));
                QCOMPARE(dlg.progressValue(), 100);
                QCOMPARE(m_ui.messages, QStringList{"Download Finished"});
                QVERIFY(dlg.downloadButton()->isEnabled());
                QVERIFY(dlg.closeButton()->isEnabled());
                QByteArray expected = image;
                expected.append(QByteArray(storedSize - size, '\0'));
                QTRY_COMPARE_WITH_TIMEOUT(readAll(m_state.filePath(stored)), expected, WaitMs);
            }
        }

        // The path comes back for the same action, also from a fresh read of the settings.
        QSettings reread(m_work.filePath("profile.ini"), QSettings::IniFormat);
        service::ServiceContext again{m_ui, reread, {}, m_work.path()};
        CFontDownloadDlg dlg(again);
        choose(dlg, action);
        QCOMPARE(dlg.pathEdit()->text(), file);
        choose(dlg, "FONT-ASCII");
        QCOMPARE(dlg.pathEdit()->text(), m_work.path() + "/");
    }

    void memoryDump_data() {
        QTest::addColumn<QString>("start");
        QTest::addColumn<QString>("end");
        QTest::addColumn<bool>("single");
        QTest::addColumn<bool>("spare");
        QTest::addColumn<QString>("sector");
        QTest::addColumn<QString>("cluster");
        QTest::addColumn<int>("spareAt"); // a spare area stored there first (-1: none)
        QTest::addColumn<bool>("badFile");
        QTest::addColumn<QString>("kesto"); // the same listing from kesto (empty: none)
        QTest::addColumn<int>("chunks");    // -1: refused before reading
        QTest::addColumn<int>("spares");
        QTest::addColumn<QString>("contains");
        QTest::addColumn<QString>("message");
        const QString badRange = "Nothing to read: the end address must lie above the start "
                                 "address, and the sector and cluster sizes must be above 0.";
        QTest::newRow("0x200-0x400, sector 512, spare")
            << "0x200"
            << "0x400" << false << true << "512"
            << "32" << -1 << false << "sector" << 8 << 1
            << "BLOCK:00000000h(00000000d), PAGE:00000001h(00000001d)"
            << "";
        QTest::newRow("single block whatever the end says")
            << "0x1000"
            << "0x9000" << true << true << "512"
            << "32" << -1 << false << "single" << 1 << 1 << "PAGE:00000008h(00000008d)"
            << "";
        QTest::newRow("top of the address space ends")
            << "0xFFFFFFC0"
            << "0xFFFFFFFF" << false << false << "512"
            << "32" << -1 << false << "top" << 1 << 0 << "FFFFFFF0 : 00"
            << "";
        QTest::newRow("stored spare area in order")
            << "0x8000"
            << "0" << true << true << "512"
            << "32" << 0x8000 << false << "" << 1 << 1
            << "\r\nSPARE   : ud<01|02|03|04> us<05> bs<06> ba1[0708] ecc2<09|0A|0B> ba2[0C0D] "
               "ecc1<0E|0F|10>\r\n00008000 : "
            << "";
        QTest::newRow("sector size 0 refused")
            << "0x0"
            << "0x400" << false << true << "0"
            << "32" << -1 << false << "" << -1 << 0 << "" << badRange;
        QTest::newRow("cluster size no number")
            << "0x0"
            << "0x400" << false << true << "512"
            << "abc" << -1 << false << "" << -1 << 0 << "" << badRange;
        QTest::newRow("end below start") << "0x400"
                                         << "0x200" << false << true << "512"
                                         << "32" << -1 << false << "" << -1 << 0 << "" << badRange;
        QTest::newRow("listing cannot be created")
            << "0x0"
            << "0x40" << false << false << "512"
            << "32" << -1 << true << "" << -1 << 0 << ""
            << "Can't open a file\n\nFILE: " + m_work.filePath("no/such/dir.txt");
    }

    void memoryDump() {
        QFETCH(QString, start);
        QFETCH(QString, end);
        QFETCH(bool, single);
        QFETCH(bool, spare);
        QFETCH(QString, sector);
        QFETCH(QString, cluster);
        QFETCH(int, spareAt);
        QFETCH(bool, badFile);
        QFETCH(QString, kesto);
        QFETCH(int, chunks);
        QFETCH(int, spares);
        QFETCH(QString, contains);
        QFETCH(QString, message);
        freshAnswers();
        if (spareAt >= 0) {
            unsigned char area[16];
            for (int i = 0; i < 16; ++i)
                area[i] = static_cast<unsigned char>(i + 1);
            QCOMPARE(KSUSB_PhysicalBlockAccess('M', uint32_t(spareAt), 'x', area), 1);
        }
        const QString binPath = m_work.filePath("dump.bin");
        const QString textPath =
            badFile ? m_work.filePath("no/such/dir.txt") : m_work.filePath("dump.txt");
        QFile::remove(binPath);
        QFile::remove(textPath);

        CMemoryDumpDlg dlg(context());
        dlg.show();
        QCOMPARE(dlg.windowTitle(), QStringLiteral("Mass Production"));
        dlg.flashRadio()->click();
        dlg.startEdit()->setText(start);
        if (dlg.singleBox()->isChecked() != single)
            dlg.singleBox()->click();
        QCOMPARE(dlg.endEdit()->isEnabled(), !single);
        dlg.endEdit()->setText(end);
        dlg.spareBox()->setChecked(spare);
        if (!dlg.dumpBox()->isChecked())
            dlg.dumpBox()->click();
        QVERIFY(dlg.dumpFileEdit()->isEnabled());
        dlg.dumpFileEdit()->setText(binPath);
        if (!dlg.textBox()->isChecked())
            dlg.textBox()->click();
        dlg.textFileEdit()->setText(textPath);
        dlg.sectorEdit()->setText(sector);
        dlg.clusterEdit()->setText(cluster);
        QTest::mouseClick(dlg.readButton(), Qt::LeftButton);

        const auto &outcome = dlg.lastOutcome();
        if (chunks < 0) {
            QVERIFY(!outcome.ran);
            QCOMPARE(m_ui.messages, QStringList{message});
            QVERIFY(m_ui.opened.isEmpty());
            QVERIFY(!QFile::exists(textPath));
            return;
        }
        QVERIFY(outcome.ok);
        QCOMPARE(m_ui.messages, QStringList());
        QCOMPARE(int(outcome.chunks), chunks);
        QCOMPARE(int(outcome.spareReads), spares);
        QCOMPARE(dlg.progressValue(), 100);
        QVERIFY(dlg.statusText().startsWith("Reading : "));
        const QByteArray listing = readAll(textPath);
        if (!kesto.isEmpty())
            QCOMPARE(listing, m_kesto.value(kesto));
        QVERIFY2(listing.contains(contains.toLatin1()), listing.left(400).constData());
        QCOMPARE(int(listing.count("BLOCK:")), spares);
        QCOMPARE(m_ui.opened, QList<QUrl>{QUrl::fromLocalFile(textPath)});

        // The binary dump holds the image's bytes (zero past its end).
        const uint32_t first = dlg.values().start;
        const QByteArray image = readAll(m_state.filePath("flash.img"));
        QByteArray expected = image.mid(qsizetype(first), chunks * 64);
        expected.append(QByteArray(chunks * 64 - expected.size(), '\0'));
        QCOMPARE(readAll(binPath), expected);

        // Everything typed is kept in section "Debug" for the next time.
        QSettings reread(m_work.filePath("profile.ini"), QSettings::IniFormat);
        const auto kept = CMemoryDumpDlg::loadValues(reread, m_work.path());
        QCOMPARE(kept.start, first);
        QCOMPARE(kept.single, single);
        QCOMPARE(kept.textFile, textPath);
        QCOMPARE(kept.sectorSize, sector.toUInt());
    }

    // A long dump keeps the window working and ends at Stop without an error message.
    void dumpCanBeStopped() {
        freshAnswers();
        QVERIFY(ctl({"speed", "full"}));
        CMemoryDumpDlg dlg(context());
        dlg.show();
        dlg.startEdit()->setText("0");
        if (dlg.singleBox()->isChecked())
            dlg.singleBox()->click();
        dlg.endEdit()->setText("0x400000");
        dlg.spareBox()->setChecked(false);
        dlg.textFileEdit()->setText(m_work.filePath("stopped.txt"));
        QTimer stopper;
        int ticks = 0;
        connect(&stopper, &QTimer::timeout, [&] {
            ++ticks;
            if (dlg.reading() && dlg.progressValue() >= 0 && ticks > 5)
                QTest::mouseClick(dlg.stopButton(), Qt::LeftButton);
        });
        stopper.start(PollMs);
        QTest::mouseClick(dlg.readButton(), Qt::LeftButton);
        stopper.stop();
        QVERIFY(ctl({"speed", "unlimited"}));
        QVERIFY(dlg.lastOutcome().cancelled);
        QVERIFY(dlg.lastOutcome().chunks > 0);
        QVERIFY(dlg.lastOutcome().chunks < 0x400000 / 64);
        QCOMPARE(m_ui.messages, QStringList());
        QVERIFY(dlg.readButton()->isEnabled());
    }

    void loopback_data() {
        QTest::addColumn<bool>("refused");
        QTest::addColumn<bool>("byStop");
        QTest::addColumn<QStringList>("log");
        const QString path = m_work.filePath("Loop Test.bin");
        QTest::newRow("download refused, still refreshes and deletes")
            << true << false
            << QStringList{"** Loop-back test ** ",
                           " Press [SHIFT] to end.",
                           "Download failed : " + path,
                           "",
                           "Next step",
                           "Deleted from memory : Loop Test.bin",
                           "Loop-back test ended",
                           ""};
        QTest::newRow("a full cycle, ended by Stop")
            << false << true
            << QStringList{"** Loop-back test ** ",
                           " Press [SHIFT] to end.",
                           "Downloading : " + path,
                           "[START..END]",
                           "Next step",
                           "Deleted from memory : Loop Test.bin",
                           "Loop-back test ended",
                           ""};
    }

    void loopback() {
        QFETCH(bool, refused);
        QFETCH(bool, byStop);
        QFETCH(QStringList, log);
        freshAnswers();
        QVERIFY(writeFile(m_work.filePath("Loop Test.bin"), pattern(4000, 3)));
        if (refused)
            QVERIFY(ctl({"fault", "refuse"}));
        m_ui.openFileAnswers << m_work.filePath("Loop Test.bin");

        CSysParamDlg dlg(context());
        dlg.show();
        QCOMPARE(dlg.windowTitle(), QStringLiteral("System Parameters R/W"));
        // SHIFT is looked at before each cycle: held once a cycle has deleted the file. Stop is
        // pressed while the download runs: the running transfer is still waited for.
        m_shiftWhen = byStop ? QString() : QStringLiteral("Deleted from memory");
        m_shiftLog = dlg.log();
        // Pressed as soon as the log shows the download's start, before a quick player can end
        // the cycle.
        bool pressed = false;
        const QMetaObject::Connection ender =
            connect(dlg.log(), &QPlainTextEdit::textChanged, this, [&] {
                if (!byStop || pressed || !dlg.log()->toPlainText().contains("[START"))
                    return;
                pressed = true;
                QVERIFY(!dlg.loopbackButton()->isEnabled());
                QVERIFY(!dlg.fontButton()->isEnabled());
                QVERIFY(!dlg.dumpButton()->isEnabled());
                QTest::mouseClick(dlg.stopButton(), Qt::LeftButton);
            });
        QTest::mouseClick(dlg.loopbackButton(), Qt::LeftButton);
        disconnect(ender);
        m_shiftLog = nullptr;
        QVERIFY(!dlg.testRunning());
        QVERIFY(dlg.loopbackButton()->isEnabled());
        QCOMPARE(dlg.log()->toPlainText(), log.join('\n'));

        // The file is gone from the player again.
        KSUSB_TOpenTable table{};
        QCOMPARE(KSUSB_RefreshMemory('M'), 1);
        QCOMPARE(GetFileInfo('M', &table), 1);
        for (int i = 0; i < table.count; ++i)
            QVERIFY(QByteArray(table.entries[i].name) != "Loop Test.bin");
    }
};

QTEST_MAIN(TestService)
#include "test_service.moc"
