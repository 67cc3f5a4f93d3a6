// Daemon mode: detach from the terminal and send the three standard
// streams to the system log (or to hourly log files).
#pragma once

#include <memory>
#include <string>

class LogFileStreamBuf;

namespace Daemon {

struct Params {
    Params();

    // 0 system log, 1 hourly log files, anything else leaves the streams.
    int mode;
    // Passed to daemon(): false makes "/" the working directory.
    bool nochdir;
    // The system log ident (mode 0) or the log directory (mode 1).
    std::string name;
};

// Detaches and redirects when built; in file mode the streams are let go
// of when it dies.
class Sentry {
public:
    explicit Sentry(const Params& params);
    ~Sentry();
    Sentry(const Sentry&) = delete;
    Sentry& operator=(const Sentry&) = delete;

private:
    int mMode;
    std::unique_ptr<LogFileStreamBuf> mLogFile;
};

// Enters daemon mode on the first call only; later calls do nothing.
void Init(const Params& params);

} // namespace Daemon
