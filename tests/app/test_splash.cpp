// The start-up splash, the About box with its hidden credits, and the Language dialog, through
// the main window's commands with a clock the tests move by hand.
#include "device/zamo_listview.h"
#include "mainwindowfixture.h"
#include "res/format.h"
#include "res/stringtable.h"
#include "shell/creditsdlg.h"
#include "shell/languagedlg.h"

#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTimer>

using namespace tunara;
using shell::Cmd;
using shell::CSplashWnd;

namespace {
constexpr int WaitMs = 10000;

// Runs `act` on the next visible modal window named `name` (any, when empty) from inside its
// event loop, and closes whatever else opens modally.
class OnModal {
public:
    explicit OnModal(std::function<void(QWidget *)> act, const QString &name = {}) {
        m_poll.setInterval(5);
        QObject::connect(&m_poll, &QTimer::timeout, [this, act, name] {
            QWidget *w = QApplication::activeModalWidget();
            if (w == nullptr || !w->isVisible() || (!name.isEmpty() && w->objectName() != name))
                return;
            m_poll.stop();
            m_seen = true;
            act(w);
        });
        m_poll.start();
    }
    bool seen() const { return m_seen; }

private:
    QTimer m_poll;
    bool m_seen = false;
};

// Moves the pointer along the path up to rectangle `until`, with a stray move (outside every
// rectangle: neither advances nor resets) before each.
void walkPath(QWidget *w, int until) {
    for (int i = CSplashWnd::pointerPathIndex(); i < until; ++i) {
        for (QPoint at : {QPoint(2, 2), CSplashWnd::pointerPath()[size_t(i)].center()}) {
            QMouseEvent move(QEvent::MouseMove, at, w->mapToGlobal(at), Qt::NoButton, Qt::NoButton,
                             Qt::NoModifier);
            QApplication::sendEvent(w, &move);
        }
    }
}

// Pixels in the lower right of a faded-in box brighter than the built-in picture: the version.
int textPixels(QWidget *w) {
    const QImage shown = w->grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QImage picture = CSplashWnd::defaultPicture().convertToFormat(QImage::Format_RGB32);
    int n = 0;
    for (int y = shown.height() / 2; y < shown.height(); ++y)
        for (int x = shown.width() / 2; x < shown.width(); ++x)
            n += qGray(shown.pixel(x, y)) > qGray(picture.pixel(x, y)) + 60 ? 1 : 0;
    return n;
}

bool writeFile(const QString &path, const QByteArray &bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// A 24-bit BMP header claiming `w` x `h` pixels, without the pixels.
QByteArray bmpHeader(quint32 w, quint32 h) {
    QByteArray b(54, '\0');
    const quint32 fields[][2] = {{2, 54 + w * h * 3}, {10, 54}, {14, 40}, {18, w}, {22, h}};
    for (const auto &[at, v] : fields)
        for (quint32 i = 0; i < 4; ++i)
            b[at + i] = char((v >> (8 * i)) & 0xFF);
    b[0] = 'B', b[1] = 'M', b[26] = 1, b[28] = 24;
    return b;
}
} // namespace

class TestSplash : public QObject {
    Q_OBJECT
private slots:
    void init() { MainWindowFixture::defaultPlayer(); }
    void cleanup() { res::StringTable::current().unloadPack(); }

    // The start-up splash fades in, holds and goes, posting the first Refresh exactly once.
    void startupSplash_data() {
        QTest::addColumn<QString>("how");
        QTest::addColumn<qint64>("at"); // clock of the action
        QTest::newRow("runs out after fade and hold") << "wait" << qint64(500);
        QTest::newRow("left click during the fade") << "left" << qint64(300);
        QTest::newRow("right click during the fade") << "right" << qint64(300);
        QTest::newRow("key during the hold") << "key" << qint64(1050);
        QTest::newRow("middle click does not close") << "middle" << qint64(300);
        QTest::newRow("pointer path closes as any close") << "path" << qint64(200);
    }
    void startupSplash() {
        QFETCH(QString, how);
        QFETCH(qint64, at);
        qint64 now = 10000;
        MainWindowFixture f;
        f.clock = [&now] { return now; };
        f.open(true, false);
        CSplashWnd *splash = f.frame->splash();
        QSignalSpy executed(&f.frame->commands(), &shell::CommandTable::executed);
        const auto refreshes = [&executed] {
            return int(std::count_if(executed.begin(), executed.end(), [](const auto &args) {
                return args.value(0).toInt() == int(Cmd::Refresh);
            }));
        };
        // No picture file: the built-in picture at its own size, without a frame.
        QVERIFY(splash->builtInPicture());
        QCOMPARE(splash->size(), QSize(420, 260));
        QVERIFY(splash->windowFlags().testFlag(Qt::FramelessWindowHint));
        QVERIFY(splash->isVisible() && !splash->isModal());

        QVERIFY(QTest::qWaitForWindowExposed(splash));
        splash->repaint(); // the fade's clock starts once the splash is drawn
        const qint64 start = now;
        now = start + at;
        QTRY_COMPARE_WITH_TIMEOUT(splash->opacity(), int(qMin<qint64>(at, 1000) * 255 / 1000),
                                  WaitMs);
        QCOMPARE(fake::countCalls("InvokePlayer"), 0);
        if (how == "wait") {
            now = start + 1001; // faded in: hold at full opacity for 100 ms
            QTRY_COMPARE_WITH_TIMEOUT(splash->state(), CSplashWnd::State::Holding, WaitMs);
            now += 100;
            QTest::qWait(20);
            QVERIFY(splash->isVisible());
            now += 1;
        } else if (how == "key") {
            QCOMPARE(splash->state(), CSplashWnd::State::Holding);
            QTest::keyClick(splash, Qt::Key_Escape);
        } else if (how == "path") {
            walkPath(splash, CSplashWnd::PathLength);
        } else {
            QTest::mouseClick(splash, how == "left"    ? Qt::LeftButton
                                      : how == "right" ? Qt::RightButton
                                                       : Qt::MiddleButton);
        }
        if (how == "middle") {
            QTest::qWait(50);
            QVERIFY(splash->isVisible());
            QCOMPARE(refreshes(), 0);
            return;
        }
        QTRY_VERIFY_WITH_TIMEOUT(!splash->isVisible(), WaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(f.frame->list(0)->topLevelItemCount(), 3, WaitMs);
        now += 5000; // later ticks, keys and clicks change nothing
        QTest::keyClick(splash, Qt::Key_Space);
        QTest::mouseClick(splash, Qt::LeftButton);
        QTest::qWait(50);
        QCOMPARE(refreshes(), 1);
        QCOMPARE(CSplashWnd::pointerPathIndex(), 0);
    }

    // The picture named by SplashFile, decided by content; anything unusable gives ours.
    void splashPicture_data() {
        QTest::addColumn<QString>("name"); // SplashFile; empty: the default name
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QSize>("shown");
        const QSize ours(420, 260);
        QTest::newRow("no file") << ""
                                 << "none" << ours;
        QTest::newRow("PNG named tunara.dat") << ""
                                              << "PNG" << QSize(64, 48);
        QTest::newRow("BMP named tunara.dat") << ""
                                              << "BMP" << QSize(64, 48);
        QTest::newRow("file named in the ini") << "mine.img"
                                               << "PNG" << QSize(64, 48);
        QTest::newRow("corrupt bytes") << ""
                                       << "corrupt" << ours;
        QTest::newRow("header without pixels") << ""
                                               << "truncated" << ours;
        QTest::newRow("over 16 MiB") << ""
                                     << "big file" << ours;
        QTest::newRow("absurd dimensions") << ""
                                           << "big picture" << ours;
    }
    void splashPicture() {
        QFETCH(QString, name);
        QFETCH(QString, kind);
        QFETCH(QSize, shown);
        MainWindowFixture f;
        QSettings(f.dir.filePath("tunara.ini"), QSettings::IniFormat)
            .setValue("English/SplashFile", name.isEmpty() ? "tunara.dat" : name);
        const QString file = f.dir.filePath(name.isEmpty() ? "tunara.dat" : name);
        QImage picture(64, 48, QImage::Format_RGB32);
        picture.fill(Qt::darkGreen);
        if (kind == "PNG" || kind == "BMP" || kind == "big file")
            QVERIFY(picture.save(file, kind == "BMP" ? "BMP" : "PNG"));
        if (kind == "big file")
            QVERIFY(QFile(file).resize(CSplashWnd::MaxPictureBytes + 1)); // sparse, cheap
        if (kind == "corrupt")
            QVERIFY(writeFile(file, "\x89PNG\r\n\x1a\n garbage, not a picture"));
        if (kind == "truncated")
            QVERIFY(writeFile(file, bmpHeader(300, 200)));
        if (kind == "big picture")
            QVERIFY(writeFile(file, bmpHeader(60000, 60000) + QByteArray(4096, '@')));
        f.open();
        QCOMPARE(f.frame->splash()->builtInPicture(), shown == QSize(420, 260));
        QCOMPARE(f.frame->splash()->size(), shown);
    }

    // The About command: with SysReg set and Shift+Alt held the service dialog (nothing until
    // one is given), else the About box. It writes the version once faded in; completing the
    // pointer path opens the credits, in the program's own words whatever pack is loaded.
    void aboutCommand_data() {
        QTest::addColumn<int>("sysReg");
        QTest::addColumn<int>("keys");
        QTest::addColumn<bool>("service"); // a service dialog is given
        QTest::addColumn<QString>("opens");
        QTest::addColumn<qint64>("closeAt");
        QTest::addColumn<bool>("path");
        const int shiftAlt = int(Qt::ShiftModifier | Qt::AltModifier);
        const int shift = int(Qt::ShiftModifier);
        QTest::newRow("key during the fade") << 0 << 0 << true << "about" << qint64(600) << false;
        QTest::newRow("key after the fade") << 0 << 0 << true << "about" << qint64(1001) << false;
        QTest::newRow("path during the fade") << 0 << 0 << true << "credits" << qint64(100) << true;
        QTest::newRow("path after the fade") << 0 << 0 << true << "credits" << qint64(5000) << true;
        QTest::newRow("Shift+Alt, SysReg 0")
            << 0 << shiftAlt << true << "about" << qint64(0) << false;
        QTest::newRow("Shift alone, SysReg 1")
            << 1 << shift << true << "about" << qint64(0) << false;
        QTest::newRow("Shift+Alt, SysReg 7")
            << 7 << shiftAlt << true << "service" << qint64(0) << false;
        QTest::newRow("Shift+Alt, SysReg 1, the service dialog")
            << 1 << shiftAlt << false << "sysParamDlg" << qint64(0) << false;
    }
    void aboutCommand() {
        QFETCH(int, sysReg);
        QFETCH(int, keys);
        QFETCH(bool, service);
        QFETCH(QString, opens);
        QFETCH(qint64, closeAt);
        QFETCH(bool, path);
        qint64 now = 0;
        MainWindowFixture f;
        QSettings(f.dir.filePath("tunara.ini"), QSettings::IniFormat)
            .setValue("System/SysReg", sysReg);
        f.clock = [&now] { return now; };
        f.open();
        QVERIFY(res::StringTable::current().loadPack(qEnvironmentVariable("TUNARA_LNG_DIR") +
                                                     "/korean.lng"));
        f.app->keyboardModifiers = [keys] { return Qt::KeyboardModifiers(keys); };
        QStringList seen;
        if (service)
            f.frame->setServiceDialog([&seen] { seen << "service"; });
        OnModal credits(
            [&seen](QWidget *w) {
                auto *dlg = static_cast<shell::CCreditsDlg *>(w);
                const bool rising = QTest::qWaitFor([dlg] { return dlg->opacity() >= 2; });
                seen << "credits" << dlg->windowTitle() << dlg->creditsText().section('\n', 0, 0)
                     << QString::number(rising);
                QTest::keyClick(w, Qt::Key_Escape);
            },
            "creditsDialog");
        OnModal about([&](QWidget *w) {
            auto *box = qobject_cast<CSplashWnd *>(w);
            seen << w->objectName();
            if (box == nullptr) {
                w->close();
                return;
            }
            // The fade's clock starts once the box is drawn.
            if (!QTest::qWaitForWindowExposed(box))
                seen << "not exposed";
            box->repaint();
            now = closeAt;
            const int full = int(qMin<qint64>(closeAt, 1000) * 255 / 1000);
            if (!QTest::qWaitFor([box, full] { return box->opacity() >= full; }))
                seen << "no fade";
            // Either way paints the box as it stands; text is looked for once faded in.
            const bool text = box->opacity() == CSplashWnd::FullOpacity ? textPixels(box) > 20
                                                                        : box->grab().isNull();
            seen << (box->versionDrawn() ? box->versionText() : "-") << QString::number(text);
            if (path)
                walkPath(box, CSplashWnd::PathLength);
            else
                QTest::keyClick(box, Qt::Key_Return);
        });
        QVERIFY(f.frame->commands().execute(int(Cmd::About)));
        // The version from the build, in the words of the pack in use.
        const QString version = QString::fromUtf8("버전 %1 (빌드 %2)")
                                    .arg(TUNARA_EXPECTED_VERSION, TUNARA_EXPECTED_BUILD);
        QStringList expected;
        if (opens == "service" || opens == "sysParamDlg")
            expected << opens;
        if (opens == "about" || opens == "credits")
            expected << "aboutBox" << (closeAt > 1000 ? version : "-")
                     << QString::number(closeAt > 1000);
        if (opens == "credits")
            expected << "credits"
                     << "Wow! You've found the hidden credit !"
                     << "TUNARA"
                     << "1";
        QCOMPARE(seen.join(" / "), expected.join(" / "));
    }

    // The Language dialog: its entries, when OK is enabled, what OK writes and says, and what
    // the next start uses.
    void languageDialog_data() {
        QTest::addColumn<QStringList>("files"); // in the program folder
        QTest::addColumn<QString>("configured");
        QTest::addColumn<QString>("entries");    // selected one in brackets
        QTest::addColumn<QStringList>("choose"); // picked in turn
        QTest::addColumn<QString>("written");    // "-": OK stays disabled
        QTest::addColumn<QString>("nextStart");
        const QStringList both{"german.lng", "korean.lng"};
        QTest::newRow("no packs: English only, OK disabled")
            << QStringList{} << ""
            << "[English]" << QStringList{"English"} << "-"
            << "English";
        QTest::newRow("out of the box: Korean chosen")
            << both << ""
            << "Deutsch [English] 한국어" << QStringList{"한국어"} << "korean.lng"
            << "한국어";
        QTest::newRow("picking the configured entry again disables OK")
            << both << "german.lng"
            << "[Deutsch] English 한국어" << QStringList{"English", "Deutsch"} << "-"
            << "Deutsch";
        QTest::newRow("built-in entry writes an empty name")
            << QStringList{"korean.lng"} << "korean.lng"
            << "English [한국어]" << QStringList{"English"} << ""
            << "English";
        QTest::newRow("files that are no pack are not listed")
            << QStringList{"junk.lng", "old.lng", "german.lng", "notes.txt"} << "gone.lng"
            << "Deutsch [English]" << QStringList{"Deutsch"} << "german.lng"
            << "Deutsch";
        QTest::newRow("ini cannot be written: says so")
            << QStringList{"german.lng", "tunara.ini/"} << ""
            << "Deutsch [English]" << QStringList{"Deutsch"} << "unsaved"
            << "English";
    }
    void languageDialog() {
        QFETCH(QStringList, files);
        QFETCH(QString, configured);
        QFETCH(QString, entries);
        QFETCH(QStringList, choose);
        QFETCH(QString, written);
        QFETCH(QString, nextStart);
        MainWindowFixture f;
        const QString ini = f.dir.filePath("tunara.ini");
        if (!configured.isEmpty())
            QSettings(ini, QSettings::IniFormat).setValue("System/ResourceDLL", configured);
        for (const QString &file : files) {
            const QString built = qEnvironmentVariable("TUNARA_LNG_DIR") + '/' + file;
            if (file.endsWith('/')) // a folder where the ini file belongs: nothing writes it
                QVERIFY(QDir(f.dir.path()).mkpath(file));
            else
                QVERIFY(QFile::exists(built) ? QFile::copy(built, f.dir.filePath(file))
                                             : writeFile(f.dir.filePath(file), "MZ"));
        }
        f.open();
        // The program keeps the language it started with.
        const QString running = res::str(res::StrId::LanguageName);
        QString listed;
        bool okAtStart = true;
        OnModal act(
            [&](QWidget *w) {
                auto *dlg = static_cast<shell::CLanguageDlg *>(w);
                for (int i = 0; i < dlg->list()->count(); ++i) {
                    const QString name = dlg->list()->itemText(i);
                    listed += (i ? " " : "") +
                              (i == dlg->list()->currentIndex() ? '[' + name + ']' : name);
                }
                okAtStart = dlg->okButton()->isEnabled();
                for (const QString &name : choose)
                    dlg->list()->setCurrentIndex(dlg->list()->findText(name));
                if (dlg->okButton()->isEnabled())
                    QTest::mouseClick(dlg->okButton(), Qt::LeftButton);
                else
                    QTest::keyClick(dlg, Qt::Key_Escape);
            },
            "languageDialog");
        QVERIFY(f.frame->commands().execute(int(Cmd::Language)));
        QCOMPARE(listed, entries);
        QVERIFY(!okAtStart);
        if (written == "-")
            QVERIFY(f.ui.messages.isEmpty());
        else if (written == "unsaved")
            QCOMPARE(f.ui.messages,
                     QStringList{res::fmt(res::StrId::LanguageNotSaved, ini.toUtf8().constData())});
        else
            QCOMPARE(f.ui.messages, QStringList{res::str(res::StrId::RestartForLanguage)});
        if (written != "-" && written != "unsaved")
            QCOMPARE(QSettings(ini, QSettings::IniFormat).value("System/ResourceDLL"),
                     QVariant(written));
        QCOMPARE(res::str(res::StrId::LanguageName), running);
        f.frame.reset();
        f.app->exit();
        shell::CTunaraApp next({f.dir.path(), f.dir.filePath("profile.ini")}, f.ui);
        next.start();
        QCOMPARE(res::str(res::StrId::LanguageName), nextStart);
    }
};

QTEST_MAIN(TestSplash)
#include "test_splash.moc"
