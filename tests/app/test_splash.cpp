// The start-up splash, the About box with its hidden credits, and the Language dialog, through
// the main window's commands with a clock the tests move by hand.
#include "device/zamo_listview.h"
#include "mainwindowfixture.h"
#include "res/stringtable.h"
#include "shell/creditsdlg.h"
#include "shell/languagedlg.h"

#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTimer>

using namespace tunara;
using shell::Cmd;
using shell::CSplashWnd;

namespace {

constexpr int WaitMs = 10000;

QString packDir() {
    return qEnvironmentVariable("TUNARA_LNG_DIR");
}

// Runs `act` on the next modal window that opens (with that object name, if one is given),
// from inside its event loop. Stops looking when dropped.
class OnModal {
public:
    explicit OnModal(std::function<void(QWidget *)> act, const QString &name = {})
        : m_act(std::move(act)), m_name(name) {
        m_poll.setInterval(5);
        QObject::connect(&m_poll, &QTimer::timeout, [this] {
            QWidget *w = QApplication::activeModalWidget();
            if (w == nullptr || !w->isVisible() || (!m_name.isEmpty() && w->objectName() != m_name))
                return;
            m_poll.stop();
            m_seen = true;
            m_act(w);
        });
        m_poll.start();
    }
    bool seen() const { return m_seen; }

private:
    std::function<void(QWidget *)> m_act;
    QString m_name;
    QTimer m_poll;
    bool m_seen = false;
};

// Moves the pointer over a window as the user would.
void movePointer(QWidget *w, const QPoint &at) {
    QMouseEvent move(QEvent::MouseMove, at, w->mapToGlobal(at), Qt::NoButton, Qt::NoButton,
                     Qt::NoModifier);
    QApplication::sendEvent(w, &move);
}

// Walks the pointer path from where it stands up to (not including) rectangle `until`, with a
// stray move between rectangles.
void walkPath(QWidget *w, int until) {
    const auto &path = CSplashWnd::pointerPath();
    for (int i = CSplashWnd::pointerPathIndex(); i < until; ++i) {
        movePointer(w, QPoint(2, 2)); // outside every rectangle: neither advances nor resets
        movePointer(w, path[size_t(i)].center());
    }
}

// Pixels of the lower right of a faded-in window that differ from the built-in picture: the
// version text, written there in white.
int textPixels(QWidget *w) {
    const QImage shown = w->grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QImage picture = CSplashWnd::defaultPicture().convertToFormat(QImage::Format_RGB32);
    int n = 0;
    for (int y = shown.height() / 2; y < shown.height(); ++y)
        for (int x = shown.width() / 2; x < shown.width(); ++x) {
            const QRgb a = shown.pixel(x, y);
            const QRgb b = picture.pixel(x, y);
            n += qGray(a) > qGray(b) + 60 ? 1 : 0;
        }
    return n;
}

bool writeFile(const QString &path, const QByteArray &bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// A 24-bit BMP header claiming a picture of `w` x `h` pixels, without the pixels.
QByteArray bmpHeader(int w, int h) {
    QByteArray b(54, '\0');
    auto put32 = [&b](int at, quint32 v) {
        for (int i = 0; i < 4; ++i)
            b[at + i] = char((v >> (8 * i)) & 0xFF);
    };
    b[0] = 'B';
    b[1] = 'M';
    put32(2, 54u + quint32(w) * quint32(h) * 3u);
    put32(10, 54);
    put32(14, 40);
    put32(18, quint32(w));
    put32(22, quint32(h));
    b[26] = 1;
    b[28] = 24;
    return b;
}

} // namespace

class TestSplash : public QObject {
    Q_OBJECT
private slots:
    void init() { MainWindowFixture::defaultPlayer(); }
    void cleanup() { res::StringTable::current().unloadPack(); }

    // The start-up splash fades in, holds, goes, and posts the first Refresh exactly once,
    // however it ends.
    void startupSplash_data() {
        QTest::addColumn<QString>("how");
        QTest::addColumn<qint64>("at"); // clock when the action happens
        QTest::addColumn<bool>("ends");
        QTest::newRow("runs out after fade and hold") << "wait" << qint64(0) << true;
        QTest::newRow("left click during the fade") << "left" << qint64(300) << true;
        QTest::newRow("right click during the fade") << "right" << qint64(300) << true;
        QTest::newRow("key during the hold") << "key" << qint64(1050) << true;
        QTest::newRow("middle click does not close") << "middle" << qint64(300) << false;
        QTest::newRow("pointer path") << "path" << qint64(200) << true;
    }
    void startupSplash() {
        QFETCH(QString, how);
        QFETCH(qint64, at);
        QFETCH(bool, ends);
        qint64 now = 10000;
        MainWindowFixture f;
        f.clock = [&now] { return now; };
        f.open(true, false);
        CSplashWnd *splash = f.frame->splash();
        QVERIFY(splash != nullptr);
        QSignalSpy executed(&f.frame->commands(), &shell::CommandTable::executed);
        const auto refreshes = [&executed] {
            int n = 0;
            for (const QList<QVariant> &args : executed)
                n += args.value(0).toInt() == int(Cmd::Refresh) ? 1 : 0;
            return n;
        };
        // No picture file: the built-in one at its own size, centred, without a frame.
        QVERIFY(splash->builtInPicture());
        QCOMPARE(splash->pictureSize(), QSize(420, 260));
        QCOMPARE(splash->size(), QSize(420, 260));
        QVERIFY(splash->windowFlags().testFlag(Qt::FramelessWindowHint));
        QVERIFY(splash->isVisible());
        QVERIFY(!splash->isModal());

        const qint64 start = now;
        now = start + at;
        QTRY_COMPARE_WITH_TIMEOUT(splash->opacity(), int(qMin<qint64>(at, 1000) * 255 / 1000),
                                  WaitMs);
        QCOMPARE(refreshes(), 0);
        QCOMPARE(fake::countCalls("InvokePlayer"), 0);
        if (how == "wait") {
            now = start + 500;
            QTRY_COMPARE_WITH_TIMEOUT(splash->opacity(), 127, WaitMs);
            now = start + 1001; // the fade is over: hold at full opacity
            QTRY_COMPARE_WITH_TIMEOUT(splash->state(), CSplashWnd::State::Holding, WaitMs);
            QCOMPARE(splash->opacity(), 255);
            now += 100; // held for exactly 100 ms: still there
            QTest::qWait(20);
            QVERIFY(splash->isVisible());
            now += 1;
        } else if (how == "left" || how == "right" || how == "middle") {
            const Qt::MouseButton button = how == "left"    ? Qt::LeftButton
                                           : how == "right" ? Qt::RightButton
                                                            : Qt::MiddleButton;
            QTest::mouseClick(splash, button, Qt::NoModifier, QPoint(200, 200));
        } else if (how == "key") {
            QTRY_COMPARE_WITH_TIMEOUT(splash->state(), CSplashWnd::State::Holding, WaitMs);
            QTest::keyClick(splash, Qt::Key_Escape);
        } else if (how == "path") {
            walkPath(splash, CSplashWnd::PathLength);
            QCOMPARE(CSplashWnd::pointerPathIndex(), 0);
        }
        if (!ends) {
            QTest::qWait(50);
            QVERIFY(splash->isVisible());
            QCOMPARE(refreshes(), 0);
            return;
        }
        QTRY_VERIFY_WITH_TIMEOUT(!splash->isVisible(), WaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(refreshes(), 1, WaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(f.frame->list(0)->topLevelItemCount(), 3, WaitMs); // panes read
        // Later clicks, keys and ticks change nothing: Refresh came once.
        now += 5000;
        QTest::keyClick(splash, Qt::Key_Space);
        QTest::mouseClick(splash, Qt::LeftButton);
        QTest::qWait(50);
        QCOMPARE(refreshes(), 1);
        QCOMPARE(fake::countCalls("GetPlayerVersion"), 1);
    }

    // The picture named by SplashFile, decided by content; anything unusable gives ours.
    void splashPicture_data() {
        QTest::addColumn<QString>("key"); // SplashFile of the English section; empty: none
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QSize>("shown");
        QTest::addColumn<bool>("builtIn");
        const QSize ours(420, 260);
        QTest::newRow("no file") << ""
                                 << "none" << ours << true;
        QTest::newRow("PNG named tunara.dat") << ""
                                              << "png" << QSize(64, 48) << false;
        QTest::newRow("BMP named tunara.dat") << ""
                                              << "bmp" << QSize(30, 20) << false;
        QTest::newRow("file named in the ini") << "pics/mine.img"
                                               << "png" << QSize(64, 48) << false;
        QTest::newRow("corrupt bytes") << ""
                                       << "corrupt" << ours << true;
        QTest::newRow("truncated BMP") << ""
                                       << "truncated" << ours << true;
        QTest::newRow("over 16 MiB") << ""
                                     << "huge file" << ours << true;
        QTest::newRow("absurd dimensions") << ""
                                           << "huge picture" << ours << true;
        QTest::newRow("empty file") << ""
                                    << "empty" << ours << true;
    }
    void splashPicture() {
        QFETCH(QString, key);
        QFETCH(QString, kind);
        QFETCH(QSize, shown);
        QFETCH(bool, builtIn);
        MainWindowFixture f;
        if (!key.isEmpty()) {
            QSettings ini(f.dir.filePath("tunara.ini"), QSettings::IniFormat);
            ini.setValue("English/SplashFile", key);
            ini.sync();
            QDir(f.dir.path()).mkpath("pics");
        }
        const QString file = f.dir.filePath(key.isEmpty() ? "tunara.dat" : key);
        QImage picture(64, 48, QImage::Format_RGB32);
        picture.fill(Qt::darkGreen);
        if (kind == "png") {
            QVERIFY(picture.save(file, "PNG"));
        } else if (kind == "bmp") {
            QVERIFY(picture.copy(0, 0, 30, 20).save(file, "BMP"));
        } else if (kind == "corrupt") {
            QVERIFY(writeFile(file, QByteArray("\x89PNG\r\n\x1a\n garbage, not a picture")));
        } else if (kind == "truncated") {
            QVERIFY(writeFile(file, bmpHeader(300, 200)));
        } else if (kind == "huge file") {
            QVERIFY(picture.save(file, "PNG"));
            QFile big(file);
            QVERIFY(big.resize(CSplashWnd::MaxPictureBytes + 1)); // sparse, cheap
        } else if (kind == "huge picture") {
            QByteArray bytes = bmpHeader(60000, 60000);
            bytes.append(4096, '\x40');
            QVERIFY(writeFile(file, bytes));
        } else if (kind == "empty") {
            QVERIFY(writeFile(file, {}));
        }
        f.open();
        CSplashWnd *splash = f.frame->splash();
        QCOMPARE(splash->builtInPicture(), builtIn);
        QCOMPARE(splash->pictureSize(), shown);
        QCOMPARE(splash->size(), shown);
    }

    // The About command: the About box, or with SysReg set and Shift+Alt held the service
    // dialog (nothing until one is given).
    void aboutCommand_data() {
        QTest::addColumn<int>("sysReg");
        QTest::addColumn<int>("keys");
        QTest::addColumn<bool>("serviceGiven");
        QTest::addColumn<bool>("about");
        QTest::addColumn<bool>("service");
        const int shiftAlt = int(Qt::ShiftModifier | Qt::AltModifier);
        QTest::newRow("plain") << 0 << 0 << true << true << false;
        QTest::newRow("Shift+Alt with SysReg 0") << 0 << shiftAlt << true << true << false;
        QTest::newRow("Shift+Alt with SysReg 1") << 1 << shiftAlt << true << false << true;
        QTest::newRow("Shift+Alt with SysReg 7") << 7 << shiftAlt << true << false << true;
        QTest::newRow("Shift+Alt, no service dialog yet")
            << 1 << shiftAlt << false << false << false;
        QTest::newRow("Shift alone with SysReg 1")
            << 1 << int(Qt::ShiftModifier) << true << true << false;
        QTest::newRow("Alt alone with SysReg 1")
            << 1 << int(Qt::AltModifier) << true << true << false;
    }
    void aboutCommand() {
        QFETCH(int, sysReg);
        QFETCH(int, keys);
        QFETCH(bool, serviceGiven);
        QFETCH(bool, about);
        QFETCH(bool, service);
        MainWindowFixture f;
        QSettings ini(f.dir.filePath("tunara.ini"), QSettings::IniFormat);
        ini.setValue("System/SysReg", sysReg);
        ini.sync();
        f.open();
        f.app->keyboardModifiers = [keys] { return Qt::KeyboardModifiers(keys); };
        int serviceRuns = 0;
        if (serviceGiven)
            f.frame->setServiceDialog([&serviceRuns] { ++serviceRuns; });
        QString opened;
        OnModal closer([&opened](QWidget *w) {
            opened = w->objectName();
            QTest::keyClick(w, Qt::Key_Space);
        });
        QVERIFY(f.frame->commands().action(Cmd::About)->isEnabled());
        QVERIFY(f.frame->commands().execute(int(Cmd::About)));
        QCOMPARE(opened, about ? QStringLiteral("aboutBox") : QString());
        QCOMPARE(serviceRuns, service ? 1 : 0);
    }

    // The About box writes the version only once faded in; a key before that closes it
    // without. Completing the pointer path opens the credits.
    void aboutBox_data() {
        QTest::addColumn<qint64>("closeAt");
        QTest::addColumn<QString>("how");
        QTest::addColumn<bool>("version");
        QTest::addColumn<bool>("credits");
        QTest::newRow("key during the fade") << qint64(600) << "key" << false << false;
        QTest::newRow("click after the fade") << qint64(1001) << "click" << true << false;
        QTest::newRow("key long after") << qint64(60000) << "key" << true << false;
        QTest::newRow("pointer path during the fade") << qint64(100) << "path" << false << true;
        QTest::newRow("pointer path after the fade") << qint64(2000) << "path" << true << true;
    }
    void aboutBox() {
        QFETCH(qint64, closeAt);
        QFETCH(QString, how);
        QFETCH(bool, version);
        QFETCH(bool, credits);
        qint64 now = 0;
        MainWindowFixture f;
        f.clock = [&now] { return now; };
        f.open();
        // The credits show the program's own texts whatever pack is in use.
        QVERIFY(res::StringTable::current().loadPack(packDir() + "/korean.lng"));

        struct Seen {
            bool modal = false;
            bool frameless = false;
            QSize size;
            int textPixels = -1;
            bool drawn = false;
            QString text;
            QString creditsTitle;
            QString creditsText;
            int creditsOpacity = 0;
        } seen;
        std::unique_ptr<OnModal> creditsWatch;
        OnModal aboutWatch([&](QWidget *w) {
            auto *about = qobject_cast<CSplashWnd *>(w);
            if (about == nullptr) {
                w->close();
                return;
            }
            seen.modal = about->isModal();
            seen.frameless = about->windowFlags().testFlag(Qt::FramelessWindowHint);
            seen.size = about->size();
            now = closeAt;
            (void)QTest::qWaitFor(
                [about, closeAt] {
                    return about->opacity() >= qMin(255, int(closeAt * 255 / 1000));
                },
                WaitMs);
            if (about->opacity() == CSplashWnd::FullOpacity)
                seen.textPixels = textPixels(about);
            else
                about->grab(); // a paint during the fade
            seen.drawn = about->versionDrawn();
            seen.text = about->versionText();
            if (how == "path") {
                creditsWatch = std::make_unique<OnModal>(
                    [&seen](QWidget *c) {
                        auto *dlg = qobject_cast<shell::CCreditsDlg *>(c);
                        if (dlg != nullptr) {
                            seen.creditsTitle = dlg->windowTitle();
                            seen.creditsText = dlg->creditsText();
                            (void)QTest::qWaitFor([dlg] { return dlg->opacity() >= 2; }, WaitMs);
                            seen.creditsOpacity = dlg->opacity();
                        }
                        QTest::keyClick(c, Qt::Key_Escape);
                    },
                    "creditsDialog");
                walkPath(about, CSplashWnd::PathLength);
            } else if (how == "click") {
                QTest::mouseClick(about, Qt::LeftButton);
            } else {
                QTest::keyClick(about, Qt::Key_Return);
            }
        });
        QVERIFY(f.frame->commands().execute(int(Cmd::About)));
        QVERIFY(aboutWatch.seen());
        QVERIFY(seen.modal);
        QVERIFY(seen.frameless);
        QCOMPARE(seen.size, QSize(420, 260));
        QCOMPARE(seen.drawn, version);
        if (version)
            QVERIFY2(seen.textPixels > 20, qPrintable(QString::number(seen.textPixels)));
        // The version as the build set it, in the words of the pack in use.
        QCOMPARE(seen.text, QString::fromUtf8("버전 %1 (빌드 %2)")
                                .arg(TUNARA_EXPECTED_VERSION, TUNARA_EXPECTED_BUILD));
        QCOMPARE(creditsWatch != nullptr && creditsWatch->seen(), credits);
        if (credits) {
            QCOMPARE(seen.creditsTitle, QStringLiteral("Wow! You've found the hidden credit !"));
            QVERIFY(seen.creditsText.startsWith(QStringLiteral("TUNARA\n")));
            QVERIFY(seen.creditsOpacity >= 2);
        }
    }

    // The path is kept across windows: half in one About box, the rest in the next.
    void pointerPathAcrossWindows() {
        MainWindowFixture f;
        f.open();
        bool credits = false;
        const int half = CSplashWnd::PathLength / 2;
        for (int round = 0; round < 2; ++round) {
            std::unique_ptr<OnModal> creditsWatch;
            OnModal aboutWatch([&](QWidget *w) {
                creditsWatch = std::make_unique<OnModal>(
                    [&credits](QWidget *c) {
                        credits = qobject_cast<shell::CCreditsDlg *>(c) != nullptr;
                        QTest::keyClick(c, Qt::Key_Escape);
                    },
                    "creditsDialog");
                walkPath(w, round == 0 ? half : CSplashWnd::PathLength);
                if (round == 0)
                    QTest::keyClick(w, Qt::Key_Space);
            });
            QVERIFY(f.frame->commands().execute(int(Cmd::About)));
            QVERIFY(aboutWatch.seen());
            QCOMPARE(CSplashWnd::pointerPathIndex(), round == 0 ? half : 0);
            QCOMPARE(credits, round == 1);
        }
    }

    // The Language dialog: which entries it lists, when OK is enabled, what OK writes, and
    // what the next start uses.
    void languageDialog_data() {
        QTest::addColumn<QStringList>("packs"); // files copied into the program folder
        QTest::addColumn<QString>("configured");
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QString>("selected");
        QTest::addColumn<QStringList>("choose"); // entries picked in turn; last is kept
        QTest::addColumn<bool>("okEnabled");
        QTest::addColumn<QString>("written");   // "-" : nothing written, no message
        QTest::addColumn<QString>("nextStart"); // language of the next start
        const QString ko = QString::fromUtf8("한국어");
        QTest::newRow("no packs: English only, OK disabled")
            << QStringList{} << "" << QStringList{"English"} << "English" << QStringList{"English"}
            << false << "-"
            << "English";
        QTest::newRow("out of the box: three entries, Korean chosen")
            << QStringList{"german.lng", "korean.lng"} << ""
            << QStringList{"Deutsch", "English", ko} << "English" << QStringList{ko} << true
            << "korean.lng" << ko;
        QTest::newRow("configured entry selected; picking it again disables OK")
            << QStringList{"german.lng", "korean.lng"} << "german.lng"
            << QStringList{"Deutsch", "English", ko} << "Deutsch"
            << QStringList{"English", "Deutsch"} << false << "-"
            << "Deutsch";
        QTest::newRow("built-in entry writes an empty name")
            << QStringList{"korean.lng"} << "korean.lng" << QStringList{"English", ko} << ko
            << QStringList{"English"} << true << ""
            << "English";
        QTest::newRow("files that are no pack are not listed")
            << QStringList{"junk.lng", "empty.lng", "german.lng", "readme.txt"} << ""
            << QStringList{"Deutsch", "English"} << "English" << QStringList{"Deutsch"} << true
            << "german.lng"
            << "Deutsch";
        QTest::newRow("configured pack missing: English selected")
            << QStringList{"german.lng"} << "gone.lng" << QStringList{"Deutsch", "English"}
            << "English" << QStringList{"Deutsch"} << true << "german.lng"
            << "Deutsch";
        QTest::newRow("ini cannot be written: says so")
            << QStringList{"german.lng", "tunara.ini/"} << "" << QStringList{"Deutsch", "English"}
            << "English" << QStringList{"Deutsch"} << true << "unsaved"
            << "English";
    }
    void languageDialog() {
        QFETCH(QStringList, packs);
        QFETCH(QString, configured);
        QFETCH(QStringList, entries);
        QFETCH(QString, selected);
        QFETCH(QStringList, choose);
        QFETCH(bool, okEnabled);
        QFETCH(QString, written);
        QFETCH(QString, nextStart);
        MainWindowFixture f;
        const QString iniPath = f.dir.filePath("tunara.ini");
        if (!configured.isEmpty()) {
            QSettings ini(iniPath, QSettings::IniFormat);
            ini.setValue("System/ResourceDLL", configured);
            ini.sync();
        }
        for (const QString &file : packs) {
            if (file.endsWith('/')) // a folder where the ini file should be: nothing can write it
                QVERIFY(QDir(f.dir.path()).mkpath(file));
            else if (file == "junk.lng" || file == "readme.txt")
                QVERIFY(writeFile(f.dir.filePath(file), "MZ not a pack"));
            else if (file == "empty.lng")
                QVERIFY(writeFile(f.dir.filePath(file), {}));
            else
                QVERIFY(QFile::copy(packDir() + '/' + file, f.dir.filePath(file)));
        }
        f.open();
        // The program runs in the language configured at its start, whatever is chosen.
        const QString running = res::str(res::StrId::LanguageName);
        const QString restart = res::str(res::StrId::RestartForLanguage);
        QStringList listed;
        QString initially;
        bool okAtStart = true;
        bool okAfter = false;
        QString caption;
        OnModal act([&](QWidget *w) {
            auto *dlg = qobject_cast<shell::CLanguageDlg *>(w);
            if (dlg == nullptr) {
                w->close();
                return;
            }
            caption = dlg->windowTitle();
            for (int i = 0; i < dlg->list()->count(); ++i)
                listed << dlg->list()->itemText(i);
            initially = dlg->list()->currentText();
            okAtStart = dlg->okButton()->isEnabled();
            for (const QString &name : choose)
                dlg->list()->setCurrentIndex(dlg->list()->findText(name));
            okAfter = dlg->okButton()->isEnabled();
            if (okAfter)
                QTest::mouseClick(dlg->okButton(), Qt::LeftButton);
            else
                dlg->reject();
        });
        QVERIFY(f.frame->commands().execute(int(Cmd::Language)));
        QVERIFY(act.seen());
        QCOMPARE(caption, res::str(res::StrId::LanguageCaption));
        if (running == "English")
            QCOMPARE(caption, QStringLiteral("Language"));
        QCOMPARE(listed, entries);
        QCOMPARE(initially, selected);
        QVERIFY(!okAtStart);
        QCOMPARE(okAfter, okEnabled);
        if (written == "-") {
            QVERIFY(f.ui.messages.isEmpty());
        } else if (written == "unsaved") {
            QCOMPARE(f.ui.messages.size(), 1);
            QVERIFY2(f.ui.messages[0].startsWith("The language setting could not be saved"),
                     qPrintable(f.ui.messages[0]));
        } else {
            QCOMPARE(f.ui.messages, QStringList{restart});
            if (running == "English")
                QCOMPARE(restart, QStringLiteral("Restart TUNARA to apply new language setting"));
            QSettings ini(iniPath, QSettings::IniFormat);
            QVERIFY(ini.contains("System/ResourceDLL"));
            QCOMPARE(ini.value("System/ResourceDLL").toString(), written);
        }
        // The running program keeps its language; the next start takes the new one.
        QCOMPARE(res::str(res::StrId::LanguageName), running);
        QCOMPARE(running, configured == "german.lng"   ? QStringLiteral("Deutsch")
                          : configured == "korean.lng" ? QString::fromUtf8("한국어")
                                                       : QStringLiteral("English"));
        f.frame.reset();
        f.app->exit();
        shell::CTunaraApp next({f.dir.path(), f.dir.filePath("profile.ini")}, f.ui);
        next.start();
        QCOMPARE(res::str(res::StrId::LanguageName), nextStart);
        next.exit();
    }
};

QTEST_MAIN(TestSplash)
#include "test_splash.moc"
