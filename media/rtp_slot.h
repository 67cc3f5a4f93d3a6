// An RTP slot: one voice stream between the board's TDM fabric and an IP
// peer, carried by the kernel RTP engine "/dev/rtp". The engine does the
// packet work; the slot keeps the session and its channel, turns the
// controller's ioctls into engine, tone and DSP requests, passes the
// engine's events up as signals, and sends the RTCP source description at
// start and a BYE at the end (RFC 3550 6.5, 6.6).
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <iosfwd>

#include "board/held.h"
#include "board/rtp_requests.h"
#include "board/watched_device.h"
#include "media/dsproc_receiver.h"
#include "media/rtcp.h"
#include "media/tonec_receiver.h"
#include "runtime/fd.h"
#include "runtime/multiplexer.h"
#include "server/slots/slot.h"

class RtpSlot : public Slot, private Hardware::TonecReceiver, private Hardware::DSProcReceiver {
public:
    // Packet detection as the controller asked it of the session; off is
    // what a new session holds.
    struct PacketDetection {
        bool on = false;
        uint32_t timeout = 0;
        bool operator==(const PacketDetection& o) const { return on == o.on && timeout == o.timeout; }
    };

    // The texts of the source description.
    static const char* const kCname;
    static const char* const kEmail;
    static const char* const kPhone;

    // The session has begun and the channel was added; nothing is sent to
    // the engine here.
    RtpSlot(int channel, Fd rtp, rtp_connection_params const& params);
    // BYE, then off whatever the receivers switched on.
    ~RtpSlot() override;

    // Keeps the RTCP socket and peer and sends the source description.
    void startRTPC(Fd& socket, sockaddr_in const& peer);
    // One RTCP packet to the peer; errors change nothing.
    void send(RTPC::Msg const& msg);

    // The echo canceller that the create's codec asks with its suppressor,
    // held: a device missing now is told once it is back. False when the
    // device refuses it as invalid: the slot is not made.
    bool EchoAtCreate(TERM::RtpParams const& codec);

    void IAfterCreate() override;
    // Ends the session, frees the channel's switch output (unless the
    // channel went before).
    bool IBeforeDestroy() override;
    bool Ioctl(LGCP::IoctlParams const& params) override;
    bool IOnOutputStream() override { return true; }
    bool IOnInputStream() override;
    void IOnOutputRelease() override {}
    void IOnInputRelease() override;
    int IGetTransmitChannel() override { return mChannel; }
    int IGetReceiveChannel() override { return mChannel; }
    const char* GetName() const override { return "rtp"; }

    using Hardware::TonecReceiver::echoCancel;
    using Hardware::DSProcReceiver::configureDelays;
    using Hardware::DSProcReceiver::enableBSS;
    using Hardware::DSProcReceiver::enableNG;
    using Hardware::DSProcReceiver::enableSelcalSh;

    void PutHeader(std::ostream& out) const;
    // The engine's channel, -1 after a failed restart or the session's loss.
    int channel() const { return mChannel; }
    // The session descriptor, -1 after a failed restart or the teardown.
    int rtp_fd() const { return mRtp.get(); }
    // The errno of the last restart that failed.
    int restart_error() const { return mRestartError; }
    // Whether the session's events are watched.
    bool watching() const { return static_cast<bool>(mRtpEvent.fd); }
    const rtp_connection_params& params() const { return mParams; }
    // The fourth word of the channel record the session was added with
    // (the radio's BSS switch), which a restart adds the channel with too.
    void set_channel_flags(uint32_t flags) { mChannelFlags = flags; }
    bool input_running() const { return mInputRunning; }

protected:
    // A new session with the stored record on the same channel. The old
    // one is closed first, its events with it, so its port is free for
    // the new one and the new one's events are the ones watched.
    // On failure the old session is gone, and the channel with it.
    bool restart();
    // What the restarted session must be told of what the old one held:
    // the engine forgets a session's settings with it. False, with the
    // request's line, when the new session refused it; it stays asked, so
    // the controller's next command for it, or the same codec again, tells
    // it again.
    bool carry();
    // carry(), with the command refused (internal) when the session does
    // not take it.
    bool answer_carried();
    // Driven by a radio slot's squelch instead of the connections.
    void set_input_gated(bool gated) { mInputGated = gated; }
    bool input_gated() const { return mInputGated; }
    const Fd& rtp_descriptor() const { return mRtp; }
    // A gated input starts when the squelch opens and stops when it
    // closes, each once.
    void follow_squelch(bool open);
    // The session was lost, with the errno that ended it: a kind with a
    // signal for a lost channel sends it here. Called once.
    virtual void IOnSessionLost(int) {}
    // Answers the command being carried out with an error: the session is gone.
    bool RefuseLost();

private:
    // tonec and DSP events up as signals.
    void tonec_event(Params const& params) override { processTonecEvent(params); }
    uint32_t tonec_timeslot() const override { return static_cast<uint32_t>(mChannel); }
    void dsproc_vad_event(Hardware::DSProcVADEvent const& e) override { processVADEvent(e); }
    void dsproc_bss_event(struct dsproc_bss_event const* e) override { processBSSEvent(e); }
    void dsproc_sd_event(Hardware::DSProcSDEvent const& e) override { processSDEvent(e); }
    void dsproc_tone_flt_event(dsproc_tone_event const* e) override { processToneFltEvent(e); }
    void dsproc_flags_event(struct dsproc_flags_event const* e) override { processFlagsEvent(e); }
    uint32_t dsproc_timeslot() const override { return static_cast<uint32_t>(mChannel); }

    // encoder-mode (the sent payload) or decoder-mode (the received one).
    bool changePayload(uint16_t rtp_connection_params::*field, LGCP::CodecMode const& mode);
    bool enablePD(LGCP::PDParams const& params);
    bool disablePD();
    // Packet detection as asked, told to the session unless it holds it.
    bool askPD(const PacketDetection& want);
    // Packet detection on (set event) or off (reset event) on the session.
    bool tellPD(const PacketDetection& pd);
    // The present session's name, 0 without one.
    uint64_t session() const { return mSessions.present(static_cast<bool>(mRtp)); }
    // After a failed restart or the session's loss: the channel is the
    // engine's again.
    void IOnChannelLost(const Device::End& end) override;
    void OnRtpEvent(int fd, short revents);
    void watch();

    int mChannel;
    Fd mRtp;
    // Names each session's descriptor: what one was told, the next does not hold.
    Device::Descriptors mSessions;
    Event mRtpEvent;
    Device::ShortRecords mShortRecords;
    rtp_connection_params mParams;
    sockaddr_in mRtcpPeer{};
    Fd mRtcp;
    uint16_t mCreationPayload;
    uint32_t mChannelFlags = 0;
    // The first change is sent whatever it asks, as the engine's own
    // answer is the one that counts.
    Device::Held<PacketDetection> mPd = Device::Held<PacketDetection>::unknown(Device::Policy::shown);
    // The errno with which the session refused the last request of it.
    int mPdRefusal = 0;
    bool mInputRunning = false;
    bool mInputGated = false;
    bool mRestartFailed = false;
    int mRestartError = 0;
};
