// The one table of the program's commands: number -> handler, availability and check rules.
// QActions carry the numbers; menus, keys and tool bar buttons all run through execute(), and a
// command posted to ourselves is queued and tested again when it arrives.
#pragma once

#include "commandid.h"

#include <QHash>
#include <QObject>
#include <QPointer>

#include <functional>

class QAction;

namespace tunara::shell {

class CommandTable : public QObject {
    Q_OBJECT
public:
    // The object a command is meant for (a memory pane); null means "the active one".
    using Handler = std::function<void(QObject *target)>;
    using Rule = std::function<bool(QObject *target)>;

    explicit CommandTable(QObject *parent = nullptr);

    void add(Cmd id, Handler handler, Rule enabled = {}, Rule checked = {});
    bool contains(int id) const { return m_entries.contains(id); }

    // The action of a command: menu text, prompt and tool tip from the string table.
    QAction *action(Cmd id);

    bool isAvailable(int id, QObject *target = nullptr) const;
    // Runs the command when its rule allows it now; returns whether it ran.
    bool execute(int id, QObject *target = nullptr);
    // Queues the command; its rule is tested when it is delivered.
    void post(int id, QObject *target = nullptr);

    // Brings the actions' enabled and checked states up to date.
    void updateUi();
    // The same, once, when the event loop next runs: states that flip back and forth within
    // one pass (a queue between two files) leave the tool bar alone.
    void postUpdateUi();

signals:
    void executed(int id);
    void refused(int id);

private:
    struct Entry {
        Handler handler;
        Rule enabled;
        Rule checked;
        QAction *action = nullptr;
    };
    QHash<int, Entry> m_entries;
    bool m_updatePosted = false;
};

} // namespace tunara::shell
