#include "runtime/version.h"

#include <ostream>

#include "runtime/version_build.h"

// The constexpr constructor makes this constant initialisation, so the
// record is valid before any other static object is built.
const Version Version::current(Version::Snapshot, 0, "", VOXBRIDGE_BUILD_USER, VOXBRIDGE_BUILD_DATE,
                               VOXBRIDGE_BUILD_TAG, VOXBRIDGE_BUILD_ARCH);

void Version::put(std::ostream& out) const
{
    out << mTag;
}

std::ostream& operator<<(std::ostream& out, Version::Type type)
{
    return out << version_string(type);
}

const char* version_string(Version::Type type)
{
    switch (type) {
    case Version::Snapshot:
        return "snapshot";
    case Version::Test:
        return "test";
    case Version::Release:
        return "release";
    case Version::UnitTest:
        return "unit-test";
    }
    return "unknown";
}

const char* version_suffix(Version::Type type)
{
    switch (type) {
    case Version::Snapshot:
        return "S";
    case Version::Test:
    case Version::UnitTest:
        return "T";
    case Version::Release:
        return "R";
    }
    return "U";
}
