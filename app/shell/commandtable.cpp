#include "commandtable.h"

#include "res/stringtable.h"

#include <QAction>

#include <utility>

namespace tunara::shell {

CommandTable::CommandTable(QObject *parent) : QObject(parent) {}

void CommandTable::add(Cmd id, Handler handler, Rule enabled, Rule checked) {
    Entry &e = m_entries[int(id)];
    e.handler = std::move(handler);
    e.enabled = std::move(enabled);
    e.checked = std::move(checked);
}

QAction *CommandTable::action(Cmd id) {
    Entry &e = m_entries[int(id)];
    if (e.action != nullptr)
        return e.action;
    const int n = int(id);
    auto *a = new QAction(this);
    a->setObjectName(QStringLiteral("cmd%1").arg(n));
    a->setData(n);
    const QString menu = res::str(MenuTextBase + n);
    const QString prompt = res::str(n);
    const QStringList parts = prompt.split(QLatin1Char('\n'));
    a->setText(menu.isEmpty() ? parts.value(1) : menu.section(QLatin1Char('\t'), 0, 0));
    a->setStatusTip(parts.value(0));
    a->setToolTip(parts.value(1, a->text()));
    a->setCheckable(bool(e.checked));
    connect(a, &QAction::triggered, this, [this, n] { execute(n); });
    e.action = a;
    return a;
}

bool CommandTable::isAvailable(int id, QObject *target) const {
    const auto it = m_entries.constFind(id);
    if (it == m_entries.constEnd() || !it->handler)
        return false;
    return !it->enabled || it->enabled(target);
}

bool CommandTable::execute(int id, QObject *target) {
    if (!isAvailable(id, target)) {
        emit refused(id);
        updateUi();
        return false;
    }
    // Copy: the handler may add commands or run a nested event loop.
    const Handler handler = m_entries.value(id).handler;
    handler(target);
    emit executed(id);
    updateUi();
    return true;
}

void CommandTable::post(int id, QObject *target) {
    QPointer<QObject> guard(target);
    const bool hadTarget = target != nullptr;
    QMetaObject::invokeMethod(
        this,
        [this, id, guard, hadTarget] {
            // A command for a pane that has gone in between is dropped.
            if (hadTarget && guard.isNull())
                return;
            execute(id, guard.data());
        },
        Qt::QueuedConnection);
}

void CommandTable::postUpdateUi() {
    if (std::exchange(m_updatePosted, true))
        return;
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (std::exchange(m_updatePosted, false))
                updateUi();
        },
        Qt::QueuedConnection);
}

void CommandTable::updateUi() {
    m_updatePosted = false;
    for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
        if (it->action == nullptr)
            continue;
        it->action->setEnabled(isAvailable(it.key()));
        if (it->checked)
            it->action->setChecked(it->checked(nullptr));
    }
}

} // namespace tunara::shell
