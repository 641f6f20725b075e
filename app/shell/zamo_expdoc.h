// The document of the main window: it holds no data; it is the hub through which the rest of
// the program reaches the memory panes with update hints, and it hands out the panes' places.
#pragma once

#include <QObject>

namespace tunara::shell {

class CZamo_ExpDoc : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    void updateAllViews(int hint, int value) { emit viewsUpdate(hint, value); }
    // The creation index of the next host view: 0 hosts the flash memory, 1 the card.
    int nextViewIndex() { return m_viewCounter++; }

signals:
    void viewsUpdate(int hint, int value);

private:
    int m_viewCounter = 0;
};

} // namespace tunara::shell
