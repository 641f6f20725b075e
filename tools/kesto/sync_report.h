// How kesto sync reports its run: one line per action on stdout (or, with --json, one object
// at the end), failures on stderr, and the summary with the memory's room before and after.
#pragma once

#include "sync/syncplan.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kesto {

// The file name of a library path: how the lines name a file.
std::string fileName(const std::string &path);

// How a replace that did not complete left the player: where the old and the new copy are.
struct ReplaceResult {
    int code = 0;        // the first failure, or 0
    bool sent = false;   // the new copy is on the player
    bool lost = false;   // the table could not be read again: the run ends
    bool told = false;   // the code is the failed refresh's, whose message is out
    std::string outcome; // where the copies are, after a failure
    std::string oldAs;   // the old copy's name, while it is still on the player
    std::string newAs;   // the new copy's name, when it is not in its place
};

// One line per action on stdout, or, with --json, one object at the end; counts for the summary.
class Report {
public:
    Report(unsigned char mem, bool dryRun, bool json) : m_mem(mem), m_dry(dryRun), m_json(json) {}

    // A step as it starts (a dry run: as planned); a refused file's reason on stderr.
    void step(const tunara::sync::SyncItem &s);
    void move(const std::string &name, unsigned position);
    void done(const tunara::sync::SyncItem &s);
    void failed(const tunara::sync::SyncItem &s, int code);

    // The player's directory took no more names: the file and what follows did not fit.
    void noNameRoom(const tunara::sync::SyncItem &s);
    void replaceFailed(const tunara::sync::SyncItem &s, const ReplaceResult &r);
    void failedMove(const std::string &name, int code);
    void addSendingTime(double seconds) { m_seconds += seconds; }

    void summary(const tunara::sync::SyncPlan &plan, bool shortNames) const;
    bool anyFailed() const { return m_failed > 0; }

private:
    void record(const tunara::sync::SyncItem &s, const char *status, int code,
                const std::string &more = {});

    unsigned char m_mem;
    bool m_dry, m_json;
    std::vector<std::string> m_steps; // JSON objects
    size_t m_sent = 0, m_deleted = 0, m_moved = 0, m_failed = 0, m_didNotFit = 0;
    uint64_t m_bytes = 0;
    double m_seconds = 0;
};

} // namespace kesto
