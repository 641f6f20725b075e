#include "zamo_expview.h"

#include "chrome/captionstrip.h"
#include "device/paneframe.h"
#include "device/uiservices.h"
#include "device/zamo_listview.h"
#include "res/format.h"
#include "res/stringtable.h"
#include "zamo_expdoc.h"

#include <QMouseEvent>
#include <QSplitter>
#include <QVBoxLayout>

namespace tunara::shell {

using res::str;
using res::StrId;

namespace {
const QColor FlashColour(0x78, 0xA0, 0x6E); // stored as 0x6EA078, blue in the high byte
const QColor CardColour(0xDC, 0xA0, 0x6E);  // 0x6EA0DC
const QColor InactiveText(64, 64, 64);
} // namespace

CZamo_ExpView::CZamo_ExpView(CZamo_ExpDoc &doc, device::PaneFrame &frame, unsigned char memoryId,
                             QWidget *parent)
    : QWidget(parent), m_frame(frame) {
    setFocusPolicy(Qt::ClickFocus);
    m_caption = new chrome::CaptionStrip(this);
    m_inner = new QSplitter(Qt::Vertical, this);
    m_inner->setObjectName(QStringLiteral("innerSplitter"));
    m_list = new device::CZamo_ListView(frame, m_inner);
    // The caption view below the list stays hidden; the strip above carries the caption.
    m_captionView = new QWidget(m_inner);
    m_captionView->setObjectName(QStringLiteral("captionView"));
    m_captionView->hide();

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(m_caption);
    layout->addWidget(m_inner, 1);

    // The document serves two hosts; a third one, or a memory it does not know, gets none.
    const int index = doc.nextViewIndex();
    if ((index == 0 || index == 1) && (memoryId == KSUSB_MEM_FLASH || memoryId == KSUSB_MEM_CARD)) {
        const bool flash = memoryId == KSUSB_MEM_FLASH;
        m_list->setMemory(flash ? KSUSB_MEM_FLASH : KSUSB_MEM_CARD);
        m_caption->setTitle(str(flash ? StrId::FlashMemory : StrId::MemoryCard));
        m_caption->setIcon(res::StringTable::current().icon(
            flash ? QStringLiteral("caption/flash") : QStringLiteral("caption/card")));
        m_caption->setColours(flash ? FlashColour : CardColour, InactiveText);
        setObjectName(flash ? QStringLiteral("flashHost") : QStringLiteral("cardHost"));
    } else {
        frame.ui().message(frame.dialogParent(), str(StrId::ThirdPane), device::MessageIcon::Stop);
    }

    connect(
        m_list, &device::CZamo_ListView::gaugeChanged, this,
        [this](const device::GaugeNumbers &n) { m_caption->setGauge(n.total, n.used, n.count); });
    connect(m_list, &device::CZamo_ListView::activeChanged, this, [this](bool active) {
        m_caption->setTextColour(active ? QColor(Qt::white) : InactiveText);
    });
    connect(&doc, &CZamo_ExpDoc::viewsUpdate, m_list, &device::CZamo_ListView::onUpdate);
}

void CZamo_ExpView::showEvent(QShowEvent *event) {
    QWidget::showEvent(event);
    if (!m_initialised) {
        m_initialised = true;
        m_list->initialUpdate();
    }
}

QString CZamo_ExpView::totalsText() const {
    const device::GaugeNumbers n = m_list->gauge();
    // The text's conversions are %ld: a long holds any 64-bit byte count here.
    static_assert(sizeof(long) == sizeof(uint64_t));
    return res::fmt(StrId::TotalsBox, long(n.total), long(n.total - n.used));
}

void CZamo_ExpView::showTotals() {
    m_frame.ui().message(m_frame.dialogParent(), totalsText(), device::MessageIcon::Information);
}

void CZamo_ExpView::focusInEvent(QFocusEvent *event) {
    QWidget::focusInEvent(event);
    m_list->setFocus();
}

void CZamo_ExpView::mousePressEvent(QMouseEvent *event) {
    if (event->button() == Qt::LeftButton)
        showTotals();
    QWidget::mousePressEvent(event);
}

} // namespace tunara::shell
