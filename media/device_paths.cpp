#include "media/device_paths.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ostream>

#include "board/dsp_requests.h"
#include "board/dtmf_requests.h"

const char* GetVoiceDevName()
{
    return "/dev/voice";
}

const char* GetMixerDevName()
{
    return "/dev/mixer";
}

const char* GetDTMFDevName()
{
    return Device::Dtmf::kDevice;
}

const char* GetDSPDevName()
{
    return Device::Dsp::kDevice;
}

const char* GetRtpDevName()
{
    return "/dev/rtp";
}

const char* GetRtpExtDevName()
{
    return "/dev/rtp_ext";
}

const char* GetModemDevName()
{
    return "/dev/mctl";
}

const char* GetSpiTdmDevName()
{
    return "/dev/spi_tdm";
}

const char* GetUsbTdmDevName()
{
    return "/dev/usb_tdm";
}

const char* GetCodecAsStr(int codec)
{
    static const char* const kNames[] = {"unknown",  "g711",     "g723",     "g729", "tonec",
                                         "g711-rtp", "g729-rtp", "g723-rtp", "conf"};
    const int n = sizeof(kNames) / sizeof(kNames[0]);
    return codec >= 0 && codec < n ? kNames[codec] : "invalid";
}

RtpErr::RtpErr(int code) : mErrno(errno), mCode(code) {}

void RtpErr::Put(std::ostream& out) const
{
    out << std::strerror(mErrno);
}

std::ostream& operator<<(std::ostream& out, const RtpErr& e)
{
    e.Put(out);
    return out;
}

namespace {
const int kRtpErrorBase = 0x3000101;
// From kRtpErrorBase on; 0x300010d has no text.
const char* const kRtpErrors[] = {
    "Maximum number of contexts exceeded",
    "Context destroyed or never created",
    "Socket not open for reading or writing",
    "Can't obtain a new socket",
    "Can't bind socket",
    "Unable to set socket option",
    "Unable to write to socket",
    "Unable to read from socket",
    "Socket does not belong to session",
    "Change not allowed during open session",
    "Invalid address specified",
    "Invalid port specified",
    nullptr,
    "Unable to close session",
    "No such membership info",
    "Invalid rtpprofile specified",
    "no data to receive at socket",
    "Packet looped back",
    "CSRC list not yet set",
    "2 CSRCs on list have same SSRC",
    "Packet has incorrect format",
    "Person not session member",
    "Person data protected",
    "No such sender in current session",
    "No such SDES field",
    "Encryption / decryption function not set",
    "Packet was unsuccessfully decrypted",
    "End of iterating list",
    "Not allowed to recurse",
    "SSRC in use",
    "Couldn't get socket name",
    "No such contributor",
    "CSRC list full",
    "Don't send this packet now",
};
} // namespace

const char* RTPStrError(int code)
{
    const long n = sizeof(kRtpErrors) / sizeof(kRtpErrors[0]);
    long at = static_cast<long>(code) - kRtpErrorBase;
    if (at >= 0 && at < n && kRtpErrors[at])
        return kRtpErrors[at];
    static char unknown[48];
    std::snprintf(unknown, sizeof(unknown), "Unknown RTP Error %d", code);
    return unknown;
}

// Records print one field a line, each line indented by two blanks.
std::ostream& operator<<(std::ostream& out, const rtp_connection_params& p)
{
    return out << "  rtp_connection_params\n"
               << "  {\n"
               << "   packet_factor = " << p.packet_factor << "\n"
               << "   rx_pt = " << p.rx_pt << "\n"
               << "   tx_pt = " << p.tx_pt << "\n"
               << "   ssrc = " << p.ssrc << "\n"
               << "  }\n";
}

namespace {
template <class Attach>
std::ostream& put_attach(std::ostream& out, const char* name, const Attach& p)
{
    return out << "  " << name << "\n"
               << "  {\n"
               << "   fd_rtp = " << p.fd_rtp << "\n"
               << "   pid_rtp = " << p.pid_rtp << "\n"
               << "  }\n";
}
} // namespace

std::ostream& operator<<(std::ostream& out, const rtp_attach_session_params& p)
{
    return put_attach(out, "rtp_attach_session_params", p);
}

std::ostream& operator<<(std::ostream& out, const rtp_ext_attach_session_params& p)
{
    return put_attach(out, "rtp_ext_attach_session_params", p);
}

std::ostream& operator<<(std::ostream& out, const rtp_ext_init_params& p)
{
    return out << "  rtp_ext_init_params\n"
               << "  {\n"
               << "   etype = " << p.etype << "\n"
               << "  }\n";
}

std::ostream& operator<<(std::ostream& out, const rtp_channel_info& p)
{
    return out << "rtp_channel_info"
               << " {"
               << " tdm=" << p.tdm << " dev_no=" << p.dev_no << " chn=" << p.chn << " }";
}
