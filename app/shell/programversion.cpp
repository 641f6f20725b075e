#include "programversion.h"

// The build passes these (CMake project version and TUNARA_BUILD_NUMBER) to this file only, so
// that a new build number recompiles one file.
#ifndef TUNARA_VERSION_MAJOR
#error "TUNARA_VERSION_MAJOR, _MINOR, _PATCH and TUNARA_BUILD_NUMBER come from the build"
#endif

namespace tunara::shell {

ProgramVersion programVersion() {
    return {TUNARA_VERSION_MAJOR, TUNARA_VERSION_MINOR, TUNARA_VERSION_PATCH, TUNARA_BUILD_NUMBER};
}

QString programVersionLine() {
    const ProgramVersion v = programVersion();
    return QStringLiteral("%1.%2.%3 (build %4)")
        .arg(v.major)
        .arg(v.minor)
        .arg(v.patch)
        .arg(v.build);
}

} // namespace tunara::shell
