// The transfer queue's model without a window: a host that records what the queue asks of it,
// and scripted ends of the entries in place of the runner. Which entry starts when, which pane
// re-reads the player in between, and how a refusal, a stop, other device work or a failed
// conversion changes the run.
#include "device/memoryformat.h"
#include "device/playerlink.h"
#include "testui.h"
#include "transfer/queuemodel.h"
#include "transfer/transferhost.h"

#include <KestoUSB.h>

#include <QApplication>
#include <QTest>

using namespace tunara;
using transfer::QueueModel;

namespace {

class FakeHost final : public transfer::TransferHost {
public:
    TestUi testUi;
    device::PlayerLink playerLink;
    bool busy = false;
    transfer::TransferOptions options;
    QString refreshes;    // the memories whose panes were asked to re-read, in order
    QStringList onPlayer; // what the panes show the player holding

    device::UiServices &ui() override { return testUi; }
    int modelCode() const override { return device::ModelQn520; }
    transfer::TransferOptions transferOptions() const override { return options; }
    void storeDownloadFolder(const QString &) override {}
    void setMessageText(const QString &) override {}
    QString messageText() const override { return {}; }
    QWidget *statusBarWidget() override { return nullptr; }
    QRect messagePaneRect() const override { return {}; }
    void downloadFinished(unsigned char memoryId) override { refreshes += QChar(memoryId); }
    QStringList playerNames(unsigned char) const override { return onPlayer; }
    void openOptions() override {}
    void transferBusyChanged(bool) override {}
    bool deviceBusy() const override { return busy; }
    device::PlayerLink &link() override { return playerLink; }
    QString programDir() const override { return {}; }
};

// One step of a script: what ends the running entry, or a change of the host's device work.
struct Step {
    enum What { Done, Fail, Refuse, HostBusy, HostIdle } what;
    int code = 0;
};

using Script = QList<Step>;
using Steps = QList<int>;

} // namespace

Q_DECLARE_METATYPE(Step)

class TestQueueModel : public QObject {
    Q_OBJECT

private slots:
    void run_data() {
        QTest::addColumn<QString>("memories"); // one download per letter, in queue order
        QTest::addColumn<bool>("busyFirst");   // the host talks to the player when they arrive
        QTest::addColumn<bool>("convert");     // the files (WAV) are converted on the way
        QTest::addColumn<Script>("script");
        QTest::addColumn<QList<bool>>("answers"); // OK/Cancel answers
        QTest::addColumn<Steps>("started");       // rows started, in order
        QTest::addColumn<QString>("refreshes");
        QTest::addColumn<QList<int>>("states");
        QTest::addColumn<bool>("finished");

        QTest::newRow("each pane re-reads before the next start")
            << "MSM" << false << false << Script{{Step::Done}, {Step::Done}, {Step::Done}}
            << QList<bool>{} << Steps{0, 1, 2} << "MSM" << QList<int>{4, 6, 4} << true;
        QTest::newRow("a start waits for the host's device work")
            << "MM" << true << false
            << Script{{Step::HostIdle},
                      {Step::Done},
                      {Step::HostBusy},
                      {Step::Done},
                      {Step::HostIdle}}
            << QList<bool>{} << Steps{0, 1} << "MM" << QList<int>{4, 4} << true;
        QTest::newRow("a full name area, Cancel: the waiting entries go")
            << "MMM" << false << false << Script{{Step::Refuse, KSUSB_ERR_NAME_AREA_FULL}}
            << QList<bool>{false} << Steps{0} << "" << QList<int>{8} << true;
        QTest::newRow("a full name area, OK: the queue goes on")
            << "MM" << false << false
            << Script{{Step::Refuse, KSUSB_ERR_NAME_AREA_FULL}, {Step::Done}} << QList<bool>{true}
            << Steps{0, 1} << "M" << QList<int>{8, 4} << true;
        QTest::newRow("a stop leaves the rest waiting for Start")
            << "SSS" << false << false << Script{{Step::Done}, {Step::Fail, KSUSB_ERR_STOPPED}}
            << QList<bool>{} << Steps{0, 1} << "S" << QList<int>{6, 10, 0} << false;
        QTest::newRow("a failure goes on with the next entry")
            << "MM" << false << false << Script{{Step::Fail, KSUSB_ERR_INCOMPLETE}, {Step::Done}}
            << QList<bool>{} << Steps{0, 1} << "M" << QList<int>{8, 4} << true;
        QTest::newRow("a conversion that fails fails its row, nothing is sent")
            << "MS" << false << true << Script{} << QList<bool>{} << Steps{} << ""
            << QList<int>{8, 10} << true;
    }

    // The names files arrive under are the queue's choice: what the player's FAT names cannot
    // hold becomes '_'; a name an earlier row takes (any letter case, or the same once fitted to
    // the 80 bytes the player keeps) gets a free one, and so does one the player holds, unless
    // the file was handed in by name (the library then refuses it, and the row says so).
    void convertedNames_data() {
        QTest::addColumn<bool>("named"); // dropped or chosen files; else a folder's
        QTest::addColumn<QStringList>("onPlayer");
        QTest::addColumn<QStringList>("sources");
        QTest::addColumn<QStringList>("names");
        QTest::newRow("a name the player holds")
            << false << QStringList{"Song.MP3"} << QStringList{"/a/song.flac"}
            << QStringList{"song (2).mp3"};
        QTest::newRow("two sources, one name")
            << false << QStringList{} << QStringList{"/a/x.flac", "/b/X.ogg", "/c/y.wav"}
            << QStringList{"x.mp3", "X (2).mp3", "y.mp3"};
        QTest::newRow("an MP3 sent as it is, then a source of its name")
            << false << QStringList{} << QStringList{"/a/Song.mp3", "/b/song.flac"}
            << QStringList{"Song.mp3", "song (2).mp3"};
        // The player keeps 80 bytes of a name: the number stays inside them.
        QTest::newRow("a name longer than the player keeps")
            << false << QStringList{QString(76, 'a') + ".mp3"}
            << QStringList{"/a/" + QString(100, 'a') + ".flac"}
            << QStringList{QString(72, 'a') + " (2).mp3"};
        QTest::newRow("a character the cut would split becomes '_'")
            << false << QStringList{}
            << QStringList{"/a/" + QString(75, 'a') + QString::fromUtf8("éxyz.flac")}
            << QStringList{QString(75, 'a') + "_.mp3"};
        QTest::newRow("two discs of one album")
            << false << QStringList{}
            << QStringList{"/Various/CD1/01 Track 1.mp3", "/Various/CD2/01 Track 1.mp3"}
            << QStringList{"01 Track 1.mp3", "01 Track 1 (2).mp3"};
        QTest::newRow("dropped names that differ in letter case")
            << true << QStringList{} << QStringList{"/b/SONG.MP3", "/a/Song.mp3"}
            << QStringList{"Song.mp3", "SONG (2).MP3"};
        QTest::newRow("names the same once fitted to 80 bytes")
            << false << QStringList{}
            << QStringList{"/a/" + QString(90, 'a') + "x.mp3", "/a/" + QString(90, 'a') + "y.mp3"}
            << QStringList{QString(76, 'a') + ".mp3", QString(72, 'a') + " (2).mp3"};
        QTest::newRow("a folder's file the player holds")
            << false << QStringList{"Intro.mp3"} << QStringList{"/album/intro.mp3"}
            << QStringList{"intro (2).mp3"};
        QTest::newRow("a file handed in by name keeps a name the player holds")
            << true << QStringList{"Intro.mp3"} << QStringList{"/x/Intro.mp3"}
            << QStringList{"Intro.mp3"};
        // The library refuses a name only when it is the same to the letter: a twin but for
        // letter case would stand beside it in the player's one folder.
        QTest::newRow("a file handed in by name, the player's name in another case")
            << true << QStringList{"Intro.mp3"} << QStringList{"/x/intro.mp3"}
            << QStringList{"intro (2).mp3"};
        QTest::newRow("names the player cannot hold")
            << true << QStringList{}
            << QStringList{QString::fromUtf8("/m/02 Ça va, Zoë?.mp3"), "/m/a*b.mp3",
                           "/m/AC:DC - Song.flac", "/m/q\"<>|.txt"}
            << QStringList{QString::fromUtf8("02 Ça va, Zoë_.mp3"), "AC_DC - Song.mp3", "a_b.mp3",
                           "q____.txt"};
        QTest::newRow("a legal name meets one the player holds")
            << false << QStringList{"a_b.mp3"} << QStringList{"/m/a|b.mp3"}
            << QStringList{"a_b (2).mp3"};
    }
    void convertedNames() {
        QFETCH(bool, named);
        QFETCH(QStringList, onPlayer);
        QFETCH(QStringList, sources);
        FakeHost host;
        host.options.convert = true;
        host.options.autoStartXfer = false;
        host.onPlayer = onPlayer;
        QueueModel queue(host);
        queue.addDownloads('M', sources, named);
        QStringList names;
        for (int i = 0; i < queue.count(); ++i) {
            names << queue.entry(i).remote;
            // The list shows the name it arrives under.
            QCOMPARE(queue.data(queue.index(i, QueueModel::ColRemote), Qt::DisplayRole).toString(),
                     names.last());
        }
        QTEST(names, "names");
    }

    void run() {
        QFETCH(QString, memories);
        QFETCH(bool, busyFirst);
        QFETCH(bool, convert);
        QFETCH(Script, script);
        QFETCH(QList<bool>, answers);

        FakeHost host;
        host.busy = busyFirst;
        host.options.convert = convert;
        host.testUi.okCancelAnswers = answers;
        QueueModel queue(host);
        Steps started;
        connect(&queue, &QueueModel::entryStarting, this, [&](int row) { started << row; });
        for (const QChar m : memories)
            queue.addDownloads(uchar(m.toLatin1()), {QStringLiteral("/music/%1.wav").arg(m)}, true);
        if (convert) { // the sources do not exist: their conversions fail, the run ends
            QVERIFY(QTest::qWaitFor([&] { return queue.finished(); }, 60000));
            for (int i = 0; i < queue.count(); ++i) {
                QCOMPARE(queue.entry(i).remote, QStringLiteral("%1.mp3").arg(memories[i]));
                QVERIFY2(queue.entry(i).status.startsWith("Conversion failed: /music/"),
                         qPrintable(queue.entry(i).status));
            }
        }
        QCoreApplication::processEvents();
        QCOMPARE(started.size(), busyFirst || convert ? 0 : 1);
        QCOMPARE(queue.startHeld(), busyFirst);

        for (const Step &s : script) {
            switch (s.what) {
            case Step::Done:
                queue.entryDone(QStringLiteral("1.0 sec"));
                break;
            case Step::Fail:
                queue.entryFailed(s.code);
                break;
            case Step::Refuse:
                queue.entryRefused(s.code);
                break;
            case Step::HostBusy:
                host.busy = true;
                break;
            case Step::HostIdle:
                host.busy = false;
                queue.resumeHeldStart();
                break;
            }
            QCoreApplication::processEvents();
        }

        QTEST(started, "started");
        QTEST(host.refreshes, "refreshes");
        QList<int> states;
        for (int i = 0; i < queue.count(); ++i)
            states << queue.stateOf(i);
        QTEST(states, "states");
        QTEST(queue.finished(), "finished");
        QVERIFY(!queue.busy());
        QCOMPARE(queue.hadError(), queue.failedCount() > 0);
        QCOMPARE(host.testUi.questions.size(), answers.size());
    }

    // The download armed to follow the running one on the link, step by step: the window arms
    // it after a download, the link begins it once that download has arrived or declines it,
    // another call drops it, and the window takes it back. Each step writes what it answered.
    void followUpSteps_data() {
        QTest::addColumn<QStringList>("steps"); // "arm M 1", "begin M 1", "drop", ...
        QTest::addColumn<QStringList>("answers");
        QTest::newRow("begun after its download, taken back once")
            << QStringList{"arm M 1", "begin M 1", "ifBegun", "takeBack"}
            << QStringList{"armed", "started", "true", "false"};
        QTest::newRow("armed after another download")
            << QStringList{"arm M 2", "begin M 1", "begin M 2"}
            << QStringList{"armed", "-", "started"};
        QTest::newRow("another call drops it, declined")
            << QStringList{"arm M 1", "drop", "begin M 1", "takeBack"}
            << QStringList{"armed", "declined", "-", "false"};
        QTest::newRow("a begun one is not dropped")
            << QStringList{"arm M 1", "begin M 1", "drop", "takeBack"}
            << QStringList{"armed", "started", "", "true"};
        QTest::newRow("the table was not read: declined")
            << QStringList{"arm M 1", "decline 1", "takeBack"}
            << QStringList{"armed", "declined", "false"};
        QTest::newRow("armed too late: the link went past")
            << QStringList{"begin M 1", "arm M 1", "begin M 1", "arm M 2"}
            << QStringList{"-", "late", "-", "armed"};
        QTest::newRow("another memory: declined, not begun")
            << QStringList{"arm S 1", "begin M 1", "takeBack"}
            << QStringList{"armed", "declined", "false"};
        QTest::newRow("not begun yet: it stays armed")
            << QStringList{"arm M 1", "ifBegun", "begin M 1", "ifBegun"}
            << QStringList{"armed", "false", "started", "true"};
        QTest::newRow("a start the library refused")
            << QStringList{"arm M 1 refused", "begin M 1", "takeBack"}
            << QStringList{"armed", "-", "true"};
    }

    void followUpSteps() {
        QFETCH(QStringList, steps);
        QFETCH(QStringList, answers);
        device::FollowUp followUp;
        QStringList got;
        QString declined;
        for (const QString &step : steps) {
            const QStringList w = step.split(' ');
            const auto memory = [&w] { return static_cast<unsigned char>(w[1][0].toLatin1()); };
            declined.clear();
            if (w[0] == "arm") {
                const bool refused = w.value(3) == "refused";
                const quint64 id = followUp.arm(
                    memory(), w[2].toULongLong(),
                    [refused]() -> std::function<int()> {
                        if (refused)
                            return {};
                        return [] { return 1; };
                    },
                    [&declined](quint64) { declined = "declined"; });
                got << (id == 0 ? "late" : "armed");
            } else if (w[0] == "begin") {
                const auto [ended, id] = followUp.begin(memory(), w[2].toULongLong());
                got << (ended ? "started" : declined.isEmpty() ? "-" : declined);
            } else if (w[0] == "drop") {
                followUp.drop();
                got << declined;
            } else if (w[0] == "decline") {
                followUp.decline(w[1].toULongLong());
                got << declined;
            } else {
                const bool begun = followUp.takeBack(w[0] == "ifBegun");
                got << (begun ? "true" : "false");
            }
        }
        QCOMPARE(got, answers);
    }
};

QTEST_MAIN(TestQueueModel)
#include "test_queuemodel.moc"
