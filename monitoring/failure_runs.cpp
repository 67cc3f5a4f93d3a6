#include "monitoring/failure_runs.h"

#include <algorithm>
#include <cstring>
#include <iostream>

void FailureRuns::failed(const std::string& what, int error)
{
    auto run = std::find_if(mRuns.begin(), mRuns.end(), [&](const Run& r) { return r.what == what; });
    if (run != mRuns.end() && run->error == error) {
        ++run->more;
        return;
    }
    succeeded(what);
    mRuns.push_back(Run{what, error, 0});
    std::cerr << mHeader << what << " fail: " << std::strerror(error) << std::endl;
}

void FailureRuns::succeeded(const std::string& what)
{
    auto run = std::find_if(mRuns.begin(), mRuns.end(), [&](const Run& r) { return r.what == what; });
    if (run == mRuns.end())
        return;
    if (run->more)
        std::cerr << mHeader << what << " fail: " << run->more << " more time(s)" << std::endl;
    mRuns.erase(run);
}
