// A report-style list whose column headers sort the rows when clicked (ascending first, then
// descending on the same column), with the arrow in the sorted column's header, and which
// writes its column widths ("%d," each) into the settings when it goes away.
#pragma once

#include <QTreeWidget>

#include <functional>

namespace tunara::device {

class CMyListView : public QTreeWidget {
    Q_OBJECT
public:
    // Column of the memory panes whose texts are sizes ("1,234") and sort by value.
    static constexpr int SizeColumn = 1;

    using WidthsWriter =
        std::function<void(const QString &section, const QString &key, const QString &value)>;

    explicit CMyListView(QWidget *parent = nullptr);
    ~CMyListView() override;

    // Header font, flat look and the widths' place in the settings.
    virtual void initialUpdate();

    // Sorts rows first..last (last -1: the last row) by `column`; nothing when the column does
    // not exist or the range holds fewer than two rows. Selection and current row stay with
    // their rows.
    void sortRows(int column, bool ascending, int first = 0, int last = -1);

    int sortColumn() const { return m_sortColumn; }
    bool sortAscending() const { return m_ascending; }

    void setWidthsWriter(WidthsWriter writer) { m_writer = std::move(writer); }
    // "100,60,40," for columns of 100, 60 and 40 pixels.
    QString widthsText() const;
    void saveWidths();

    // Compares two texts of a column the way the sort does: <0, 0, >0.
    static int compareTexts(int column, const QString &a, const QString &b);

signals:
    void headerSorted(int column, bool ascending);

protected:
    // Runs after each sort by a header click.
    virtual void afterHeaderSort() {}

private:
    void onHeaderClicked(int column);
    void quickSort(QList<QTreeWidgetItem *> &rows, int column, bool ascending, int lo, int hi);

    int m_sortColumn = -1;
    bool m_ascending = true;
    bool m_saveWidths = false;
    bool m_widthsSaved = false;
    QString m_section;
    QString m_key;
    WidthsWriter m_writer;
};

} // namespace tunara::device
