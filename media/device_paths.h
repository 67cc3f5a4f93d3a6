// The board's device files as the media and radio slots name them, and
// texts of the RTP driver's records and error codes for traces.
#pragma once

#include <iosfwd>

#include "board/e1_requests.h" // GetMaintenance()
#include "board/rtp_ext_requests.h"
#include "board/rtp_requests.h"

const char* GetVoiceDevName();
const char* GetMixerDevName();
const char* GetDTMFDevName();
const char* GetDSPDevName();
const char* GetRtpDevName();
const char* GetRtpExtDevName();
const char* GetModemDevName();
const char* GetSpiTdmDevName();
const char* GetUsbTdmDevName();

// "g711", "conf" ...; "invalid" for a number outside the table.
const char* GetCodecAsStr(int codec);

// An error of the RTP library: its code and the errno of the moment.
class RtpErr {
public:
    explicit RtpErr(int code);
    int code() const { return mCode; }
    int error() const { return mErrno; }
    // The system's text of the kept errno.
    void Put(std::ostream& out) const;

private:
    int mErrno;
    int mCode;
};

std::ostream& operator<<(std::ostream& out, const RtpErr& e);

// The text of an RTP library error code; an unknown code is formatted into
// one buffer that the next unknown code overwrites.
const char* RTPStrError(int code);

std::ostream& operator<<(std::ostream& out, const rtp_connection_params& p);
std::ostream& operator<<(std::ostream& out, const rtp_attach_session_params& p);
std::ostream& operator<<(std::ostream& out, const rtp_ext_attach_session_params& p);
std::ostream& operator<<(std::ostream& out, const rtp_ext_init_params& p);
std::ostream& operator<<(std::ostream& out, const rtp_channel_info& p);
