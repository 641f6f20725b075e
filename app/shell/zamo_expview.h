// The host of one memory: the caption strip with title, icon and usage gauge over the
// memory's file list.
#pragma once

#include <QWidget>

class QSplitter;

namespace tunara::chrome {
class CaptionStrip;
}
namespace tunara::device {
class CZamo_ListView;
class PaneFrame;
} // namespace tunara::device

namespace tunara::shell {

class CZamo_ExpDoc;

class CZamo_ExpView : public QWidget {
    Q_OBJECT
public:
    // `memoryId` is the memory the host serves: 'M' the flash memory, 'S' the card.
    CZamo_ExpView(CZamo_ExpDoc &doc, device::PaneFrame &frame, unsigned char memoryId,
                  QWidget *parent = nullptr);

    device::CZamo_ListView *list() const { return m_list; }
    chrome::CaptionStrip *caption() const { return m_caption; }
    // The totals message shown by a click on the strip or the view.
    QString totalsText() const;

protected:
    void focusInEvent(QFocusEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void showTotals();

    device::PaneFrame &m_frame;
    chrome::CaptionStrip *m_caption = nullptr;
    QSplitter *m_inner = nullptr;
    device::CZamo_ListView *m_list = nullptr;
    QWidget *m_captionView = nullptr;
    bool m_initialised = false;
};

} // namespace tunara::shell
