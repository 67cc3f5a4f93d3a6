#include "runtime/whole_records.h"

WholeRecords::WholeRecords(size_t room)
{
    mRest.reserve(room);
    mReport.reserve(room);
}

void WholeRecords::keep(const char* rest, size_t length, unsigned long reported)
{
    mRest.assign(rest, length);
    mRestReported = length > 0 ? reported : 0;
}

void WholeRecords::outlet_gone()
{
    if (!mRest.empty())
        mDropped += mRestReported > 0 ? mRestReported : 1;
    mRest.clear();
    mRestReported = 0;
}

void WholeRecords::clear()
{
    mRest.clear();
    mRestReported = 0;
    mDropped = 0;
}
