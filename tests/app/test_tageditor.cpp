// The ID3 tag editor through its real widgets: loading tags written by mutagen, saving what the
// user changed (read back by mutagen, audio compared byte for byte), the genre box, the refusals
// and bad files, caption highlighting, and the pane's Edit ID3 TAG command.
#include "chrome/fieldlabel.h"
#include "chrome/scrolltext.h"
#include "mainwindowfixture.h"
#include "media/genres.h"
#include "media/mediatexts.h"
#include "media/mpeginfo.h"
#include "media/tagengine.h"
#include "mediatestutil.h"
#include "mutagenjudge.h"
#include "shell/genrecombo.h"
#include "shell/tageditordlg.h"

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <algorithm>

#include <sys/stat.h>

using namespace tunara;
using shell::CTagEditorDlg;
using Field = CTagEditorDlg::Field;

namespace {

const QString NotMp3 = QStringLiteral("This file is not the MP3 file!");
const QString NotSelected = QStringLiteral("Not selected the mp3 file!");
const QString EnterInteger = QStringLiteral("Please enter an integer.");
const QString NoHeader = QStringLiteral("ERROR : Can't find MP3 frame header.");

std::string local(const QString &path) {
    return QFile::encodeName(path).toStdString();
}

// Everything after the leading tag: what no tag edit may touch.
mediatest::Bytes audioOf(const QString &path) {
    const mediatest::Bytes all = mediatest::readFile(local(path));
    const auto tag = media::leadingTagSize(all);
    if (!tag || *tag > all.size())
        return {};
    return mediatest::Bytes(all.begin() + std::ptrdiff_t(*tag), all.end());
}

Field fieldNamed(const QString &name) {
    static const QStringList names{"track",   "title",    "artist", "album",     "year", "genre",
                                   "comment", "composer", "orig",   "copyright", "url",  "encoder"};
    return static_cast<Field>(names.indexOf(name));
}

QString shown(const CTagEditorDlg &dlg, Field f) {
    return f == Field::Genre ? dlg.genreCombo()->currentText() : dlg.edit(f)->text();
}

// "name=value" pairs of the controls, for the fields named in `expected`.
QStringList shownPairs(const CTagEditorDlg &dlg, const QStringList &expected) {
    QStringList out;
    for (const QString &pair : expected) {
        const QString name = pair.section(QLatin1Char('='), 0, 0);
        out << name + QLatin1Char('=') + shown(dlg, fieldNamed(name));
    }
    return out;
}

QString frameText(const mediatest::MutagenView &m, const std::string &id) {
    // An empty text frame is not stored at all; both read as an empty text.
    const auto it = m.text.find(id);
    if (it == m.text.end())
        return QString();
    QStringList parts;
    for (const std::string &s : it->second)
        parts << QString::fromStdString(s);
    return parts.join(QLatin1Char('/'));
}

// A user action on an open editor, written as "what:argument".
void act(CTagEditorDlg &dlg, const QString &action) {
    const QString what = action.section(QLatin1Char(':'), 0, 0);
    const QString arg = action.section(QLatin1Char(':'), 1);
    if (what == QLatin1String("row")) {
        dlg.genreCombo()->setCurrentIndex(arg.toInt());
    } else if (what == QLatin1String("typeGenre")) {
        dlg.genreCombo()->setFocus();
        dlg.genreCombo()->lineEdit()->selectAll();
        if (arg.isEmpty())
            QTest::keyClick(dlg.genreCombo(), Qt::Key_Backspace);
        // Once the list has dropped down, keys reach the list first, as they do for a user.
        for (QChar c : arg) {
            QWidget *target = dlg.genreCombo()->view()->isVisible()
                                  ? static_cast<QWidget *>(dlg.genreCombo()->view())
                                  : dlg.genreCombo();
            QTest::keyClick(target, char(c.unicode()));
        }
        if (dlg.genreCombo()->view()->isVisible())
            dlg.genreCombo()->hidePopup();
    } else if (!what.isEmpty()) {
        QLineEdit *edit = dlg.edit(fieldNamed(what));
        edit->setFocus();
        edit->selectAll();
        const bool ascii =
            std::all_of(arg.begin(), arg.end(), [](QChar c) { return c.unicode() < 128; });
        if (arg.isEmpty())
            QTest::keyClick(edit, Qt::Key_Delete);
        else if (ascii)
            QTest::keyClicks(edit, arg);
        else
            edit->insert(arg); // what typing does, for characters the test keyboard lacks
    }
}

} // namespace

class TestTagEditor : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    QString m_plain; // a real MP3 stream without a tag
    int m_serial = 0;

    // A copy of the stream with the tag mutagen writes from `snippet` (none when empty).
    QString mp3(const QString &snippet, const QString &name = QString()) {
        const QString path =
            m_dir.filePath(name.isEmpty() ? QStringLiteral("f%1.mp3").arg(++m_serial) : name);
        QFile::remove(path);
        if (!QFile::copy(m_plain, path))
            return {};
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner);
        if (!snippet.isEmpty() && !mediatest::mutagenWrite(local(path), snippet.toStdString(), 3))
            return {};
        return path;
    }

    std::unique_ptr<CTagEditorDlg> open(TestUi &ui, const QString &path) {
        auto dlg = std::make_unique<CTagEditorDlg>(ui);
        dlg->setPath(path);
        dlg->show();
        return dlg;
    }

private slots:
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        const QString wav = m_dir.filePath("tone.wav");
        m_plain = m_dir.filePath("plain.mp3");
        QCOMPARE(mediatest::run({TUNARA_SOX, "-n", "-r", "44100", "-c", "2", "-b", "16", local(wav),
                                 "synth", "0.5", "sine", "440"})
                     .status,
                 0);
        QCOMPARE(mediatest::run({TUNARA_LAME, "--quiet", "-b", "128", local(wav), local(m_plain)})
                     .status,
                 0);
    }

    // What a tag holds shows in the controls; UpDate writes the controls, after the user's
    // action, as an ID3v2.3 tag that mutagen reads back, every audio byte unchanged.
    void loadEditSave_data() {
        QTest::addColumn<QString>("snippet");
        QTest::addColumn<QStringList>("shownBefore");
        QTest::addColumn<QString>("action");
        QTest::addColumn<QStringList>("saved");
        const QString long5000 = QString(5000, QLatin1Char('x'));
        QTest::newRow("no tag: empty fields, all twelve frames created")
            << QString() << QStringList{"track=0", "title=", "album=", "genre="} << QString()
            << QStringList{"TRCK=0", "TIT2=", "TPE1=", "TALB=", "TYER=", "TCON=",
                           "TCOM=",  "TOPE=", "TCOP=", "TENC=", "COMM=", "WXXX="};
        QTest::newRow("(17) selects Rock, saved as (17)Rock")
            << "tags.add(TCON(encoding=0, text=['(17)']))" << QStringList{"genre=Rock"} << QString()
            << QStringList{"TCON=(17)Rock"};
        QTest::newRow("(17)Rock selects Rock")
            << "tags.add(TCON(encoding=0, text=['(17)Rock']))" << QStringList{"genre=Rock"}
            << QString() << QStringList{"TCON=(17)Rock"};
        QTest::newRow("Acapella, row 0, saves an empty genre")
            << "tags.add(TCON(encoding=0, text=['(17)']))" << QStringList{"genre=Rock"} << "row:0"
            << QStringList{"TCON="};
        QTest::newRow("an emptied genre box saves an empty genre")
            << "tags.add(TCON(encoding=0, text=['(13)Pop']))" << QStringList{"genre=Pop"}
            << "typeGenre:" << QStringList{"TCON="};
        QTest::newRow("typing rock selects Rock over Hard Rock and Rock & Roll")
            << QString() << QStringList{"genre="} << "typeGenre:rock"
            << QStringList{"TCON=(17)Rock"};
        QTest::newRow("typing pop selects Pop over Pop-Folk and Pop/Funk")
            << QString() << QStringList{"genre="} << "typeGenre:pop" << QStringList{"TCON=(13)Pop"};
        QTest::newRow("a genre the list lacks is kept")
            << "tags.add(TCON(encoding=0, text=['Synthwave']))" << QStringList{"genre=Synthwave"}
            << "title:t" << QStringList{"TCON=Synthwave", "TIT2=t"};
        QTest::newRow("3/12 shows 3 and saves 3")
            << "tags.add(TRCK(encoding=0, text=['3/12']))" << QStringList{"track=3"} << QString()
            << QStringList{"TRCK=3"};
        QTest::newRow("changed title and artist, other fields kept")
            << "tags.add(TIT2(encoding=0, text=['Old']));tags.add(TALB(encoding=0, text=['Alb']));"
               "tags.add(COMM(encoding=0, lang='eng', desc='', text=['note']));"
               "tags.add(WXXX(encoding=0, desc='', url='http://x.example/'))"
            << QStringList{"title=Old", "album=Alb", "comment=note", "url=http://x.example/"}
            << "title:Überschrift ★"
            << QStringList{"TIT2=Überschrift ★", "TALB=Alb", "COMM=note", "WXXX=http://x.example/"};
        QTest::newRow("a text past 1024 characters is kept whole")
            << QStringLiteral("tags.add(TIT2(encoding=0, text=['x'*5000]))")
            << QStringList{"title=" + long5000} << "artist:A" << QStringList{"TIT2=" + long5000};
    }
    void loadEditSave() {
        QFETCH(QString, snippet);
        QFETCH(QStringList, shownBefore);
        QFETCH(QString, action);
        QFETCH(QStringList, saved);
        const QString path = mp3(snippet);
        QVERIFY(!path.isEmpty());
        const mediatest::Bytes audio = audioOf(path);
        QVERIFY(!audio.empty());

        TestUi ui;
        auto dlg = open(ui, path);
        QCOMPARE(shownPairs(*dlg, shownBefore), shownBefore);
        QVERIFY(dlg->updateButton()->isEnabled());
        act(*dlg, action);
        QTest::mouseClick(dlg->updateButton(), Qt::LeftButton);
        QCOMPARE(ui.messages, QStringList());
        QCOMPARE(dlg->result(), int(QDialog::Accepted));

        const mediatest::MutagenView m = mediatest::mutagenRead(local(path));
        QVERIFY2(m.ok, m.error.c_str());
        QCOMPARE(m.version, 3);
        QStringList got;
        for (const QString &pair : saved) {
            const std::string id = pair.section(QLatin1Char('='), 0, 0).toStdString();
            const QString value = id == "COMM"   ? QString::fromStdString(m.comment)
                                  : id == "WXXX" ? QString::fromStdString(m.url)
                                                 : frameText(m, id);
            got << QString::fromStdString(id) + QLatin1Char('=') + value;
        }
        QCOMPARE(got, saved);
        QVERIFY(audioOf(path) == audio);
    }

    // UpDate refuses bad input with a message, writes nothing and stays open.
    void updateRefusals_data() {
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("pathBox"); // "" keeps the loaded path; "-" empties the box
        QTest::addColumn<QString>("message"); // empty: saved and closed
        QTest::newRow("track not an integer") << "track:x3" << QString() << EnterInteger;
        QTest::newRow("track with text after the number")
            << "track:3/12" << QString() << EnterInteger;
        QTest::newRow("empty path") << QString() << "-" << NotSelected;
        QTest::newRow(".mp3.bak fails") << QString() << "song.mp3.bak" << NotMp3;
        QTest::newRow("no extension fails") << QString() << "song" << NotMp3;
        QTest::newRow(".MP3 passes") << "title:upper"
                                     << "UPPER.MP3" << QString();
        QTest::newRow("vanished file") << QString() << "gone.mp3"
                                       << "Cannot open '%1'. Nothing was written.";
        QTest::newRow("folder as path")
            << QString() << "folder.mp3"
            << "'%1' is a folder, not an MP3 file. Nothing was written.";
        QTest::newRow("read-only file typed into the path box")
            << QString() << "readonly.mp3"
            << "'%1' is read-only. The tag was not saved.";
        QTest::newRow("URL outside Latin-1")
            << "url:http://例え.example/" << QString()
            << "The URL may hold only Latin-1 characters. The tag was not saved.";
        QTest::newRow("2.2 frame without a 2.3 form")
            << QString() << "v22.mp3"
            << "The tag of '%1' holds a frame that would be lost: it cannot be read, or the saved "
               "tag has no form for it. The tag was not saved.";
    }
    void updateRefusals() {
        QFETCH(QString, action);
        QFETCH(QString, pathBox);
        QFETCH(QString, message);
        const QString path = mp3("tags.add(TIT2(encoding=0, text=['Before']))");
        QString target = path;
        if (pathBox == QLatin1String("-"))
            target.clear();
        else if (pathBox == QLatin1String("UPPER.MP3"))
            target = mp3("tags.add(TIT2(encoding=0, text=['Before']))", pathBox);
        else if (pathBox == QLatin1String("readonly.mp3"))
            target = mp3(QString(), pathBox),
            QFile::setPermissions(target, QFile::ReadOwner | QFile::ReadGroup);
        else if (pathBox == QLatin1String("v22.mp3")) {
            target = mp3(QString(), pathBox); // a 2.2 tag holding the unknown frame XYZ:
            mediatest::Bytes file{'I', 'D', '3', 2, 0, 0, 0, 0, 0, 9,
                                  'X', 'Y', 'Z', 0, 0, 3, 1, 2, 3};
            const mediatest::Bytes audio = mediatest::readFile(local(target));
            file.insert(file.end(), audio.begin(), audio.end());
            mediatest::writeFile(local(target), file);
        } else if (pathBox == QLatin1String("folder.mp3"))
            target = m_dir.filePath(pathBox), QDir().mkpath(target);
        else if (!pathBox.isEmpty())
            target = m_dir.filePath(pathBox);
        const mediatest::Bytes before = mediatest::readFile(local(path));
        const bool targetIsFile = QFileInfo(target).isFile();
        const mediatest::Bytes targetBefore =
            targetIsFile ? mediatest::readFile(local(target)) : mediatest::Bytes{};

        TestUi ui;
        auto dlg = open(ui, path);
        act(*dlg, action);
        dlg->pathEdit()->setText(target);
        QTest::mouseClick(dlg->updateButton(), Qt::LeftButton);
        if (message.isEmpty()) {
            QCOMPARE(ui.messages, QStringList());
            QCOMPARE(dlg->result(), int(QDialog::Accepted));
            QCOMPARE(frameText(mediatest::mutagenRead(local(target)), "TIT2"),
                     QStringLiteral("upper"));
            return;
        }
        QCOMPARE(ui.messages, QStringList{message.arg(target)});
        QVERIFY(dlg->isVisible());
        QCOMPARE(dlg->result(), int(QDialog::Rejected));
        QVERIFY(mediatest::readFile(local(path)) == before);
        QVERIFY(!targetIsFile || mediatest::readFile(local(target)) == targetBefore);
        QVERIFY(!QFile::exists(m_dir.filePath("gone.mp3")));
        if (message == EnterInteger)
            QCOMPARE(dlg->focusWidget(), dlg->edit(Field::TrackNo));
    }

    // A first file, then a second chosen with "...": what each shows, whether UpDate may save
    // it, what the user is told; nothing is ever written by loading.
    void browseLoads_data() {
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("second");
        QTest::addColumn<bool>("updateAfterFirst");
        QTest::addColumn<bool>("updateAfterSecond");
        QTest::addColumn<QString>("albumAfterSecond");
        QTest::addColumn<QString>("message");
        QTest::newRow("album file, then a file without album")
            << "album"
            << "plain" << true << true << QString() << QString();
        QTest::newRow("read-only file, then a writable one")
            << "readonly"
            << "plain" << false << true << QString() << QString();
        QTest::newRow("writable file, then a read-only one")
            << "plain"
            << "readonly" << true << false << "RO" << QString();
        QTest::newRow("damaged tag") << "album"
                                     << "damaged" << true << false << QString()
                                     << "The ID3 tag of '%1' is damaged and cannot be read. "
                                        "Nothing was written.";
        QTest::newRow("not MPEG audio") << "album"
                                        << "text" << true << true << QString() << NoHeader;
        QTest::newRow("missing file")
            << "album"
            << "missing" << true << false << QString() << "Error opening file: %1";
        QTest::newRow("folder") << "album"
                                << "folder" << true << false << QString()
                                << "'%1' is a folder, not an MP3 file. Nothing was written.";
    }
    void browseLoads() {
        QFETCH(QString, first);
        QFETCH(QString, second);
        QFETCH(bool, updateAfterFirst);
        QFETCH(bool, updateAfterSecond);
        QFETCH(QString, albumAfterSecond);
        QFETCH(QString, message);
        const auto make = [this](const QString &kind) {
            if (kind == QLatin1String("album"))
                return mp3("tags.add(TALB(encoding=0, text=['Album A']))");
            if (kind == QLatin1String("readonly")) {
                const QString p = mp3("tags.add(TALB(encoding=0, text=['RO']))");
                QFile::setPermissions(p, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther);
                return p;
            }
            if (kind == QLatin1String("damaged")) {
                const QString p = m_dir.filePath(QStringLiteral("damaged%1.mp3").arg(++m_serial));
                mediatest::Bytes bytes = mediatest::readFile(local(m_plain));
                // "ID3" with a size byte whose top bit is set
                const mediatest::Bytes head{'I', 'D', '3', 3, 0, 0, 0, 0x80, 0, 0};
                bytes.insert(bytes.begin(), head.begin(), head.end());
                mediatest::writeFile(local(p), bytes);
                return p;
            }
            if (kind == QLatin1String("text")) {
                const QString p = m_dir.filePath(QStringLiteral("text%1.mp3").arg(++m_serial));
                mediatest::writeFile(local(p), mediatest::Bytes(4000, 'a'));
                return p;
            }
            if (kind == QLatin1String("missing"))
                return m_dir.filePath(QStringLiteral("missing.mp3"));
            if (kind == QLatin1String("folder")) {
                const QString p = m_dir.filePath(QStringLiteral("dir%1.mp3").arg(++m_serial));
                QDir().mkpath(p);
                return p;
            }
            return mp3(QString());
        };
        const QString a = make(first);
        const QString b = make(second);
        struct stat beforeB {};
        const bool bExists = ::stat(local(b).c_str(), &beforeB) == 0;
        const mediatest::Bytes bytesB = bExists && S_ISREG(beforeB.st_mode)
                                            ? mediatest::readFile(local(b))
                                            : mediatest::Bytes{};

        TestUi ui;
        ui.openFileAnswers << b;
        auto dlg = open(ui, a);
        QCOMPARE(dlg->updateButton()->isEnabled(), updateAfterFirst);
        QCOMPARE(ui.messages, QStringList());
        const QString panelBefore = dlg->mpegPanel()->scrollText();
        QVERIFY(panelBefore.contains(QLatin1String("128 kbit/s")));

        QTest::mouseClick(dlg->browseButton(), Qt::LeftButton);
        QCOMPARE(ui.fileDialogs.size(), 1);
        QCOMPARE(ui.fileDialogs[0][2], QStringLiteral("MP3 File (*.mp3)"));
        QCOMPARE(dlg->pathEdit()->text(), b);
        QCOMPARE(dlg->updateButton()->isEnabled(), updateAfterSecond);
        QCOMPARE(dlg->edit(Field::Album)->text(), albumAfterSecond);
        QCOMPARE(ui.messages, message.isEmpty() ? QStringList() : QStringList{message.arg(b)});
        // The panel never describes the first file's header for the second file.
        if (second == QLatin1String("plain") || second == QLatin1String("readonly"))
            QVERIFY(dlg->mpegPanel()->scrollText().contains(QLatin1String("128 kbit/s")));
        else
            QVERIFY(!dlg->mpegPanel()->scrollText().contains(QLatin1String("kbit/s")));
        // Loading writes nothing and changes no permissions.
        struct stat afterB {};
        if (bExists) {
            QCOMPARE(::stat(local(b).c_str(), &afterB), 0);
            QCOMPARE(afterB.st_mode, beforeB.st_mode);
            if (S_ISREG(beforeB.st_mode))
                QVERIFY(mediatest::readFile(local(b)) == bytesB);
        }
        // Cancel on the file dialog changes nothing.
        QTest::mouseClick(dlg->browseButton(), Qt::LeftButton);
        QCOMPARE(dlg->pathEdit()->text(), b);
        QTest::mouseClick(dlg->cancelButton(), Qt::LeftButton);
        QCOMPARE(dlg->result(), int(QDialog::Rejected));
    }

    // The MPEG panel: the described template with the file's numbers, medium speed, blue to
    // black, scrolling; a line's last character picks its style.
    void mpegPanelScrolls() {
        const QString path = mp3("tags.add(TIT2(encoding=0, text=['t']))");
        TestUi ui;
        auto dlg = open(ui, path);
        chrome::CScrollText *panel = dlg->mpegPanel();
        const auto loaded = std::get<media::LoadedTag>(media::loadTag(local(path)));
        QVERIFY(loaded.tagSize > 0);
        const QStringList lines = panel->lines();
        QCOMPARE(lines.value(1), QStringLiteral("MPEG Info\t"));
        QCOMPARE(lines.value(4), QStringLiteral("%1 Bytes").arg(QFileInfo(path).size()));
        QCOMPARE(lines.value(7), QStringLiteral("%1 Bytes").arg(loaded.tagSize));
        QVERIFY(lines.contains(QStringLiteral("44.1 kHz")));
        QCOMPARE(chrome::CScrollText::styleOf(lines.value(1)),
                 chrome::CScrollText::LineStyle::Title);
        QCOMPARE(chrome::CScrollText::styleOf(lines.value(3)),
                 chrome::CScrollText::LineStyle::GroupHeading);
        QVERIFY(panel->accessibleDescription().contains(QLatin1String("Header found at")));
        QCOMPARE(panel->speed(), chrome::CScrollText::Speed::Medium);
        QCOMPARE(panel->backgroundLeft(), QColor(Qt::blue));
        QCOMPARE(panel->backgroundRight(), QColor(Qt::black));
        QVERIFY(panel->isScrolling());
        QTRY_VERIFY_WITH_TIMEOUT(panel->scrollPosition() >= 3, 10000);
        // the leftmost column is blue, the rightmost near black
        const QImage shot = panel->grab().toImage();
        QVERIFY(shot.pixelColor(0, 1).blue() > 200);
        QVERIFY(shot.pixelColor(shot.width() - 1, 1).blue() < 30);
    }

    // A click on a caption highlights it and moves the focus to its value; a value that gains
    // the focus by any means highlights its caption; only one caption is highlighted.
    void captionHighlighting_data() {
        QTest::addColumn<int>("field");
        QTest::addColumn<bool>("byClick");
        for (int i = 0; i < CTagEditorDlg::FieldCount; ++i) {
            QTest::addRow("click caption %d", i) << i << true;
            QTest::addRow("focus value %d", i) << i << false;
        }
    }
    void captionHighlighting() {
        QFETCH(int, field);
        QFETCH(bool, byClick);
        const auto f = static_cast<Field>(field);
        TestUi ui;
        auto dlg = open(ui, mp3(QString()));
        QApplication::setActiveWindow(dlg.get());
        // start from another caption
        const auto other = static_cast<Field>((field + 1) % CTagEditorDlg::FieldCount);
        QTest::mouseClick(dlg->caption(other), Qt::LeftButton);
        QCOMPARE(dlg->highlighted(), int(other));
        if (byClick)
            QTest::mouseClick(dlg->caption(f), Qt::LeftButton);
        else
            dlg->valueControl(f)->setFocus(Qt::TabFocusReason);
        QTRY_COMPARE(dlg->highlighted(), field);
        QTRY_COMPARE(
            QApplication::focusWidget() == dlg->valueControl(f) ||
                (f == Field::Genre && QApplication::focusWidget() == dlg->genreCombo()->lineEdit()),
            true);
        for (int i = 0; i < CTagEditorDlg::FieldCount; ++i) {
            chrome::CFieldLabel *label = dlg->caption(static_cast<Field>(i));
            QCOMPARE(label->textColour(), i == field ? QColor(Qt::white) : QColor(Qt::black));
            QCOMPARE(label->backgroundColour() == QColor(120, 140, 160), i == field);
            QCOMPARE(label->buddy(), dlg->valueControl(static_cast<Field>(i)));
        }
    }

    // The caption label on its own: blinking and the link it opens.
    void fieldLabelBlinksAndOpensLink() {
        TestUi ui;
        chrome::CFieldLabel label(QStringLiteral("Home"));
        label.show();
        label.setBlinking(true);
        QTRY_VERIFY_WITH_TIMEOUT(label.textHidden(), 3000);
        QTRY_VERIFY_WITH_TIMEOUT(!label.textHidden(), 3000);
        label.resetColours();
        QVERIFY(!label.isBlinking());
        label.setLink(QUrl(QStringLiteral("https://tunara.example/")), &ui);
        int clicks = 0;
        connect(&label, &chrome::CFieldLabel::clicked, this, [&] { ++clicks; });
        QTest::mouseClick(&label, Qt::LeftButton);
        QCOMPARE(clicks, 1);
        QCOMPARE(ui.opened, QList<QUrl>{QUrl(QStringLiteral("https://tunara.example/"))});
    }

    // Edit ID3 TAG from the active pane: the File menu item after Arrange order with Ctrl+T,
    // the multi-select Open dialog, then one modal editor per chosen file, in order.
    void paneCommandEditsEachFile() {
        MainWindowFixture::defaultPlayer();
        MainWindowFixture f;
        f.open();
        QAction *action = f.frame->commands().action(shell::Cmd::EditId3);
        QCOMPARE(action->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_T));
        QCOMPARE(action->text(), QStringLiteral("Edit ID3 &TAG..."));
        QMenu *file = f.frame->menuBar()->actions().value(1)->menu();
        QVERIFY(file);
        const QList<QAction *> items = file->actions();
        const qsizetype at = items.indexOf(action);
        QVERIFY(at > 0);
        QCOMPARE(items[at - 1], f.frame->commands().action(shell::Cmd::ArrangeOrder));

        const QString a = mp3("tags.add(TIT2(encoding=0, text=['First']))");
        const QString b = mp3("tags.add(TIT2(encoding=0, text=['Second']))");
        const mediatest::Bytes audioA = audioOf(a);
        const mediatest::Bytes bytesB = mediatest::readFile(local(b));
        f.ui.openFilesAnswers << QStringList{a, b};
        QStringList seen;
        const QString shotPath = qEnvironmentVariable("TUNARA_TAG_SCREENSHOT");
        std::function<void()> answer = [&] {
            auto *dlg = qobject_cast<CTagEditorDlg *>(QApplication::activeModalWidget());
            if (dlg == nullptr) {
                QTimer::singleShot(20, answer);
                return;
            }
            seen << dlg->pathEdit()->text() + QLatin1Char('=') + dlg->edit(Field::Title)->text();
            if (seen.size() == 1) {
                if (!shotPath.isEmpty()) {
                    QTest::mouseClick(dlg->caption(Field::Title), Qt::LeftButton);
                    QTest::qWait(8000); // let the panel scroll into view
                    dlg->grab().save(shotPath);
                }
                act(*dlg, QStringLiteral("title:Changed"));
                QTest::mouseClick(dlg->updateButton(), Qt::LeftButton);
                QTimer::singleShot(20, answer);
            } else {
                QTest::mouseClick(dlg->cancelButton(), Qt::LeftButton);
            }
        };
        QTimer::singleShot(0, answer);
        QVERIFY(f.frame->commands().execute(int(shell::Cmd::EditId3)));
        QCOMPARE(seen, (QStringList{a + "=First", b + "=Second"}));
        QCOMPARE(f.ui.fileDialogs.value(0).value(2),
                 QStringLiteral("Music Files (*.mp3);;All Files (*)"));
        QCOMPARE(f.ui.messages, QStringList());
        QCOMPARE(frameText(mediatest::mutagenRead(local(a)), "TIT2"), QStringLiteral("Changed"));
        QVERIFY(audioOf(a) == audioA);
        QVERIFY(mediatest::readFile(local(b)) == bytesB);
    }
};

QTEST_MAIN(TestTagEditor)
#include "test_tageditor.moc"
