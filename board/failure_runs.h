// Runs of the same failure of one device's holder: a device that stays
// away, or a request that meets the same error at every try (a cadence, a
// sampler, a retry), costs one line when the run starts and one with its
// count when it ends, not a line a try. A run is one request (by its name)
// failing the same way; it ends when the request works again, when it
// fails another way, or when its holder says the device is back.
#pragma once

#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

namespace Device {

class FailureRuns {
public:
    // header writes each line's prefix; the lines go to out, the error
    // stream unless given.
    explicit FailureRuns(std::function<void(std::ostream&)> header, std::ostream* out = nullptr);
    // The holder's own tag (ext::header) as the prefix.
    template <class Owner>
    explicit FailureRuns(const Owner* owner, std::ostream* out = nullptr)
        : FailureRuns([owner](std::ostream& o) { owner->PutHeader(o); }, out)
    {
    }

    // Whether what failing with error starts a run: its caller then writes
    // the run's line. A failure of the run is only counted. The caller says
    // which errors are one (ENODEV and "not open" are, to a device holder).
    bool failed(const std::string& what, int error);
    // "<what> fail: <error text>" as the line of a run that starts.
    void failed_line(const std::string& what, int error);
    // Ends the run of what: "<what> fail: <n> more time(s)" when it had more.
    void succeeded(const std::string& what);
    // A run of what has started and not ended.
    bool running(const std::string& what) const;
    void end_all();

private:
    struct Run {
        std::string what;
        int error;
        unsigned long more;
    };

    std::ostream& mOut;
    std::function<void(std::ostream&)> mHeader;
    std::vector<Run> mRuns;
};

} // namespace Device
