// The gateway server program: configuration, signals, options, slot
// factories, the board singletons, daemon mode, pid file, the control
// services and the controller's acceptor, then the event loop until
// SIGTERM or SIGINT.
#include <getopt.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "main/factories.h"
#include "monitoring/monitoring_ctl.h"
#include "runtime/child_wait.h"
#include "runtime/console.h"
#include "runtime/daemon.h"
#include "runtime/ini_file.h"
#include "runtime/ipc_signal.h"
#include "runtime/linux_run.h"
#include "runtime/multiplexer.h"
#include "runtime/paths.h"
#include "runtime/timer.h"
#include "runtime/trace_ctl.h"
#include "runtime/version.h"
#include "server/boardctl/bus_ctl.h"
#include "server/control/control_acceptor.h"
#include "server/control/ctrl_server.h"
#include "server/boardctl/e1_ctl.h"
#include "server/control/heartbeat.h"
#include "server/switch/hw_mux.h"
#include "server/boardctl/hw_tests.h"
#include "server/slots/slots.h"
#include "server/boardctl/spi_ctrl.h"
#ifdef VOXBRIDGE_SIMULATED_BOARD
#include "simboard/board.h"
#include "simboard/test_port.h"
#endif

namespace {

const char* const configFile = "/usr/local/etc/server.conf";
const char* const statusFile = "/var/log/server-status";
const int defaultPort = 20001;

int print_version = 0;
// Set by the signal handlers, read by the loop's deferred call.
volatile sig_atomic_t doDumpStatus = 0;
volatile sig_atomic_t updateResources = 0;

const option long_options[] = {
    {"daemon", no_argument, nullptr, 'D'},
    {"disable-clock", no_argument, nullptr, 10},
    {"port", required_argument, nullptr, 'p'},
    {"version", no_argument, &print_version, 1},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

void usage()
{
    std::cout << "Usage:\n"
                 " voxbridge -Dh\n"
                 "  -D --daemon                      run as daemon\n"
                 "  -p --port N                      use this port\n"
                 "     --disable-clock               disable clock control\n"
                 "     --version                     print version\n"
                 "  -h --help                        display this information\n"
              << std::endl;
}

std::string version_text()
{
    std::ostringstream text;
    Version::current.put(text);
    return text.str();
}

// A port is a whole decimal number 1..65535 and nothing else: a value
// that strtol would turn into 0 or that a 16-bit port would wrap is refused.
bool parse_port(const char* text, int& port)
{
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || value < 1 || value > 65535)
        return false;
    port = static_cast<int>(value);
    return true;
}

void SigPipeHandler(int) {}

void SigTermHandler(int)
{
    multiplexer.terminate();
}

// The flags are served by the next pass; the wake-up keeps a signal that
// lands just before poll() from waiting for the next event.
void SigUsr2Handler(int)
{
    doDumpStatus = 1;
    multiplexer.wakeup();
}

void SigHupHandler(int)
{
    updateResources = 1;
    multiplexer.wakeup();
}

void InstallSignalHandlers()
{
    IPC::Signal::handle(SIGPIPE, SigPipeHandler, SA_RESTART);
    IPC::Signal::handle(SIGTERM, SigTermHandler, 0);
    IPC::Signal::handle(SIGINT, SigTermHandler, 0);
    IPC::Signal::handle(SIGUSR2, SigUsr2Handler, SA_RESTART);
    IPC::Signal::handle(SIGHUP, SigHupHandler, SA_RESTART);
}

void CheckDumpStatus()
{
    if (!doDumpStatus)
        return;
    doDumpStatus = 0;
    // Written beside the file and renamed over it, so that a reader sees
    // the last whole dump and never one being written.
    const std::string path = Paths::resolve(statusFile);
    const std::string fresh = path + ".tmp";
    std::ofstream out(fresh, std::ios::out | std::ios::trunc);
    if (out) {
        out << "voxbridge status\n"
            << "version : " << version_text() << "\n";
        multiplexer.dump(out);
        out.close();
    }
    // A file cut short (a full disk) is no dump either.
    if (!out || ::rename(fresh.c_str(), path.c_str()) != 0) {
        ::unlink(fresh.c_str());
        std::cerr << "dump status error" << std::endl;
    }
}

void CheckUpdateResources()
{
    if (!updateResources)
        return;
    updateResources = 0;
    std::clog << "update hardware resources" << std::endl;
    Slots::instance()->UpdateHardwareResources();
}

void CheckSignals()
{
    CheckDumpStatus();
    CheckUpdateResources();
}

void RunDaemon()
{
    Daemon::Params params;
    params.name = "vxb-" + version_text();
    Daemon::Init(params);
}

// The option results; exits with the usage on anything it does not take.
void ParseOptions(int argc, char** argv, int& port, bool& daemonMode)
{
    opterr = 1;
    int c;
    while ((c = getopt_long(argc, argv, "Dhp:", long_options, nullptr)) != -1) {
        switch (c) {
        case 'D':
            daemonMode = true;
            break;
        case 10:
            BusCtl::instance().DisableControl();
            break;
        case 'p':
            if (!parse_port(optarg, port)) {
                std::cerr << argv[0] << ": invalid port '" << optarg << "'" << std::endl;
                usage();
                std::exit(2);
            }
            break;
        case 'h':
            usage();
            std::exit(0);
        case '?':
            usage();
            std::exit(2);
        default:
            break;
        }
    }
}

void BindServices()
{
    ctrlServer.Bind(&HeartBeatCtl::instance());
    ctrlServer.Bind(Slots::instance());
    ctrlServer.Bind(&HwTests::instance());
    ctrlServer.Bind(&BusCtl::instance());
    ctrlServer.Bind(&E1Ctl::instance());
    ctrlServer.Bind(&spiCtrl::instance());
    ctrlServer.Bind(MonitoringCtl::instance());
}

} // namespace

int main(int argc, char** argv)
{
#ifdef VOXBRIDGE_SIMULATED_BOARD
    // Every device request of the process goes to the simulated board.
    static SimBoard::Board board;
    board.set_recording(false);
    Device::set_driver(&board);
#endif
    IniFile::File file;
    if (file.Open(configFile)) {
        traces = TraceCtl();
        traces.Configure(file["traces"]);
    } else if (!file.Missing()) {
        // A missing file is the usual case and says nothing; one that is
        // there but cannot be used leaves the defaults too, told once.
        std::cerr << configFile << ": can't read: " << file.OpenError() << ", defaults used" << std::endl;
    }
    InstallSignalHandlers();

    int port = defaultPort;
    bool daemonMode = false;
    ParseOptions(argc, argv, port, daemonMode);
    if (print_version) {
        std::cout << "server version: " << version_text() << std::endl;
        return 2;
    }

    BuildFactories();
    HwMux::instance();
    MonitoringCtl::instance()->Configure(file);
    if (daemonMode)
        RunDaemon();
    else
        Console::Install();
    Linux::Run pidFile("server");
    // The RTP sessions draw their SSRCs from rand(): two gateways must not
    // draw the same ones (RFC 3550 8.1).
    std::srand(static_cast<unsigned>(std::time(nullptr)) ^ (static_cast<unsigned>(::getpid()) << 16));
#ifdef VOXBRIDGE_SIMULATED_BOARD
    // Tests drive the board through its port, named after the final pid.
    static SimBoard::TestPort testPort(board);
    testPort.open(::getpid());
#endif
    std::cout << "Starting server [" << version_text() << "], port=" << port << std::endl;

    BindServices();
    ChildWait::Activate();
    Dpc signals;
    signals.Bind(new DpcHandler1(CheckSignals));
    signals.Activate();
    ctrlServer.Activate(new Control::AcceptorNetCheckConnection(port));

    multiplexer.run(true, true);

    ctrlServer.Deactivate();
    signals.Deactivate();
    return 0;
}
