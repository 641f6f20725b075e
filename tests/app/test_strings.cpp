// The string table and language packs: the built-in texts, a real pack, packs that do not
// load, and translated formats that do not match their arguments.
#include "device/zamo_listview.h"
#include "mainwindowfixture.h"
#include "res/format.h"
#include "res/stringtable.h"

#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QTest>
#include <algorithm>

using namespace tunara;
using res::StrId;
using res::StringTable;

namespace {
QString packDir() {
    return qEnvironmentVariable("TUNARA_LNG_DIR");
}

// Builds a pack from a table text with the resource compiler.
QString makePack(const QTemporaryDir &dir, const QString &name, const QByteArray &table) {
    QFile t(dir.filePath("strings.tsv"));
    if (!t.open(QIODevice::WriteOnly))
        return {};
    t.write(table);
    t.close();
    QFile q(dir.filePath(name + ".qrc"));
    if (!q.open(QIODevice::WriteOnly))
        return {};
    q.write("<RCC><qresource prefix=\"/\"><file>strings.tsv</file></qresource></RCC>");
    q.close();
    const QString out = dir.filePath(name + ".lng");
    QProcess rcc;
    rcc.setWorkingDirectory(dir.path());
    rcc.start(QStringLiteral(TUNARA_RCC), {"-binary", q.fileName(), "-o", out});
    if (!rcc.waitForFinished() || rcc.exitCode() != 0)
        return {};
    return out;
}
} // namespace

class TestStrings : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { StringTable::current().unloadPack(); }

    void builtInTexts_data() {
        QTest::addColumn<int>("id");
        QTest::addColumn<QString>("text");
        QTest::newRow("language") << 10000 << "English";
        QTest::newRow("first") << 10001
                               << "Would you like to Set the 'Play Order' of songs like what you "
                                  "see in the list?";
        QTest::newRow("escape") << 10004
                                << "Use Same folder for other files?\n(existing file will be "
                                   "overwritten.";
        QTest::newRow("last") << 10104
                              << "The memory card of this player can't play MP3 files of 300 "
                                 "kbps or more.";
        QTest::newRow("backslash") << 10034 << "From %s \r\nTo DEVICE:\\%s";
        QTest::newRow("prompt") << 32780 << "Refreshs the portable device contents\nRefresh";
        QTest::newRow("menu text") << 132817 << "&Refresh memory\tF5";
        QTest::newRow("unknown is empty") << 10101 << "";
    }
    void builtInTexts() {
        QFETCH(int, id);
        QFETCH(QString, text);
        QCOMPARE(res::str(id), text);
    }

    void koreanPack() {
        const QString pack = packDir() + "/korean.lng";
        QVERIFY2(QFile::exists(pack), qPrintable(pack));
        QCOMPARE(StringTable::packLanguageName(pack), QString::fromUtf8("한국어"));
        QVERIFY(StringTable::current().loadPack(pack));
        QCOMPARE(res::str(StrId::FlashMemory), QString::fromUtf8("플래시 메모리"));
        QCOMPARE(res::str(StrId::Ready), QString::fromUtf8("준비"));
        // a text the pack lacks stays English
        QCOMPARE(res::str(StrId::FilterMp3),
                 QStringLiteral("Music Files(*.mp3)|*.mp3|All Files(*.*)|*.*||"));
        QCOMPARE(res::fmt(StrId::TotalMb, 32L), QString::fromUtf8("전체 : 32 MB"));
        StringTable::current().unloadPack();
        QCOMPARE(res::str(StrId::Ready), QStringLiteral("Ready."));
    }

    void programStartsInKorean() {
        QTemporaryDir dir;
        QVERIFY(QFile::copy(packDir() + "/korean.lng", dir.filePath("korean.lng")));
        QSettings ini(dir.filePath("tunara.ini"), QSettings::IniFormat);
        ini.setValue("System/ResourceDLL", "korean.lng");
        ini.setValue(QString::fromUtf8("한국어") + "/HelpFile", "ko.chm");
        ini.sync();
        MainWindowFixture::defaultPlayer();
        MainWindowFixture f;
        f.dir.remove(); // use the prepared folder instead
        f.app = std::make_unique<shell::CTunaraApp>(
            shell::CTunaraApp::Paths{dir.path(), dir.filePath("profile.ini")}, f.ui);
        f.app->start();
        QVERIFY(f.app->packLoaded());
        QCOMPARE(f.app->languageSection(), QString::fromUtf8("한국어"));
        QCOMPARE(f.app->helpFile(), QStringLiteral("ko.chm"));
        f.frame = std::make_unique<shell::CMainFrame>(*f.app);
        f.frame->show();
        f.frame->deviceWatch().stop();
        f.endSplash(*f.frame);
        f.settle();
        QCOMPARE(f.frame->list(0)->headerItem()->text(0), QString::fromUtf8("이름"));
        QCOMPARE(f.frame->messageText(), QString::fromUtf8("준비"));
        QCOMPARE(f.frame->list(0)->topLevelItem(0)->text(2), QStringLiteral("MP3 파일"));
        QCOMPARE(f.frame->list(0)->statusText(),
                 QString::fromUtf8("전체 : 32 MB / 남은 공간 : 24 MB"));
        f.app->exit();
        QVERIFY(!StringTable::current().packLoaded());
    }

    // The German pack translates every text of the program, each with the same conversions.
    // A text added to strings.tsv without its German shows up here.
    void germanPackIsComplete_data() {
        QTest::addColumn<int>("id");
        QList<int> ids = StringTable::builtIn().keys();
        std::sort(ids.begin(), ids.end());
        for (int id : ids)
            QTest::addRow("%d", id) << id;
    }
    void germanPackIsComplete() {
        QFETCH(int, id);
        const QString pack = packDir() + "/german.lng";
        QCOMPARE(StringTable::packLanguageName(pack), QStringLiteral("Deutsch"));
        QVERIFY(StringTable::current().loadPack(pack));
        QVERIFY2(StringTable::current().packHas(id), "missing from app/res/lang/german");
        const QString german = res::str(id);
        const QString english = StringTable::builtIn().value(id);
        QVERIFY(!german.trimmed().isEmpty() || english.trimmed().isEmpty());
        QCOMPARE(res::conversionsOf(german), res::conversionsOf(english));
    }

    void packsThatDoNotLoad_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("asBundle");
        QTest::newRow("not a bundle")
            << QByteArray("MZ\x90\x00 this is no resource bundle") << false;
        QTest::newRow("empty file") << QByteArray() << false;
        QTest::newRow("bundle without a language name") << QByteArray("10006\tFlash\n") << true;
        QTest::newRow("bundle with an empty table") << QByteArray("# nothing\n") << true;
    }
    void packsThatDoNotLoad() {
        QFETCH(QByteArray, content);
        QFETCH(bool, asBundle);
        QTemporaryDir dir;
        QString path = dir.filePath("bad.lng");
        if (asBundle) {
            path = makePack(dir, "bad", content);
            QVERIFY(!path.isEmpty());
        } else {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(content);
        }
        QVERIFY(!StringTable::current().loadPack(path));
        QVERIFY(!StringTable::current().packLoaded());
        QCOMPARE(res::str(StrId::FlashMemory), QStringLiteral("Flash Memory"));
        QCOMPARE(StringTable::packLanguageName(path), QString());
    }

    void mismatchedFormatsFallBack_data() {
        QTest::addColumn<QByteArray>("translated");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<int>("id"); // 10043 with 32 MB; 10226 with 3 GiB of 4 GiB - 1
        QTest::newRow("int conversions for 64-bit sizes")
            << QByteArray("%d von %d Bytes") << "3221225472 of 4294967295 Bytes" << 10226;
        QTest::newRow("matching") << QByteArray("Gesamt %0.ld MB") << "Gesamt 32 MB" << 0;
        QTest::newRow("string for a number") << QByteArray("Gesamt %s MB") << "Total : 32 MB" << 0;
        QTest::newRow("extra argument") << QByteArray("%d %d") << "Total : 32 MB" << 0;
        QTest::newRow("width from an argument") << QByteArray("%*ld") << "Total : 32 MB" << 0;
        QTest::newRow("writes through %n") << QByteArray("%n%ld") << "Total : 32 MB" << 0;
        QTest::newRow("no argument") << QByteArray("Gesamt") << "Total : 32 MB" << 0;
        QTest::newRow("percent sign kept") << QByteArray("%ld MB (100%%)") << "32 MB (100%)" << 0;
    }
    void mismatchedFormatsFallBack() {
        QFETCH(QByteArray, translated);
        QFETCH(QString, shown);
        QFETCH(int, id);
        QTemporaryDir dir;
        const QString path = makePack(dir, "de",
                                      "10000\tDeutsch\n" + QByteArray::number(id ? id : 10043) +
                                          "\t" + translated + "\n");
        QVERIFY(!path.isEmpty());
        QVERIFY(StringTable::current().loadPack(path));
        if (id == int(StrId::BytesProgressNoSpeed))
            QCOMPARE(res::fmt(StrId::BytesProgressNoSpeed, 3221225472ULL, 4294967295ULL), shown);
        else
            QCOMPARE(res::fmt(StrId::TotalMb, 32L), shown);
    }

    void packPicturesReplaceOurs() {
        QTemporaryDir dir;
        QDir(dir.path()).mkpath("art/status");
        QFile pic(dir.filePath("art/status/connected.svg"));
        QVERIFY(pic.open(QIODevice::WriteOnly));
        pic.write("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"8\" height=\"8\"/>");
        pic.close();
        QFile t(dir.filePath("strings.tsv"));
        QVERIFY(t.open(QIODevice::WriteOnly));
        t.write("10000\tPictures\n");
        t.close();
        QFile q(dir.filePath("p.qrc"));
        QVERIFY(q.open(QIODevice::WriteOnly));
        q.write("<RCC><qresource prefix=\"/\"><file>strings.tsv</file>"
                "<file>art/status/connected.svg</file></qresource></RCC>");
        q.close();
        QProcess rcc;
        rcc.setWorkingDirectory(dir.path());
        rcc.start(QStringLiteral(TUNARA_RCC), {"-binary", "p.qrc", "-o", "p.lng"});
        QVERIFY(rcc.waitForFinished() && rcc.exitCode() == 0);
        QCOMPARE(StringTable::current().artworkPath("status/connected"),
                 QStringLiteral(":/tunara/art/status/connected.svg"));
        QVERIFY(StringTable::current().loadPack(dir.filePath("p.lng")));
        QCOMPARE(StringTable::current().artworkPath("status/connected"),
                 QStringLiteral(":/lngpack/art/status/connected.svg"));
        QCOMPARE(StringTable::current().artworkPath("status/disconnected"),
                 QStringLiteral(":/tunara/art/status/disconnected.svg"));
    }

    void everyArtworkLoads_data() {
        QTest::addColumn<QString>("name");
        for (const char *n : {"toolbar/refresh",
                              "toolbar/upload",
                              "toolbar/download",
                              "toolbar/delete",
                              "toolbar/rename",
                              "toolbar/favorites",
                              "toolbar/transfer",
                              "toolbar/option",
                              "toolbar/home",
                              "toolbar/help",
                              "toolbar/about",
                              "type/common",
                              "type/mp3",
                              "type/wma",
                              "type/voice",
                              "status/connected",
                              "status/disconnected",
                              "caption/flash",
                              "caption/card",
                              "app/tunara",
                              "device/luma",
                              "device/qn500",
                              "device/qn520",
                              "device/qn70",
                              "device/qnvela"})
            QTest::newRow(n) << QString::fromLatin1(n);
    }
    void everyArtworkLoads() {
        QFETCH(QString, name);
        const QIcon icon = StringTable::current().icon(name);
        for (qreal dpr : {1.0, 2.0}) {
            const QPixmap p = icon.pixmap(QSize(32, 32), dpr);
            QVERIFY(!p.isNull());
            QCOMPARE(p.width(), int(32 * dpr));
            // not blank: some pixel is drawn
            const QImage img = p.toImage();
            bool drawn = false;
            for (int y = 0; y < img.height() && !drawn; ++y)
                for (int x = 0; x < img.width() && !drawn; ++x)
                    drawn = qAlpha(img.pixel(x, y)) > 0;
            QVERIFY(drawn);
        }
    }
};

QTEST_MAIN(TestStrings)
#include "test_strings.moc"
