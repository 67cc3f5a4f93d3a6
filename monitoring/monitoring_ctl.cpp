#include "monitoring/monitoring_ctl.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "asn1/avn_encoder.h"
#include "board/device.h"
#include "board/hal_requests.h"
#include "runtime/ext.h"
#include "runtime/ini_file.h"
#include "runtime/paths.h"
#include "runtime/proc.h"
#include "runtime/trace_ctl.h"

namespace {

const char kConfigDir[] = "/usr/local/etc/";
const char kTemperature[] = "/proc/temperature";
const size_t kFramerRead = 1024;

// The first line of a text file (line end included when it fits), as the
// board's version and status files hold one value on their first line;
// false when the file does not open, an empty line when nothing is read.
bool firstLine(const char* path, std::string& line, size_t size = 256)
{
    FILE* f = std::fopen(Paths::resolve(path).c_str(), "r");
    if (!f)
        return false;
    std::vector<char> buf(size, '\0');
    if (!std::fgets(buf.data(), static_cast<int>(size - 1), f))
        buf[0] = '\0';
    std::fclose(f);
    line = buf.data();
    return true;
}

// The configuration tools name their file config.<8 hex digits>-<1 to 16
// hex digits>. Any other config. name (a backup, a copy with a suffix) is
// no version: read at fixed places it would give numbers no tool wrote.
bool configVersion(const std::string& name, uint32_t& first, unsigned long long& second)
{
    const size_t at = 7;
    auto hex = [&](size_t from, size_t to) {
        for (size_t i = from; i < to; ++i)
            if (!std::isxdigit(static_cast<unsigned char>(name[i])))
                return false;
        return true;
    };
    if (name.size() < at + 10 || name.size() > at + 25 || name.compare(0, at, "config.") != 0 || name[at + 8] != '-' ||
        !hex(at, at + 8) || !hex(at + 9, name.size()))
        return false;
    first = static_cast<uint32_t>(std::stoul(name.substr(at, 8), nullptr, 16));
    second = std::stoull(name.substr(at + 9), nullptr, 16);
    return true;
}

void traceFileError(const char* what, const std::string& path)
{
    if (traces.monitoringInternal)
        std::clog << what << "\"" << path << "\" errno=\"" << std::strerror(errno) << "\"" << std::endl;
}

// The LED byte after the controller's word on E1 line n: a link that is up
// darkens its link LED; a line that comes up lights both of its LEDs, one
// that goes down darkens both.
uint8_t ledsAfter(uint8_t leds, unsigned n, const LGCP::FramerInfoData& data)
{
    const uint8_t link = static_cast<uint8_t>(1u << (2 * n));
    const uint8_t line = static_cast<uint8_t>(2u << (2 * n));
    if (data.is_link())
        return data.get_link().getValue() ? leds & ~link : leds | link;
    if (!data.is_line())
        return leds;
    if (!data.get_line().getValue())
        return leds & static_cast<uint8_t>(~(line | link));
    return leds & line ? leds : leds | line | link;
}

} // namespace

MonitoringCtl* MonitoringCtl::instance()
{
    static MonitoringCtl monitoring;
    return &monitoring;
}

namespace {

Device::Holder::Setup halSetup()
{
    Device::Holder::Setup setup(Device::Hal::kDevice, O_RDWR, "/dev/hal open fail: ");
    setup.openRun = "/dev/hal open";
    return setup;
}

} // namespace

MonitoringCtl::MonitoringCtl()
    : mHal([this](std::ostream& out) { PutHeader(out); }, halSetup()), mFindProcess(find_proc_by_name)
{
    // All LEDs dark on a fresh descriptor until the controller says
    // otherwise; what it said, the reconcile writes.
    mHal.on_fresh([this] {
        if (!mLeds.byte.on())
            writeLeds(0);
        return true;
    });
    mHal.attach(mLeds);
    mBackground.set(kBackgroundFirstMs, &MonitoringCtl::onBkgCheckTimer, this);
    mPower.set(kPowerMs, &MonitoringCtl::onPowerCheckTimer, this);
    mController.set(kControllerMs, &MonitoringCtl::onControllerCheckTimer, this);
    mResend.Bind(this, &MonitoringCtl::OnDpcSend);
}

MonitoringCtl::~MonitoringCtl()
{
    writeLeds(0);
    mHal.detach(mLeds);
    mHal.close();
    mResend.Deactivate();
    mAgents.UnBind();
}

void MonitoringCtl::Configure(IniFile::File& file)
{
    mAgents.CreateInstances(file["snmpagent"]);
    mAgents.Bind(this);
}

void MonitoringCtl::PutHeader(std::ostream& out) const
{
    out << "MonitoringCtl: ";
}

// --------------------------------------------------------- control service

void MonitoringCtl::OnConnect()
{
    // Every new controller hears the power state, changed or not, but only
    // as a read found it: a cached state may be long gone.
    mPowerOwed = true;
    doPowerCheck();
    doControllerCheck();
}

void MonitoringCtl::OnDisconnect()
{
    mPowerOwed = false;
    mHolder.ClearControllerFiles();
    doControllerCheck();
}

bool MonitoringCtl::OnCommand(const LGCP::Command& cmd)
{
    if (!cmd.is_display())
        return false;
    if (!reachesAgents(cmd.get_display())) {
        Error(LGCP::ErrorCause::invalidParams);
        return true;
    }
    OnDisplayCMD(cmd.get_display()) ? Success() : Error(LGCP::ErrorCause::internal);
    return true;
}

void MonitoringCtl::OnSignal(const LGCP::Signal& sig)
{
    if (!sig.is_trunkStatus())
        return;
    const ACP::TrunkStatus& status = sig.get_trunkStatus();
    // The BRI lines report on the same signal with their own numbers; they
    // end in no framer.
    if (status.get_type().getValue() != ACP::TrunkType::e1)
        return;
    auto state = static_cast<ACP::TrunkState::NamedNumber>(status.get_state().getValue());
    bool changed = false;
    for (FramerDataHolder& framer : mHolder.framers)
        if (framer.number() - 1 == status.get_trunk().getValue())
            changed |= framer.setFramerStatus(state);
    if (changed)
        mResend.Activate();
}

void MonitoringCtl::OnSnmpAgentConnect(const std::string&)
{
    mResend.Activate();
}

bool MonitoringCtl::OnDisplayCMD(const LGCP::DisplayParams& params)
{
    mHolder.setDisplayStatus(params);
    if (params.is_board()) {
        if (params.get_board().is_boardStatus())
            sendSnmpBoardStatus(params.get_board().get_boardStatus());
    } else if (params.is_snmpTrapReceivers()) {
        sendSnmpTrapReceivers();
    } else if (params.is_framer()) {
        return setFramerLed(params.get_framer());
    } else if (params.is_emPhone()) {
        if (params.get_emPhone().is_phoneStatus())
            sendSnmpEmPhoneStatus(params.get_emPhone().get_phoneStatus());
    } else if (params.is_controller()) {
        sendSnmpControllerStatus();
    } else if (params.is_termCounter()) {
        sendSnmpRouterTermCnt();
        sendSnmpControllerTermCnt();
        sendSnmpServerTermCnt();
        sendSnmpBoardTermCnt();
    } else if (params.is_snmp_set()) {
        sendSnmpCommands(params.get_snmp_set());
    }
    return true;
}

// ------------------------------------------------------------- "/dev/hal"

// A wish that the present descriptor does not carry (refused, or held while
// the device was missing) is written at each need: the samples every 2 s,
// the holder's retry every second.
bool MonitoringCtl::IsOpen()
{
    return mHal.device() >= 0;
}

void MonitoringCtl::Leds::reconcile(Device::Tally&)
{
    MonitoringCtl& m = owner;
    byte.restore([&m] { return m.mHal.present(); }, [&m](uint8_t b) { return m.writeLeds(b); },
                 [&m] { return m.mHal.refusal(); });
}

// The holder lets a descriptor that meets ENODEV go.
bool MonitoringCtl::halByte(const char* what, unsigned long request, uint8_t& byte)
{
    uint8_t value = byte;
    if (mHal.ioctl(request, &value) < 0) {
        mHal.runs().failed_line(what, errno);
        return false;
    }
    mHal.runs().succeeded(what);
    byte = value;
    return true;
}

bool MonitoringCtl::writeLeds(uint8_t byte)
{
    return mHal.fd() >= 0 && halByte("LED write", Device::Hal::HAL_LEDS_WRITE, byte);
}

// A device that refuses the LEDs answers an error and keeps what they
// were; one that is missing, or lost under the write, gets them when it
// opens again.
bool MonitoringCtl::setFramerLed(const LGCP::FramerInfo& info)
{
    unsigned n = info.get_e1().getValue();
    if (n > 3)
        return true;
    uint8_t want = ledsAfter(mLeds.byte.asked(), n, info.get_info());
    // Opens a missing device, which is told what it does not carry first.
    mHal.device();
    Device::Outcome outcome = mLeds.byte.change(
        want, [this] { return mHal.present(); }, [this](uint8_t byte) { return writeLeds(byte); },
        [this] { return mHal.refusal(); });
    // A held wish keeps the retry going.
    mHal.changed();
    return Device::done(outcome);
}

// ----------------------------------------------------------------- timers

void MonitoringCtl::onBkgCheckTimer()
{
    doVersionsCheck();
    doConfigCheck();
    doFramerCheck();
    doTemperatureCheck();
    mBackground.set(kBackgroundMs, &MonitoringCtl::onBkgCheckTimer, this);
}

void MonitoringCtl::onPowerCheckTimer()
{
    doPowerCheck();
    doDipCheck();
    doNetIfCheck();
    // Files that a full disk, a removal or a link in their place left
    // behind their values; most values never change, so nothing else would
    // write them.
    mHolder.RewriteOwedFiles();
    mPower.set(kPowerMs, &MonitoringCtl::onPowerCheckTimer, this);
}

void MonitoringCtl::onControllerCheckTimer()
{
    doControllerCheck();
    mController.set(kControllerMs, &MonitoringCtl::onControllerCheckTimer, this);
}

// --------------------------------------------------------------- samplers

void MonitoringCtl::doVersionsCheck()
{
    struct VersionFile {
        const char* path;
        const char* label;
        bool (MonitoringDataHolder::*set)(const std::string&);
        void (MonitoringCtl::*send)();
    };
    static const VersionFile files[] = {
        {"/var/version", "BuildVersion - ", &MonitoringDataHolder::setBuildVersion,
         &MonitoringCtl::sendSnmpStatusBuildVersion},
        {"/var/u-boot-version", "BootVersion - ", &MonitoringDataHolder::setBootVersion,
         &MonitoringCtl::sendSnmpStatusBootVersion},
        {"/var/fpga-version", "FPGAVersion - ", &MonitoringDataHolder::setFPGAVersion,
         &MonitoringCtl::sendSnmpStatusFPGAVersion},
        {"/var/board-version", "BoardVersion - ", &MonitoringDataHolder::setBoardVersion,
         &MonitoringCtl::sendSnmpStatusBoardVersion},
    };
    for (const VersionFile& file : files) {
        std::string text;
        if (!firstLine(file.path, text))
            continue;
        if (traces.monitoringInternal)
            std::clog << file.label << text << std::endl;
        if ((mHolder.*file.set)(text))
            (this->*file.send)();
    }
}

void MonitoringCtl::doConfigCheck()
{
    std::string dir = Paths::resolve(kConfigDir);
    DIR* d = ::opendir(dir.c_str());
    if (!d)
        return;
    // The configuration tools run relative to their folder; the process
    // stays there.
    if (::chdir(dir.c_str()) != 0)
        std::clog << ext::header(this) << "chdir " << dir << ": " << std::strerror(errno) << std::endl;
    while (dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        struct stat st;
        if (::lstat((dir + name).c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            continue;
        uint32_t first = 0;
        unsigned long long second = 0;
        if (!configVersion(name, first, second))
            continue;
        if (mHolder.setConfigVersion(first, second))
            sendSnmpGatewayConfigVersion();
    }
    ::closedir(d);
}

void MonitoringCtl::doFramerCheck()
{
    std::vector<unsigned char> text;
    for (FramerDataHolder& framer : mHolder.framers) {
        std::string path = Paths::resolve(framer.path());
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            traceFileError("Error open file: ", path);
            continue;
        }
        text.resize(kFramerRead);
        ssize_t n = ::read(fd, text.data(), text.size());
        int readErrno = errno;
        ::close(fd);
        if (n <= 0) {
            errno = readErrno;
            traceFileError("Error read file: ", path);
            continue;
        }
        text.resize(static_cast<size_t>(n));
        if (framer.setFramerStatus(text))
            sendSnmpFramerStatus(framer);
    }
}

void MonitoringCtl::doTemperatureCheck()
{
    std::string text;
    if (!firstLine(kTemperature, text))
        return;
    if (traces.monitoringInternal)
        std::clog << "Temperature - " << text << std::endl;
    text = text.substr(0, text.find_first_of(" \t\n\r\f\v"));
    if (mHolder.setTemperature(text))
        sendSnmpTemperature();
}

void MonitoringCtl::doPowerCheck()
{
    uint8_t byte = 0;
    if (!IsOpen() || !halByte("power read", Device::Hal::HAL_POWER_READ, byte))
        return;
    LGCP::POWERStatus status(byte == 0  ? LGCP::POWERStatus::both
                             : byte > 3 ? LGCP::POWERStatus::unknown
                                        : static_cast<LGCP::POWERStatus::NamedNumber>(byte));
    if (mHolder.setPowerStatus(status)) {
        if (traces.monitoringInternal)
            std::clog << "New power status - " << status << std::endl;
        sendPowerStatus();
        sendSnmpPowerStatus();
    }
    if (mPowerOwed) {
        mPowerOwed = false;
        sendPowerStatus();
    }
}

void MonitoringCtl::sendPowerStatus()
{
    LGCP::Signal sig;
    sig.set_power(static_cast<LGCP::POWERStatus::NamedNumber>(mHolder.powerStatus.getValue()));
    SendSignal(sig);
}

void MonitoringCtl::doDipCheck()
{
    uint8_t byte = 0;
    if (!IsOpen() || !halByte("DIP read", Device::Hal::HAL_DIP_READ, byte))
        return;
    if (!mHolder.setDipValue(byte))
        return;
    if (traces.monitoringInternal)
        std::clog << "New dip - " << static_cast<char>(byte) << std::endl;
    sendSnmpGatewayDip();
}

void MonitoringCtl::doNetIfCheck()
{
    for (NetIfDataHolder& netIf : mHolder.netIfs)
        if (netIf.updateNetIf())
            sendSnmpNetIfStatus(netIf);
}

void MonitoringCtl::doControllerCheck()
{
    LGCP::ControllerInfo info;
    info.get_host().set_iaddr(dottedQuad(mHolder.ownAddress));
    bool connected = false;
    if (CheckServerConnection(connected) && connected) {
        info.set_status(static_cast<HSP::ControllerStatus::NamedNumber>(mHolder.ownControllerStatus.getValue()));
    } else {
        mHolder.controllerPid = mFindProcess("controller", mHolder.controllerPid);
        info.set_status(mHolder.controllerPid < 1 ? HSP::ControllerStatus::notrun
                                                  : HSP::ControllerStatus::notconnection);
    }
    if (mHolder.setControllerStatus(info))
        sendSnmpControllerStatus();
}
