// The program's version as the build fixed it: the project's version and a build number.
#pragma once

#include <QString>

namespace tunara::shell {

struct ProgramVersion {
    int major = 0;
    int minor = 0;
    int patch = 0;
    int build = 0;
};

// The version this program was built with.
ProgramVersion programVersion();

// "0.1.0 (build 7)": what `tunara --version` prints.
QString programVersionLine();

} // namespace tunara::shell
