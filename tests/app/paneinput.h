// Driving a memory pane as a user does: answering the Rename dialogs through their widgets and
// dragging rows with the mouse.
#pragma once

#include "device/zamo_listview.h"

#include <QApplication>
#include <QDialog>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QTest>
#include <QTimer>

// Answers each Rename dialog that opens, in turn: a text types it and presses OK, an empty
// text presses Cancel. Records the names the dialogs opened with.
class RenameAnswers : public QObject {
public:
    explicit RenameAnswers(QStringList answers) : m_answers(std::move(answers)) {
        connect(&m_timer, &QTimer::timeout, this, [this] { poll(); });
        m_timer.start(20);
    }
    QStringList opened;
    QList<QPoint> positions;

private:
    void poll() {
        auto *dlg = qobject_cast<QDialog *>(QApplication::activeModalWidget());
        if (dlg == nullptr || dlg->property("answered").toBool() ||
            dlg->objectName() != "renameDialog" || !dlg->isVisible())
            return;
        dlg->setProperty("answered", true);
        auto *edit = dlg->findChild<QLineEdit *>("longName");
        opened << edit->text();
        positions << dlg->pos();
        const QString answer = m_answers.isEmpty() ? QString() : m_answers.takeFirst();
        if (answer.isEmpty()) {
            QTest::mouseClick(dlg->findChild<QPushButton *>("cancel"), Qt::LeftButton);
            return;
        }
        // The whole name is selected when the dialog opens: typing replaces it.
        QTest::keyClicks(edit, answer);
        QTest::mouseClick(dlg->findChild<QPushButton *>("ok"), Qt::LeftButton);
    }
    QStringList m_answers;
    QTimer m_timer;
};

inline void sendMouse(QWidget *w, QEvent::Type type, QPoint pos, Qt::MouseButton button,
                      Qt::MouseButtons held) {
    QMouseEvent e(type, pos, w->mapToGlobal(pos), button, held, Qt::NoModifier);
    QApplication::sendEvent(w, &e);
}

// Selects `rows`, presses on row `from`, drags and releases over row `to` (-1: below the last
// row). The pointer shape over the target is returned.
inline Qt::CursorShape dragRows(tunara::device::CZamo_ListView *list, const QList<int> &rows,
                                int from, int to) {
    list->clearSelection();
    for (int r : rows)
        list->topLevelItem(r)->setSelected(true);
    QWidget *vp = list->viewport();
    const QPoint start = list->visualItemRect(list->topLevelItem(from)).center();
    QPoint end;
    if (to >= 0) {
        end = list->visualItemRect(list->topLevelItem(to)).center();
    } else {
        const QRect last = list->visualItemRect(list->topLevelItem(list->topLevelItemCount() - 1));
        end = QPoint(last.center().x(), last.bottom() + last.height() * 2);
    }
    sendMouse(vp, QEvent::MouseButtonPress, start, Qt::LeftButton, Qt::LeftButton);
    sendMouse(vp, QEvent::MouseMove, start + QPoint(1, 0), Qt::NoButton, Qt::LeftButton);
    sendMouse(vp, QEvent::MouseMove, start + QPoint(30, 0), Qt::NoButton, Qt::LeftButton);
    sendMouse(vp, QEvent::MouseMove, end, Qt::NoButton, Qt::LeftButton);
    const Qt::CursorShape shape = vp->cursor().shape();
    sendMouse(vp, QEvent::MouseButtonRelease, end, Qt::LeftButton, Qt::NoButton);
    return shape;
}
