#include "mylistview.h"

#include "memoryformat.h"

#include <QApplication>
#include <QHeaderView>
#include <QSet>

namespace tunara::device {

namespace {
constexpr int HeaderFontWeight = 700;
const char *const WidthsSection = "Settings";
const char *const WidthsKey = "Control";
} // namespace

CMyListView::CMyListView(QWidget *parent) : QTreeWidget(parent) {
    setRootIsDecorated(false);
    setUniformRowHeights(true);
    setItemsExpandable(false);
    setAllColumnsShowFocus(true);
    setSortingEnabled(false); // rows keep the player's order until a header is clicked
    header()->setSectionsClickable(true);
    header()->setSortIndicatorShown(false);
    connect(header(), &QHeaderView::sectionClicked, this, &CMyListView::onHeaderClicked);
}

CMyListView::~CMyListView() {
    saveWidths();
}

void CMyListView::initialUpdate() {
    QFont font = QApplication::font("QMessageBox");
    font.setWeight(QFont::Weight(HeaderFontWeight));
    header()->setFont(font);
    header()->setHighlightSections(false);
    header()->setStyleSheet(QStringLiteral("QHeaderView::section { border: 0px; "
                                           "border-right: 1px solid palette(mid); "
                                           "border-bottom: 1px solid palette(mid); "
                                           "padding: 2px 6px; background: palette(button); }"));
    m_saveWidths = true;
    m_section = QLatin1String(WidthsSection);
    m_key = QLatin1String(WidthsKey);
}

QString CMyListView::widthsText() const {
    QString out;
    for (int c = 0; c < header()->count(); ++c)
        out += QString::number(header()->sectionSize(c)) + QLatin1Char(',');
    return out;
}

void CMyListView::saveWidths() {
    if (!m_saveWidths || m_widthsSaved || !m_writer)
        return;
    m_widthsSaved = true;
    m_writer(m_section, m_key, widthsText());
}

int CMyListView::compareTexts(int column, const QString &a, const QString &b) {
    if (column == SizeColumn) {
        const uint64_t x = sizeFromText(a);
        const uint64_t y = sizeFromText(b);
        if (x != y)
            return x < y ? -1 : 1;
    }
    return a.compare(b, Qt::CaseSensitive);
}

void CMyListView::onHeaderClicked(int column) {
    m_ascending = column == m_sortColumn ? !m_ascending : true;
    m_sortColumn = column;
    sortRows(column, m_ascending);
    header()->setSortIndicatorShown(true);
    header()->setSortIndicator(column, m_ascending ? Qt::AscendingOrder : Qt::DescendingOrder);
    emit headerSorted(column, m_ascending);
    afterHeaderSort();
}

void CMyListView::quickSort(QList<QTreeWidgetItem *> &rows, int column, bool ascending, int lo,
                            int hi) {
    // Middle pivot; rows with equal texts are not exchanged.
    while (lo < hi) {
        const QString pivot = rows[(lo + hi) / 2]->text(column);
        int i = lo;
        int j = hi;
        const int dir = ascending ? 1 : -1;
        while (i <= j) {
            while (i < hi && dir * compareTexts(column, rows[i]->text(column), pivot) < 0)
                ++i;
            while (j > lo && dir * compareTexts(column, rows[j]->text(column), pivot) > 0)
                --j;
            if (i <= j) {
                if (rows[i]->text(column) != rows[j]->text(column))
                    std::swap(rows[i], rows[j]);
                ++i;
                --j;
            }
        }
        // Recurse into the smaller part so that the depth stays logarithmic.
        if (j - lo < hi - i) {
            if (lo < j)
                quickSort(rows, column, ascending, lo, j);
            lo = i;
        } else {
            if (i < hi)
                quickSort(rows, column, ascending, i, hi);
            hi = j;
        }
    }
}

void CMyListView::sortRows(int column, bool ascending, int first, int last) {
    const int count = topLevelItemCount();
    if (last < 0 || last >= count)
        last = count - 1;
    if (column < 0 || column >= header()->count() || first < 0 || last - first + 1 < 2)
        return;

    QSet<QTreeWidgetItem *> selected;
    for (QTreeWidgetItem *item : selectedItems())
        selected.insert(item);
    QTreeWidgetItem *current = currentItem();

    QList<QTreeWidgetItem *> rows;
    rows.reserve(last - first + 1);
    for (int i = first; i <= last; ++i)
        rows.append(topLevelItem(i));
    quickSort(rows, column, ascending, 0, int(rows.size()) - 1);

    // Take the range out and put it back in the new order; the selection is restored after,
    // since a taken item forgets it.
    QSignalBlocker blocker(selectionModel());
    for (int i = last; i >= first; --i)
        takeTopLevelItem(i);
    insertTopLevelItems(first, rows);
    if (current != nullptr)
        setCurrentItem(current, 0, QItemSelectionModel::NoUpdate);
    for (QTreeWidgetItem *item : rows)
        item->setSelected(selected.contains(item));
    blocker.unblock();
    emit itemSelectionChanged();
}

} // namespace tunara::device
