#include "syncplanner.h"

#include <QCoreApplication>
#include <QFile>
#include <QPointer>
#include <QThread>

#include <exception>
#include <string>
#include <utility>
#include <vector>

namespace tunara::transfer {

SyncPlanner::SyncPlanner(QObject *parent) : QObject(parent) {
    qRegisterMetaType<std::shared_ptr<const sync::SyncPlan>>();
}

SyncPlanner::~SyncPlanner() = default;

void SyncPlanner::plan(const QStringList &inputs, const sync::PlayerState &state,
                       const sync::SyncSettings &settings, const QString &cacheDir) {
    const std::uint64_t generation = ++m_generation;
    m_planning = true;
    std::vector<std::string> paths;
    paths.reserve(size_t(inputs.size()));
    for (const QString &input : inputs)
        paths.push_back(QFile::encodeName(input).toStdString());
    const std::string dir = QFile::encodeName(cacheDir).toStdString();
    QPointer<SyncPlanner> self(this);
    // The thread holds copies of everything it reads; the window's objects may go meanwhile.
    QThread *thread = QThread::create([self, generation, paths, state, settings, dir] {
        std::shared_ptr<const sync::SyncPlan> result;
        QString problem;
        try {
            sync::MetadataCache cache(dir);
            // What the player's files were sent with, as the last syncs recorded it.
            sync::PlayerState withLevels = state;
            withLevels.levels = sync::LevelRecords::load(sync::LevelRecords::defaultPath())
                                    .memories[char(settings.plan.memory)];
            const sync::Selection selection = sync::selectionOf(paths, cache.trackNumbers());
            result = std::make_shared<const sync::SyncPlan>(
                sync::planSync(selection, withLevels, settings, cache));
        } catch (const std::exception &e) {
            problem = QString::fromUtf8(e.what());
        }
        // Handed back on the planner's thread, where `self` may be tested safely.
        QMetaObject::invokeMethod(
            qApp,
            [self, generation, result, problem] {
                if (self.isNull() || self->m_generation != generation)
                    return;
                self->m_planning = false;
                if (result)
                    emit self->planned(result);
                else
                    emit self->failed(problem);
            },
            Qt::QueuedConnection);
    });
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    thread->start(QThread::LowPriority);
}

} // namespace tunara::transfer
