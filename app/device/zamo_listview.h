// The file list of one player memory: its rows are re-read from the player at each refresh,
// in the player's play order, with size, type, date and order columns; the capacity texts go
// to the status bar and the usage numbers to the caption strip's gauge.
#pragma once

#include "mylistview.h"

#include <KestoUSB.h>

#include <QIcon>

#include <cstdint>
#include <memory>

namespace tunara::device {

class PaneFrame;

// The numbers the caption strip's gauge shows.
struct GaugeNumbers {
    uint32_t total = 0;
    uint32_t used = 0;
    int count = 0;
};

class CZamo_ListView : public CMyListView {
    Q_OBJECT
public:
    enum Column : int { ColName = 0, ColSize = 1, ColType = 2, ColModified = 3, ColOrder = 4 };
    static constexpr int ColumnCount = 5;
    static constexpr int OrderColumnWidth = 50;

    // View update hints of the document.
    static constexpr int HintListFont = 1;
    static constexpr int HintDownloadDone = 2;
    static constexpr int HintReRead = 4;

    explicit CZamo_ListView(PaneFrame &frame, QWidget *parent = nullptr);
    ~CZamo_ListView() override;

    // Memory id and pane name; a pane without a memory id (0) makes no library call.
    void setMemory(unsigned char memoryId);
    unsigned char memoryId() const { return m_memoryId; }
    QString paneName() const;

    void initialUpdate() override;
    void setListFont(const QFont &font);

    // Re-reads the memory from the player and rebuilds the rows. Returns whether the rows
    // were rebuilt (the window ignores it; tests look).
    bool refresh();
    // Document update: hint 1 list font, 2 refresh now, 4 post Refresh (for this memory only).
    void onUpdate(int hint, int value);
    // Activation: colours of list and caption, and the status text into status pane 1.
    void setActive(bool active);
    bool isActivePane() const { return m_active; }

    QString totalText() const { return m_totalText; }
    QString freeText() const { return m_freeText; }
    QString statusText() const;
    GaugeNumbers gauge() const { return m_gauge; }
    const KSUSB_TOpenTable &table() const { return *m_table; }

    // Arrange order: asks, then sets the player's play order to the list's order.
    void arrangeOrder();

signals:
    void gaugeChanged(const GaugeNumbers &numbers);
    void activeChanged(bool active);

protected:
    void afterHeaderSort() override;
    void focusInEvent(QFocusEvent *event) override;

private:
    void fillRows();

    PaneFrame &m_frame;
    unsigned char m_memoryId = 0;
    std::unique_ptr<KSUSB_TOpenTable> m_table;
    QString m_totalText;
    QString m_freeText;
    GaugeNumbers m_gauge;
    bool m_active = false;
    QIcon m_typeIcons[4];
};

} // namespace tunara::device
