#include "board/failure_runs.h"

#include <algorithm>
#include <cstring>
#include <iostream>

namespace Device {

FailureRuns::FailureRuns(std::function<void(std::ostream&)> header, std::ostream* out)
    : mOut(out ? *out : std::cerr), mHeader(std::move(header))
{
}

bool FailureRuns::failed(const std::string& what, int error)
{
    auto run = std::find_if(mRuns.begin(), mRuns.end(), [&](const Run& r) { return r.what == what; });
    if (run != mRuns.end() && run->error == error) {
        ++run->more;
        return false;
    }
    succeeded(what);
    mRuns.push_back(Run{what, error, 0});
    return true;
}

void FailureRuns::failed_line(const std::string& what, int error)
{
    if (!failed(what, error))
        return;
    mHeader(mOut);
    mOut << what << " fail: " << std::strerror(error) << std::endl;
}

void FailureRuns::succeeded(const std::string& what)
{
    auto run = std::find_if(mRuns.begin(), mRuns.end(), [&](const Run& r) { return r.what == what; });
    if (run == mRuns.end())
        return;
    if (run->more) {
        mHeader(mOut);
        mOut << what << " fail: " << run->more << " more time(s)" << std::endl;
    }
    mRuns.erase(run);
}

bool FailureRuns::running(const std::string& what) const
{
    return std::any_of(mRuns.begin(), mRuns.end(), [&](const Run& r) { return r.what == what; });
}

void FailureRuns::end_all()
{
    while (!mRuns.empty())
        succeeded(mRuns.front().what);
}

} // namespace Device
