// Runs of the same failure: a device that stays away, or a sampler that
// meets the same error every time, costs one line when the run starts and
// one with its count when it ends, not a line a sample.
#pragma once

#include <string>
#include <vector>

class FailureRuns {
public:
    // header: the prefix of every line ("MonitoringCtl: ").
    explicit FailureRuns(std::string header) : mHeader(std::move(header)) {}

    // "<what> fail: <error text>", unless what failed the same way last time.
    void failed(const std::string& what, int error);
    // Ends the run of what: "<what> fail: <n> more time(s)" when it had more.
    void succeeded(const std::string& what);

private:
    struct Run {
        std::string what;
        int error;
        unsigned long more;
    };

    std::string mHeader;
    std::vector<Run> mRuns;
};
