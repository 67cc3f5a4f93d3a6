#include "runtime/profile.h"

#include <ostream>

namespace Profile {

Point* mRoot = nullptr;

Point::Point(const char* name) : mNext(mRoot), mName(name)
{
    mRoot = this;
}

Point::~Point()
{
    for (Point** p = &mRoot; *p; p = &(*p)->mNext) {
        if (*p == this) {
            *p = mNext;
            break;
        }
    }
}

void Point::put(std::ostream& out) const
{
    out << "[" << mName << "]: ";
    mMeasure.put(out);
}

void dump(std::ostream& out)
{
    for (const Point* p = mRoot; p; p = p->next()) {
        p->put(out);
        out << std::endl;
    }
}

} // namespace Profile

namespace Trace {

Block::Block(bool enabled, const char* name, std::ostream& out) : mEnabled(enabled), mName(name), mOut(&out)
{
    if (mEnabled)
        *mOut << "Enter " << mName << std::endl;
}

Block::~Block()
{
    if (mEnabled)
        *mOut << "Leave " << mName << std::endl;
}

} // namespace Trace
