// The shared process helpers with Qt's types, for the program's tests and benchmarks.
#pragma once

#include "vplayer_process.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdio>

namespace kestousb::test {

inline std::vector<std::string> stdStrings(const QStringList &list) {
    std::vector<std::string> out;
    for (const QString &s : list)
        out.push_back(s.toStdString());
    return out;
}

// `program args...` run to its end with mtools' check off and a UTF-8 locale; true when it
// exited with 0. Its stdout goes to `out` when given; its stderr to this process's stderr.
inline bool run(const QString &program, const QStringList &args, QByteArray *out = nullptr) {
    const ProcessResult r = runProcess(stdStrings(QStringList{program} + args),
                                       {"MTOOLS_SKIP_CHECK=1", "LC_ALL=C.UTF-8"});
    if (out != nullptr)
        *out = QByteArray::fromStdString(r.out);
    if (r.exitCode != 0 && !r.err.empty())
        std::fputs(r.err.c_str(), stderr);
    return r.exitCode == 0;
}

// The player's `ctl` command; true when it was carried out.
inline bool ctl(const VplayerProcess &player, const QStringList &args) {
    return player.ctl(stdStrings(args)) == 0;
}

} // namespace kestousb::test
