// The errno of a failed driver request as log lines end with it:
// ` errno="No such device"`. Taken when built, before anything is written.
#pragma once

#include <cerrno>
#include <cstring>
#include <ostream>

struct ErrnoText {
    int error = errno;
};

inline std::ostream& operator<<(std::ostream& out, const ErrnoText& e)
{
    return out << " errno=\"" << std::strerror(e.error) << '"';
}
