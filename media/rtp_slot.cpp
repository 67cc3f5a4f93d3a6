#include "media/rtp_slot.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <sstream>

#include "board/device.h"
#include "media/errno_text.h"
#include "media/rtp_session.h"
#include "runtime/ext.h"
#include "server/switch/hw_mux.h"
#include "server/slots/slot_refusal.h"

using namespace Device::Rtp;

const char* const RtpSlot::kCname = "Tolvane Veridane";
const char* const RtpSlot::kEmail = "noc@voxbridge.example";
const char* const RtpSlot::kPhone = "+1 555 0100";

RtpSlot::RtpSlot(int channel, Fd rtp, rtp_connection_params const& params)
    : Slot(Hold::descriptor), mChannel(channel), mRtp(std::move(rtp)), mParams(params),
      mCreationPayload(params.rx_pt)
{
    UsesChannel(static_cast<TonecReceiver&>(*this));
    UsesChannel(static_cast<DSProcReceiver&>(*this));
    watch();
}

RtpSlot::~RtpSlot()
{
    send(RTPC::BYE(mParams.ssrc, "session end"));
    mRtcp.close();
    // A slot that lost its channel switched off its part of it then.
    if (mChannel >= 0) {
        TonecReceiver::CleanBeforeDestroy();
        DSProcReceiver::CleanBeforeDestroy();
    }
}

void RtpSlot::PutHeader(std::ostream& out) const
{
    out << "rtp[" << mChannel << "]: ";
}

// The session holds the channel: the reader first, so that what waits is
// read before a hang-up ends it.
void RtpSlot::watch()
{
    mRtpEvent.Bind("RtpSlot::OnRtpEvent", &RtpSlot::OnRtpEvent, this);
    mRtpEvent.Schedule(mRtp, POLLIN);
    HoldChannel(mChannel, mRtp, &mRtpEvent);
}

void RtpSlot::startRTPC(Fd& socket, sockaddr_in const& peer)
{
    mRtcpPeer = peer;
    mRtcp = socket;
    RTPC::SDES sdes(mParams.ssrc);
    sdes.add(RTPC::SDES::Item::CNAME, kCname);
    sdes.add(RTPC::SDES::Item::EMAIL, kEmail);
    sdes.add(RTPC::SDES::Item::PHONE, kPhone);
    send(sdes);
}

void RtpSlot::send(RTPC::Msg const& msg)
{
    char buf[1024];
    unsigned n = msg.encode(buf, sizeof(buf));
    if (n == 0)
        return;
    (void)::sendto(mRtcp.get(), buf, n, MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&mRtcpPeer),
                   sizeof(mRtcpPeer));
}

void RtpSlot::IAfterCreate()
{
    OnChangeOutputStream(true);
    OnChangeInputStream(true);
}

bool RtpSlot::IOnInputStream()
{
    if (mInputGated)
        return true;
    Device::ioctl(mRtp.get(), RTP_INPUT_START);
    mInputRunning = true;
    return true;
}

void RtpSlot::IOnInputRelease()
{
    Device::ioctl(mRtp.get(), RTP_INPUT_STOP);
    mInputRunning = false;
}

void RtpSlot::follow_squelch(bool open)
{
    if (!mInputGated || open == mInputRunning)
        return;
    Device::ioctl(mRtp.get(), open ? RTP_INPUT_START : RTP_INPUT_STOP);
    mInputRunning = open;
}

bool RtpSlot::EchoAtCreate(TERM::RtpParams const& codec)
{
    if (!codec.has_echo() || !codec.get_echo().get_suppressor().getValue())
        return true;
    return echoCancel(codec.get_echo().get_canceller().getValue(), Hardware::Policy::held);
}

bool RtpSlot::IBeforeDestroy()
{
    int fd = mRtp.get();
    Device::ioctl(fd, RTP_TEARDOWN_R10);
    Device::ioctl(fd, RTP_TEARDOWN_R3);
    Device::ioctl(fd, RTP_TEARDOWN_R11);
    uint32_t type = kPacketDetection;
    Device::ioctl(fd, RTP_RESET_EVENT, &type);
    mRtpEvent.Release();
    mShortRecords.end(this, "rtp");
    mRtp.close();
    // A slot that lost its channel let go of its output then: the engine
    // may have given the number to another slot since.
    if (mChannel >= 0)
        HwMux::instance()->Leave(mChannel, OwnClaims(*this), true);
    return true;
}

bool RtpSlot::Ioctl(LGCP::IoctlParams const& p)
{
    // Without a channel every request would name another slot's time slot.
    if (mChannel < 0)
        return false;
    using P = LGCP::IoctlParams;
    switch (p.currentSelection()) {
    case P::e_echoSuppressor:
        return echoCancel(p.get_echoSuppressor().getValue());
    case P::e_activateWaitTone:
        return activateAudibleCall();
    case P::e_deactivateWaitTone:
        return cancelAudibleCall();
    case P::e_translateDTMF:
        return translateDTMF(p.get_translateDTMF());
    case P::e_dtmf_params:
        return configureDTMF(p.get_dtmf_params());
    case P::e_dtmf_enable:
        return enableDTMF(p.get_dtmf_enable().getValue());
    case P::e_encoder_mode:
        return changePayload(&rtp_connection_params::tx_pt, p.get_encoder_mode());
    case P::e_decoder_mode:
        return changePayload(&rtp_connection_params::rx_pt, p.get_decoder_mode());
    case P::e_vad_params:
        return configureVAD(p.get_vad_params());
    case P::e_vad_enable:
        return enableVAD(p.get_vad_enable().getValue());
    case P::e_vad_disable:
        return disableVAD();
    case P::e_dtmf_reject_enable:
        return enableDTMFReject(p.get_dtmf_reject_enable().getValue());
    case P::e_sd_params:
        return configureSD();
    case P::e_sd_enable:
        return enableSD(p.get_sd_enable().getValue());
    case P::e_sd_disable:
        return disableSD();
    case P::e_pd_enable:
        return enablePD(p.get_pd_enable());
    case P::e_pd_disable:
        return disablePD();
    // Answered by the device, as every request that needs it: a missing
    // or refusing device is never a success.
    case P::e_rx_gain:
        return configureRxGain(static_cast<int8_t>(p.get_rx_gain().get_gainDB().getValue() & 0xFF));
    case P::e_tone_filter: {
        const LGCP::ToneFilter& f = p.get_tone_filter();
        return configureToneFilter(static_cast<uint32_t>(f.get_freq().getValue()), f.get_enable().getValue() ? 1 : 0,
                                   static_cast<int32_t>(f.get_duration_th_msec().getValue()),
                                   static_cast<int32_t>(f.get_det_level_dB().getValue()));
    }
    case P::e_selcal:
        return translateSelcal(p.get_selcal());
    default:
        return false;
    }
}

bool RtpSlot::changePayload(uint16_t rtp_connection_params::*field, LGCP::CodecMode const& mode)
{
    std::clog << ext::header(this) << "do restart RTP session (change tx payload):" << mode;
    uint16_t pt = mode.getValue() == LGCP::CodecMode::alaw   ? 8
                  : mode.getValue() == LGCP::CodecMode::ulaw ? 0
                                                             : mCreationPayload;
    // The same codec again still tells the session what an earlier change
    // could not carry.
    if (mParams.*field == pt) {
        std::clog << " - Nothing to do" << std::endl;
        return answer_carried();
    }
    mParams.*field = pt;
    if (!restart()) {
        mRestartError = errno;
        std::clog << std::endl;
        std::cerr << ext::header(this) << "fail to restart RTP session!" << std::endl;
        mRestartFailed = true;
        LoseChannel(Device::End{"restart failed", mRestartError});
        return false;
    }
    std::clog << " - OK" << std::endl;
    return answer_carried();
}

bool RtpSlot::answer_carried()
{
    if (carry())
        return true;
    RefuseCommand(LGCP::ErrorCause::internal);
    return false;
}

bool RtpSlot::restart()
{
    mRtpEvent.Release();
    mShortRecords.end(this, "rtp");
    mRtp.close();
    // The old session must end here, the slot's copy of it too.
    ReleaseChannel();
    mSessions.renew();
    std::ostringstream header;
    PutHeader(header);
    int added = -1;
    if (!BeginRtpSession(header.str(), mParams, mChannel, mRtp, added, mChannelFlags))
        return false;
    // The channel is the one the engine gave the new session.
    mChannel = added;
    watch();
    return true;
}

// The restart adds the channel again with its word, and the engine keeps
// the channel's input with the channel; what was set on the old session
// went with it.
bool RtpSlot::carry()
{
    bool untold = mPd.untold(session());
    return mPd.restore([this] { return session(); }, [this](const PacketDetection& pd) { return tellPD(pd); },
                       [this] { return mPdRefusal; }) ||
           !untold;
}

// The session answers for itself: an off it refuses is not owed, as no
// retry would ever tell it again.
bool RtpSlot::askPD(const PacketDetection& want)
{
    return Device::done(mPd.change(
        want, [this] { return session(); }, [this](const PacketDetection& pd) { return tellPD(pd); },
        [this] { return mPdRefusal; }));
}

// The session is gone, so the engine has freed the channel and may give
// it to the next session: the slot's output goes too, and the slot no
// longer answers for the channel. An ended session says so once, by the
// kind's own means; a restart that failed was answered already.
void RtpSlot::IOnChannelLost(const Device::End& end)
{
    if (!mRestartFailed)
        std::cerr << ext::header(this) << "fail to read from rtp: " << end.why << std::endl;
    HwMux::instance()->Lose(mChannel);
    mChannel = -1;
    mRtpEvent.Release();
    if (!mRestartFailed)
        IOnSessionLost(end.error);
}

bool RtpSlot::enablePD(LGCP::PDParams const& params)
{
    return askPD(PacketDetection{true, static_cast<uint32_t>(params.get_timeout().getValue())});
}

bool RtpSlot::disablePD()
{
    return askPD(PacketDetection());
}

bool RtpSlot::tellPD(const PacketDetection& pd)
{
    mPdRefusal = 0;
    if (!pd.on) {
        uint32_t type = kPacketDetection;
        if (Device::ioctl(mRtp.get(), RTP_RESET_EVENT, &type) < 0) {
            mPdRefusal = errno;
            std::cerr << ext::header(this) << "RTP RESET EVENT PD fail:" << ErrnoText() << std::endl;
            return false;
        }
        std::clog << ext::header(this) << "RTP RESET EVENT PD" << std::endl;
        return true;
    }
    rtp_event r = {};
    r.type = kPacketDetection;
    r.timeout = pd.timeout;
    r.data[2] = r.timeout;
    if (Device::ioctl(mRtp.get(), RTP_SET_EVENT, &r) < 0) {
        mPdRefusal = errno;
        std::cerr << ext::header(this) << "RTP SET EVENT PD fail:" << ErrnoText() << std::endl;
        return false;
    }
    std::clog << ext::header(this) << "RTP SET EVENT PD timeout=" << r.timeout << std::endl;
    return true;
}

void RtpSlot::OnRtpEvent(int fd, short revents)
{
    rtp_event e;
    Device::End end = Device::read_records(this, "rtp", fd, revents, &e, sizeof(e), mShortRecords, [&] {
        std::clog << ext::header(this) << "rtp event: type=" << e.type << std::endl;
        processRtpEvent(e);
    });
    if (end)
        LoseChannel(end);
}

bool RtpSlot::RefuseLost()
{
    RefuseCommand(LGCP::ErrorCause::internal);
    return false;
}
