#include "runtime/daemon.h"

#include <syslog.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iostream>

#include "runtime/log_streams.h"
#include "runtime/syslog.h"

namespace Daemon {

namespace {
// The client keeps its own copy, but the ident stays put for the process.
char gIdent[80];
} // namespace

Params::Params() : mode(0), nochdir(false), name("unknown") {}

Sentry::Sentry(const Params& params)
{
    if (::daemon(params.nochdir, 0) != 0) {
        std::cerr << "daemon() fail!" << std::endl;
        std::exit(2);
    }
    mMode = params.mode;
    if (mMode == 0) {
        std::strncpy(gIdent, params.name.c_str(), sizeof(gIdent) - 1);
        gIdent[sizeof(gIdent) - 1] = '\0';
        syslogManager.openlog(gIdent, LOG_NDELAY, 0);
        // Installed for the rest of the process: never deleted, since the
        // streams may still write during exit.
        std::cout.rdbuf(new ManagedSysLogStreamBuf(LOG_DAEMON, LOG_NOTICE));
        std::cerr.rdbuf(new ManagedSysLogStreamBuf(LOG_DAEMON, LOG_ERR));
        std::clog.rdbuf(new ManagedSysLogStreamBuf(LOG_DAEMON, LOG_DEBUG));
        std::cin.tie(&std::cout);
        // Output written straight to descriptors 1 and 2, also by a child
        // that inherits them, reaches the log socket too, the new one after
        // a reconnection. The helper programs get a pipe of the loop.
        syslogManager.redirect_stdio();
    } else if (mMode == 1) {
        mLogFile.reset(new LogFileStreamBuf(params.name));
        std::cout.rdbuf(mLogFile.get());
        std::cerr.rdbuf(mLogFile.get());
        std::clog.rdbuf(mLogFile.get());
    }
}

Sentry::~Sentry()
{
    if (mMode == 1) {
        std::cout.rdbuf(nullptr);
        std::cerr.rdbuf(nullptr);
        std::clog.rdbuf(nullptr);
        mLogFile.reset();
    }
}

void Init(const Params& params)
{
    static Sentry sentry(params);
}

} // namespace Daemon
