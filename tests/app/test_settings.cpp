// Settings: defaults from missing or garbled stores, the round trip through exit and start, the
// Option dialog's rules and its effect.
#include "mainwindowfixture.h"
#include "shell/optiondlg.h"
#include "shell/settings.h"
#include "transfer/syncdlg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSettings>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>

using namespace tunara;
using shell::CTunaraApp;

namespace {
void writeFile(const QString &path, const QByteArray &bytes) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}
} // namespace

class TestSettings : public QObject {
    Q_OBJECT
private slots:
    void defaults_data() {
        QTest::addColumn<QByteArray>("profile");
        QTest::addColumn<QByteArray>("ini");
        QTest::newRow("missing files") << QByteArray() << QByteArray();
        QTest::newRow("empty files") << QByteArray("") << QByteArray("");
        QTest::newRow("binary garbage") << QByteArray("\x00\xff\xfe[[[\x01=\x02\n", 10)
                                        << QByteArray("\xff\xfe\x00\x01garbage", 11);
        QTest::newRow("values that are no numbers")
            << QByteArray("[Option]\nAutoStartXfer=yes\nShowXferDlg=\nHideXferDlg=x1\n"
                          "ListFontSize=big\nConvert=yes\nConvertBitrate=fast\nConvertVBR=on\n"
                          "ConvertCover=\n")
            << QByteArray("[System]\nBlockMPEG2Ext=maybe\n");
        QTest::newRow("other sections only")
            << QByteArray("[Other]\nA=1\n") << QByteArray("[Other]\nB=2\n");
        QTest::newRow("bit rate the converter would refuse")
            << QByteArray("[Option]\nConvertBitrate=999\n") << QByteArray();
        QTest::newRow("bit rate the dialog does not offer")
            << QByteArray("[Option]\nConvertBitrate=112\n") << QByteArray();
        QTest::newRow("levelling the dialog does not offer")
            << QByteArray("[Option]\nConvertLevel=7\n") << QByteArray();
    }
    void defaults() {
        QFETCH(QByteArray, profile);
        QFETCH(QByteArray, ini);
        QTemporaryDir dir;
        if (!profile.isNull())
            writeFile(dir.filePath("profile.ini"), profile);
        if (!ini.isNull())
            writeFile(dir.filePath("tunara.ini"), ini);
        TestUi ui;
        CTunaraApp app({dir.path(), dir.filePath("profile.ini")}, ui);
        app.start();
        const shell::Options &o = app.options();
        QCOMPARE(o.autoStartXfer, 1);
        QCOMPARE(o.showXferDlg, 1);
        QCOMPARE(o.hideXferDlg, 0);
        QCOMPARE(o.listFontFace, QStringLiteral("Arial"));
        QCOMPARE(o.listFontSize, 90);
        QCOMPARE(o.convert, 1);
        QCOMPARE(o.convertBitrate, 192);
        QCOMPARE(o.convertVbr, 0);
        QCOMPARE(o.convertCover, 1);
        QCOMPARE(o.convertLevel, 0);
        QCOMPARE(o.favoriteFolder,
                 QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation));
        QCOMPARE(app.system().blockMpeg2Ext, 1);
        QCOMPARE(app.system().resourceDll, QString());
        QCOMPARE(app.listFont().family(), QStringLiteral("Arial"));
        QCOMPARE(app.listFont().pointSizeF(), 9.0);
        QCOMPARE(app.helpFile(), QStringLiteral("tunara.chm"));
        QCOMPARE(app.supportUrl(), QStringLiteral("https://tunara.example.org/"));
        QVERIFY(!app.packLoaded());
    }

    void integersTakenAsRead_data() {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<int>("read");
        QTest::newRow("zero") << QByteArray("0") << 0;
        QTest::newRow("two counts as on") << QByteArray("2") << 2;
        QTest::newRow("negative") << QByteArray("-5") << -5;
        QTest::newRow("blanks") << QByteArray(" 7 ") << 7;
    }
    void integersTakenAsRead() {
        QFETCH(QByteArray, value);
        QFETCH(int, read);
        QTemporaryDir dir;
        writeFile(dir.filePath("profile.ini"), "[Option]\nHideXferDlg=" + value + "\n");
        TestUi ui;
        CTunaraApp app({dir.path(), dir.filePath("profile.ini")}, ui);
        app.start();
        QCOMPARE(app.options().hideXferDlg, read);
    }

    void unusableFontSizeGivesDefaultFont_data() {
        QTest::addColumn<int>("tenths");
        QTest::addColumn<double>("points");
        QTest::newRow("zero") << 0 << 9.0;
        QTest::newRow("negative") << -120 << 9.0;
        QTest::newRow("huge") << 100000 << 9.0;
        QTest::newRow("12 pt") << 120 << 12.0;
    }
    void unusableFontSizeGivesDefaultFont() {
        QFETCH(int, tenths);
        QFETCH(double, points);
        QCOMPARE(shell::listFont(QStringLiteral("Arial"), tenths).pointSizeF(), points);
    }

    void roundTrip() {
        QTemporaryDir dir;
        TestUi ui;
        {
            CTunaraApp app({dir.path(), dir.filePath("profile.ini")}, ui);
            app.start();
            shell::Options &o = app.options();
            o.autoStartXfer = 0;
            o.showXferDlg = 0;
            o.hideXferDlg = 1;
            o.favoriteFolder = QStringLiteral("/music/favourites");
            o.listFontFace = QStringLiteral("DejaVu Sans");
            o.listFontSize = 110;
            o.convert = 0;
            o.convertBitrate = 320;
            o.convertVbr = 1;
            o.convertCover = 0;
            app.exit();
        }
        CTunaraApp again({dir.path(), dir.filePath("profile.ini")}, ui);
        again.start();
        const shell::Options &o = again.options();
        QCOMPARE(o.autoStartXfer, 0);
        QCOMPARE(o.showXferDlg, 0);
        QCOMPARE(o.hideXferDlg, 1);
        QCOMPARE(o.favoriteFolder, QStringLiteral("/music/favourites"));
        QCOMPARE(o.listFontFace, QStringLiteral("DejaVu Sans"));
        QCOMPARE(o.listFontSize, 110);
        QCOMPARE(o.convert, 0);
        QCOMPARE(o.convertBitrate, 320);
        QCOMPARE(o.convertVbr, 1);
        QCOMPARE(o.convertCover, 0);
        QCOMPARE(again.listFont().pointSizeF(), 11.0);
        QSettings raw(dir.filePath("profile.ini"), QSettings::IniFormat);
        QCOMPARE(raw.value("Option/ListFontSize").toInt(), 110);
        QCOMPARE(raw.value("Option/ConvertBitrate").toInt(), 320);
        QCOMPARE(raw.value("Option/ConvertVBR").toInt(), 1);
    }

    void withoutExitNothingIsWritten() {
        QTemporaryDir dir;
        TestUi ui;
        {
            CTunaraApp app({dir.path(), dir.filePath("profile.ini")}, ui);
            app.start();
            app.options().hideXferDlg = 1; // the process ends without a normal exit
        }
        QSettings raw(dir.filePath("profile.ini"), QSettings::IniFormat);
        QVERIFY(!raw.contains("Option/HideXferDlg"));
    }

    void iniValues() {
        QTemporaryDir dir;
        writeFile(dir.filePath("tunara.ini"),
                  "[System]\nBlockMPEG2Ext=0\nResourceDLL=missing.lng\n"
                  "[English]\nHelpFile=guide.html\nSupportURL=https://example.net/\n");
        TestUi ui;
        CTunaraApp app({dir.path(), dir.filePath("profile.ini")}, ui);
        app.start();
        QCOMPARE(app.system().blockMpeg2Ext, 0);
        QCOMPARE(app.system().resourceDll, QStringLiteral("missing.lng"));
        QVERIFY(!app.packLoaded()); // a missing pack leaves English
        QCOMPARE(app.languageSection(), QStringLiteral("English"));
        QCOMPARE(app.helpFile(), QStringLiteral("guide.html"));
        QCOMPARE(app.supportUrl(), QStringLiteral("https://example.net/"));
    }

    void optionDialogRules_data() {
        QTest::addColumn<int>("show");
        QTest::addColumn<int>("autoStart");
        QTest::addColumn<bool>("subEnabled");
        QTest::addColumn<int>("convert");
        QTest::addColumn<int>("kbps");
        QTest::addColumn<QString>("shown"); // the bit rate the combo shows
        QTest::addColumn<int>("level");
        QTest::addColumn<QString>("levelShown");
        QTest::newRow("popup on") << 1 << 0 << true << 1 << 192 << "192 kbit/s" << 0 << "Off";
        QTest::newRow("popup off") << 0 << 1 << false << 1 << 320 << "320 kbit/s" << 1 << "Track";
        QTest::newRow("convert off") << 1 << 1 << true << 0 << 128 << "128 kbit/s" << 0 << "Off";
        QTest::newRow("rate not offered")
            << 1 << 1 << true << 2 << 64 << "192 kbit/s" << 0 << "Off";
        // Levelling applies to MP3s sent as they are: offered with conversion off too.
        QTest::newRow("level album, convert off")
            << 1 << 1 << true << 0 << 192 << "192 kbit/s" << 2 << "Album";
    }
    void optionDialogRules() {
        QFETCH(int, show);
        QFETCH(int, autoStart);
        QFETCH(bool, subEnabled);
        QFETCH(int, convert);
        QFETCH(int, kbps);
        QFETCH(QString, shown);
        QFETCH(int, level);
        QFETCH(QString, levelShown);
        TestUi ui;
        shell::Options o;
        o.convertLevel = level;
        o.showXferDlg = show;
        o.autoStartXfer = autoStart;
        o.convert = convert;
        o.convertBitrate = kbps;
        shell::COptionDlg dlg(o, ui);
        QCOMPARE(dlg.autoStartBox()->isEnabled(), subEnabled);
        QCOMPARE(dlg.autoCloseBox()->isEnabled(), subEnabled);
        // how to convert is offered only while converting
        QCOMPARE(dlg.convertBox()->isChecked(), convert != 0);
        QCOMPARE(dlg.bitrateCombo()->isEnabled(), convert != 0);
        QCOMPARE(dlg.vbrBox()->isEnabled(), convert != 0);
        QCOMPARE(dlg.coverBox()->isEnabled(), convert != 0);
        QCOMPARE(dlg.bitrateCombo()->currentText(), shown);
        QCOMPARE(dlg.levelCombo()->currentText(), levelShown);
        QVERIFY(dlg.levelCombo()->isEnabled());
        // The tags' gains are offered while levelling, and follow the levelling chosen.
        QCOMPARE(dlg.levelTagsBox()->isEnabled(), level != 0);
        dlg.levelCombo()->setCurrentIndex(dlg.levelCombo()->findData(level != 0 ? 0 : 1));
        QCOMPARE(dlg.levelTagsBox()->isEnabled(), level == 0);
        dlg.levelCombo()->setCurrentIndex(dlg.levelCombo()->findData(level));
        QStringList levels;
        for (int i = 0; i < dlg.levelCombo()->count(); ++i)
            levels << dlg.levelCombo()->itemText(i);
        QCOMPARE(levels, (QStringList{"Off", "Track", "Album"}));
        QStringList offered;
        for (int i = 0; i < dlg.bitrateCombo()->count(); ++i)
            offered << dlg.bitrateCombo()->itemText(i);
        QCOMPARE(offered, (QStringList{"128 kbit/s", "160 kbit/s", "192 kbit/s", "224 kbit/s",
                                       "256 kbit/s", "320 kbit/s"}));
        // every control is named: its caption, or the label that is its buddy
        QCOMPARE(dlg.windowTitle(), QStringLiteral("Option"));
        for (QCheckBox *box : dlg.findChildren<QCheckBox *>())
            QVERIFY2(!box->text().isEmpty(), qPrintable(box->objectName()));
        QStringList buddies;
        for (QLabel *label : dlg.findChildren<QLabel *>())
            if (label->buddy() == dlg.bitrateCombo())
                buddies << label->text();
        QCOMPARE(buddies, QStringList{"&Bit rate:"});
        buddies.clear();
        for (QLabel *label : dlg.findChildren<QLabel *>())
            if (label->buddy() == dlg.levelCombo())
                buddies << label->text();
        QCOMPARE(buddies, QStringList{"Level volume:"});
        // convert off leaves the other conversion values as they were
        dlg.accept();
        QCOMPARE(dlg.values().convert, convert != 0 ? 1 : 0);
        QCOMPARE(dlg.values().convertBitrate, shell::offeredBitrate(kbps));
        QCOMPARE(dlg.values().convertLevel, level);
    }

    void uncheckingPopupForcesAutoStart() {
        TestUi ui;
        shell::Options o;
        o.autoStartXfer = 0;
        shell::COptionDlg dlg(o, ui);
        dlg.show();
        QVERIFY(dlg.popupBox()->isChecked());
        QVERIFY(!dlg.autoStartBox()->isChecked());
        QTest::mouseClick(dlg.popupBox(), Qt::LeftButton);
        QVERIFY(!dlg.popupBox()->isChecked());
        QVERIFY(dlg.autoStartBox()->isChecked());
        QVERIFY(!dlg.autoStartBox()->isEnabled());
        QVERIFY(!dlg.autoCloseBox()->isEnabled());
        QTest::mouseClick(dlg.popupBox(), Qt::LeftButton);
        QVERIFY(dlg.autoStartBox()->isEnabled());
    }

    void optionCommandEffect_data() {
        QTest::addColumn<bool>("ok");
        QTest::newRow("OK copies the values") << true;
        QTest::newRow("Cancel leaves them") << false;
    }
    void optionCommandEffect() {
        QFETCH(bool, ok);
        MainWindowFixture::defaultPlayer();
        MainWindowFixture f;
        f.open();
        f.ui.folder = QStringLiteral("/chosen/folder");
        QTimer::singleShot(0, [&] {
            auto *dlg = qobject_cast<shell::COptionDlg *>(QApplication::activeModalWidget());
            QVERIFY(dlg != nullptr);
            QTest::mouseClick(dlg->autoCloseBox(), Qt::LeftButton);
            dlg->vbrBox()->click();
            dlg->coverBox()->click();
            dlg->bitrateCombo()->setCurrentIndex(dlg->bitrateCombo()->findText("256 kbit/s"));
            dlg->levelCombo()->setCurrentIndex(dlg->levelCombo()->findText("Track"));
            QTest::mouseClick(dlg->levelTagsBox(), Qt::LeftButton);
            dlg->convertBox()->click();
            QVERIFY(!dlg->bitrateCombo()->isEnabled());
            dlg->browseButton()->click();
            QCOMPARE(dlg->folderEdit()->text(), QStringLiteral("/chosen/folder"));
            ok ? dlg->accept() : dlg->reject();
        });
        QVERIFY(f.frame->commands().execute(int(shell::Cmd::Option)));
        QCOMPARE(f.app->options().hideXferDlg, ok ? 1 : 0);
        QCOMPARE(f.app->options().favoriteFolder == QStringLiteral("/chosen/folder"), ok);
        // In the profile right after OK, without a normal exit.
        QSettings stored(f.dir.filePath("profile.ini"), QSettings::IniFormat);
        QCOMPARE(stored.value("Option/HideXferDlg", 0).toInt(), ok ? 1 : 0);
        QCOMPARE(stored.contains("Option/FavoriteFolder"), ok);
        QCOMPARE(stored.value("Option/Convert", 1).toInt(), ok ? 0 : 1);
        QCOMPARE(stored.value("Option/ConvertBitrate", 192).toInt(), ok ? 256 : 192);
        QCOMPARE(stored.value("Option/ConvertVBR", 0).toInt(), ok ? 1 : 0);
        QCOMPARE(stored.value("Option/ConvertCover", 1).toInt(), ok ? 0 : 1);
        QCOMPARE(stored.value("Option/ConvertLevel", 0).toInt(), ok ? 1 : 0);
        QCOMPARE(stored.value("Option/ConvertLevelTags", 0).toInt(), ok ? 1 : 0);
        // what the transfer queue is told
        const transfer::TransferOptions t = f.frame->transferOptions();
        QCOMPARE(t.convert, !ok);
        QCOMPARE(t.convertKbps, ok ? 256 : 192);
        QCOMPARE(t.convertVbr, ok);
        QCOMPARE(t.convertCover, !ok);
        QCOMPARE(t.level, ok ? media::LevelMode::Track : media::LevelMode::Off);
        QCOMPARE(t.levelTags, ok);
    }

    // The Sync dialog's choices are the profile's, one set per memory: shown for the memory
    // chosen, and written back to that memory's keys alone.
    void syncChoicesPerMemory_data() {
        QTest::addColumn<QByteArray>("profile");
        QTest::addColumn<QStringList>("flash"); // sources, then "fill", "keep N", "delete", "short"
        QTest::addColumn<QStringList>("card");
        QTest::newRow("nothing kept") << QByteArray() << QStringList{} << QStringList{};
        QTest::newRow("each memory its own")
            << QByteArray("[Sync]\nFlashSources=/music/a, \"/music/b, with a comma\"\n"
                          "FlashDeleteExtras=1\nCardSources=/music/card.m3u\nCardFill=1\n"
                          "CardKeepFreeMB=50\nCardShortNames=1\n")
            << QStringList{"/music/a", "/music/b, with a comma", "delete"}
            << QStringList{"/music/card.m3u", "fill", "keep 50", "short"};
        QTest::newRow("unusable numbers")
            << QByteArray("[Sync]\nFlashSources=/music/a\nFlashFill=yes\nFlashKeepFreeMB=-5\n")
            << QStringList{"/music/a"} << QStringList{};
    }
    void syncChoicesPerMemory() {
        QFETCH(QByteArray, profile);
        MainWindowFixture::defaultPlayer();
        MainWindowFixture f;
        writeFile(f.dir.filePath("profile.ini"), profile);
        f.open();
        QVERIFY(f.frame->commands().execute(int(shell::Cmd::SyncLibrary)));
        transfer::CSyncDlg *dlg = f.frame->syncDialog();
        QVERIFY(dlg != nullptr);
        const auto shown = [dlg] {
            const transfer::SyncChoice c = dlg->choice();
            QStringList out = c.sources;
            if (c.fill)
                out << "fill";
            if (c.keepFreeMb != 0)
                out << QString("keep %1").arg(c.keepFreeMb);
            if (c.deleteExtras)
                out << "delete";
            if (c.shortNames)
                out << "short";
            return out;
        };
        auto *memory = dlg->findChild<QComboBox *>("syncMemory");
        QCOMPARE(memory->count(), 2); // the card is in
        QCOMPARE(memory->currentText(), QStringLiteral("Flash Memory"));
        QTEST(shown(), "flash");
        memory->setCurrentIndex(1);
        QCOMPARE(memory->currentText(), QStringLiteral("Memory Card"));
        QTEST(shown(), "card");
        // A folder added on the card is the card's; the flash keeps its own.
        f.ui.folder = QStringLiteral("/music/new");
        QTest::mouseClick(dlg->findChild<QPushButton *>("syncAddFolder"), Qt::LeftButton);
        QSettings stored(f.dir.filePath("profile.ini"), QSettings::IniFormat);
        QCOMPARE(stored.value("Sync/CardSources").toStringList().last(),
                 QStringLiteral("/music/new"));
        memory->setCurrentIndex(0);
        QTEST(shown(), "flash");
    }
};

QTEST_MAIN(TestSettings)
#include "test_settings.moc"
