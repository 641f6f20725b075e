// Works out the sync plan off the window's thread: the selection's folders and playlists are
// read and planned against the player's table on a thread of its own, which copies its inputs
// and hands the plan back on the window's thread. A planning that is overtaken by a newer one,
// or whose planner has gone, ends unseen.
#pragma once

#include "sync/syncplan.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>

namespace tunara::transfer {

class SyncPlanner : public QObject {
    Q_OBJECT
public:
    explicit SyncPlanner(QObject *parent = nullptr);
    // The planning thread is not waited for: it owns its inputs and ends by itself.
    ~SyncPlanner() override;

    // Starts planning `inputs` (folders and playlists) against `state`. The metadata cache sits
    // in `cacheDir`. Answers with planned() or failed(), unless plan() is called again first.
    void plan(const QStringList &inputs, const sync::PlayerState &state,
              const sync::SyncSettings &settings, const QString &cacheDir);
    bool planning() const { return m_planning; }

signals:
    void planned(std::shared_ptr<const sync::SyncPlan> plan);
    void failed(const QString &message);

private:
    std::uint64_t m_generation = 0;
    bool m_planning = false;
};

} // namespace tunara::transfer
