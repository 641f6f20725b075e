// The timed notice: closes by itself, is held by a click into its text, closes by button and
// Esc at any time; a time-out of 0 never closes by itself.
#include "device/timedmessagebox.h"

#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

using tunara::device::CTimedMessageBox;

class TestTimedBox : public QObject {
    Q_OBJECT
private slots:
    void closesByItself() {
        CTimedMessageBox box(QStringLiteral("Player is busy."));
        // a short time-out; the box must end its own modal loop
        const int result = box.runTimed(5);
        QCOMPARE(result, int(QDialog::Rejected));
        QVERIFY(box.timed());
        QVERIFY(!box.held());
        QCOMPARE(box.text(), QStringLiteral("Player is busy."));
    }

    void userCloses_data() {
        QTest::addColumn<unsigned>("timeout");
        QTest::addColumn<bool>("clickText");
        QTest::addColumn<bool>("useEscape");
        QTest::addColumn<QString>("buttonText");
        QTest::newRow("untimed, button") << 0u << false << false << "O&K";
        QTest::newRow("untimed, Esc") << 0u << false << true << "O&K";
        QTest::newRow("held by a click, button") << 5u << true << false << "Close";
        QTest::newRow("held by a click, Esc") << 5u << true << true << "Close";
    }
    void userCloses() {
        QFETCH(unsigned, timeout);
        QFETCH(bool, clickText);
        QFETCH(bool, useEscape);
        QFETCH(QString, buttonText);
        CTimedMessageBox box(QStringLiteral("notice"));
        QString seenButton;
        bool stillOpen = false;
        QTimer::singleShot(0, &box, [&] {
            if (clickText)
                QTest::mouseClick(box.textControl()->viewport(), Qt::LeftButton);
            // give the time-out every chance to fire; a held or untimed box stays
            QTest::qWait(int(timeout) + 50);
            stillOpen = box.isVisible();
            seenButton = box.button()->text();
            if (useEscape)
                QTest::keyClick(&box, Qt::Key_Escape);
            else
                box.button()->click();
        });
        box.runTimed(timeout);
        QVERIFY(stillOpen);
        QCOMPARE(seenButton, buttonText);
        QCOMPARE(box.held(), clickText);
        QCOMPARE(box.timed(), timeout != 0);
    }

    void modelessClosesItself() {
        QPointer<CTimedMessageBox> box = new CTimedMessageBox(QStringLiteral("x"));
        box->showTimed(5);
        QVERIFY(box->isVisible());
        QTRY_VERIFY(box.isNull()); // deleted on close
    }
};

QTEST_MAIN(TestTimedBox)
#include "test_timedbox.moc"
