// Header sorting of the lists: direction, order by text and by size value, selection kept,
// column widths written, and the Arrange order question after a sort.
#include "device/mylistview.h"
#include "device/zamo_listview.h"
#include "testframe.h"

#include <QHeaderView>
#include <QTest>

using namespace tunara::device;

namespace {

// Clicks a column header with the left mouse button, as the user does.
void clickHeader(QTreeWidget &list, int column, Qt::MouseButton button = Qt::LeftButton) {
    QHeaderView *h = list.header();
    const int x = h->sectionViewportPosition(column) + h->sectionSize(column) / 2;
    QTest::mouseClick(h->viewport(), button, Qt::NoModifier, QPoint(x, h->height() / 2));
}

QStringList column(const QTreeWidget &list, int c) {
    QStringList out;
    for (int i = 0; i < list.topLevelItemCount(); ++i)
        out << list.topLevelItem(i)->text(c);
    return out;
}

void fill(QTreeWidget &list, const QList<QStringList> &rows) {
    list.clear();
    for (const QStringList &r : rows)
        list.addTopLevelItem(new QTreeWidgetItem(r));
}

const QList<QStringList> Rows = {
    {"b.mp3", "1,000", "MP3 File"},        {"a.mp3", "999", "MP3 File"},
    {"D.mp3", "2,000,000", "Common File"}, {"c.mp3", "12,000", "MP3 File"},
    {"e.mp3", "4294967295", "MP3 File"},
};

} // namespace

class TestListView : public QObject {
    Q_OBJECT
private slots:
    void clicks_data() {
        QTest::addColumn<QList<int>>("clicks");
        QTest::addColumn<int>("sortColumn");
        QTest::addColumn<QStringList>("names");
        QTest::newRow("name ascending")
            << QList<int>{0} << 0 << QStringList{"D.mp3", "a.mp3", "b.mp3", "c.mp3", "e.mp3"};
        QTest::newRow("name descending on second click")
            << QList<int>{0, 0} << 0 << QStringList{"e.mp3", "c.mp3", "b.mp3", "a.mp3", "D.mp3"};
        QTest::newRow("third click ascending again")
            << QList<int>{0, 0, 0} << 0 << QStringList{"D.mp3", "a.mp3", "b.mp3", "c.mp3", "e.mp3"};
        QTest::newRow("size by value")
            << QList<int>{1} << 1 << QStringList{"a.mp3", "b.mp3", "c.mp3", "D.mp3", "e.mp3"};
        QTest::newRow("size descending")
            << QList<int>{1, 1} << 1 << QStringList{"e.mp3", "D.mp3", "c.mp3", "b.mp3", "a.mp3"};
        QTest::newRow("other column starts ascending")
            << QList<int>{0, 0, 1} << 1 << QStringList{"a.mp3", "b.mp3", "c.mp3", "D.mp3", "e.mp3"};
    }
    void clicks() {
        QFETCH(QList<int>, clicks);
        QFETCH(int, sortColumn);
        QFETCH(QStringList, names);
        CMyListView list;
        list.setColumnCount(3);
        list.resize(400, 300);
        list.show();
        fill(list, Rows);
        for (int c : clicks)
            clickHeader(list, c);
        QCOMPARE(list.sortColumn(), sortColumn);
        QCOMPARE(column(list, 0), names);
        // the whole row moved, not only the sorted text
        for (int i = 0; i < list.topLevelItemCount(); ++i) {
            const QString name = list.topLevelItem(i)->text(0);
            const auto it = std::find_if(Rows.begin(), Rows.end(),
                                         [&](const QStringList &r) { return r[0] == name; });
            QCOMPARE(list.topLevelItem(i)->text(1), it->at(1));
        }
    }

    void rightClickDoesNotSort() {
        CMyListView list;
        list.setColumnCount(3);
        list.show();
        fill(list, Rows);
        clickHeader(list, 0, Qt::RightButton);
        QCOMPARE(list.sortColumn(), -1);
        QCOMPARE(column(list, 0).first(), QStringLiteral("b.mp3"));
    }

    void selectionKept_data() {
        QTest::addColumn<QStringList>("selected");
        QTest::addColumn<int>("column");
        QTest::newRow("one") << QStringList{"b.mp3"} << 0;
        QTest::newRow("two apart") << QStringList{"a.mp3", "e.mp3"} << 1;
        QTest::newRow("none") << QStringList{} << 0;
    }
    void selectionKept() {
        QFETCH(QStringList, selected);
        QFETCH(int, column);
        CMyListView list;
        list.setColumnCount(3);
        list.setSelectionMode(QAbstractItemView::ExtendedSelection);
        list.show();
        fill(list, Rows);
        for (int i = 0; i < list.topLevelItemCount(); ++i)
            list.topLevelItem(i)->setSelected(selected.contains(list.topLevelItem(i)->text(0)));
        clickHeader(list, column);
        clickHeader(list, column);
        QStringList after;
        for (QTreeWidgetItem *item : list.selectedItems())
            after << item->text(0);
        after.sort();
        selected.sort();
        QCOMPARE(after, selected);
    }

    void rangeAndBounds_data() {
        QTest::addColumn<int>("rows");
        QTest::addColumn<int>("column");
        QTest::addColumn<bool>("changes");
        QTest::newRow("no rows") << 0 << 0 << false;
        QTest::newRow("one row") << 1 << 0 << false;
        QTest::newRow("column beyond the header") << 5 << 3 << false;
        QTest::newRow("negative column") << 5 << -1 << false;
        QTest::newRow("ordinary") << 5 << 0 << true;
    }
    void rangeAndBounds() {
        QFETCH(int, rows);
        QFETCH(int, column);
        QFETCH(bool, changes);
        CMyListView list;
        list.setColumnCount(3);
        fill(list, Rows.mid(0, rows));
        const QStringList before = ::column(list, 0);
        list.sortRows(column, true);
        QCOMPARE(::column(list, 0) != before, changes);
    }

    void sortsPartOfTheRows() {
        CMyListView list;
        list.setColumnCount(3);
        fill(list, Rows);
        list.sortRows(0, true, 1, 3); // a, D, c -> D, a, c; rows 0 and 4 stay
        QCOMPARE(column(list, 0), (QStringList{"b.mp3", "D.mp3", "a.mp3", "c.mp3", "e.mp3"}));
    }

    void widthsWritten() {
        QString section, key, value;
        {
            CMyListView list;
            list.setColumnCount(3);
            list.header()->setStretchLastSection(false);
            list.initialUpdate();
            list.setColumnWidth(0, 100);
            list.setColumnWidth(1, 60);
            list.setColumnWidth(2, 40);
            QCOMPARE(list.widthsText(), QStringLiteral("100,60,40,"));
            list.setWidthsWriter([&](const QString &s, const QString &k, const QString &v) {
                section = s;
                key = k;
                value = v;
            });
        } // written when the list goes away
        QCOMPARE(section, QStringLiteral("Settings"));
        QCOMPARE(key, QStringLiteral("Control"));
        QCOMPARE(value, QStringLiteral("100,60,40,"));
    }

    void memoryPaneAsksArrangeOrderAfterSort_data() {
        QTest::addColumn<int>("rows");
        QTest::newRow("no rows still asks") << 0;
        QTest::newRow("rows") << 3;
    }
    void memoryPaneAsksArrangeOrderAfterSort() {
        QFETCH(int, rows);
        TestFrame frame;
        CZamo_ListView list(frame);
        list.setMemory(KSUSB_MEM_FLASH);
        list.show();
        list.initialUpdate();
        fill(list, Rows.mid(0, rows));
        clickHeader(list, 0);
        QCOMPARE(frame.posted.size(), 1);
        QCOMPARE(frame.posted[0].first, 32783);
        QCOMPARE(frame.posted[0].second, &list);
    }

    void initialColumnWidths() {
        TestFrame frame;
        CZamo_ListView list(frame);
        list.resize(1000, 300);
        list.show();
        list.initialUpdate();
        const int w = list.viewport()->width();
        QCOMPARE(list.columnWidth(0), w * 45 / 100);
        QCOMPARE(list.columnWidth(1), w * 15 / 100);
        QCOMPARE(list.columnWidth(2), w * 15 / 100);
        QCOMPARE(list.columnWidth(3), w * 25 / 100);
        QCOMPARE(list.columnWidth(4), 50);
        QCOMPARE(list.headerItem()->text(0), QStringLiteral("Name"));
        QCOMPARE(list.headerItem()->text(4), QStringLiteral("Order"));
    }
};

QTEST_MAIN(TestListView)
#include "test_listview.moc"
