// The ED-137 radio control of one RTP channel on the gateway side: R2S
// headers (r2s_proto) in the header extension. The controller's status and
// commands go out as headers, the voice side's TX headers come back as
// radio events, an RX header is repeated as keep-alive, and a voice side
// that falls silent is reported as lost (cause 151).
//
// The radio state is what was last sent to the channel; the channel state
// is what was last received from it and reported to the controller.
#pragma once

#include <cstdint>
#include <utility>

#include "radio/r2s_proto.h"
#include "radio/radio_control.h"

namespace RTPSignalling {

struct ED137RadioParams {
    uint32_t transmission_depend_on_squ = 0; // the RTP input follows the squelch
    uint32_t sigtime = 1;
    uint32_t keepalive_period = 200; // ms
    uint32_t keepalive_multiplier = 10;
    uint32_t type = 2;     // TERM::ED137RadioType, radio-txrx
    uint32_t txrxmode = 2; // TERM::ED137RadioTxRxMode, txrx

    void Init(TERM::ED137RadioResponse const& r);
};

struct ED137RadioState {
    enum : uint32_t {
        rx_header = 0x1000,
        tx_header = 0x2000,
        kind_mask = 0xF000,
        header_valid = 0x0001,
        sqi_valid = 0x0002,
    };
    uint32_t flags = 0;
    uint32_t ptt = 0; // TERM::ED137RadioPTT
    uint32_t squ = 0;
    uint32_t ptt_id = 0;
    uint32_t ptt_mute = 0;
    uint32_t ptt_summation = 0;
    uint32_t sct = 0;
    uint32_t bss_method = 0; // TERM::ED137RadioBSSMethod
    uint32_t bss_quality = 0;
    uint32_t source_address = 0; // network order
    uint32_t source_ssrc = 0;

    bool IsEqual(ED137RadioState const& o) const;
    bool is_rx() const { return (flags & kind_mask) == rx_header; }
    bool is_tx() const { return (flags & kind_mask) == tx_header; }
    void DecodeASN(TERM::ED137RadioStatus const& status);
    void DecodeASN(TERM::ED137RadioModifier const& modifier);
    void EncodeASN(TERM::ED137RadioModifierParams& params) const;

private:
    void header(TERM::ED137RadioHeader const& h);
    void sqi(TERM::ED137RadioExtensionSQI const& q);
};

class ED137RadioControl : public RadioControl {
public:
    // Reaches the stream in any of the base's three ways, then sets the
    // protocol's own starting state.
    template <class... Way>
    explicit ED137RadioControl(Way&&... way) : RadioControl(std::forward<Way>(way)...)
    {
        Init();
    }

    void SetParams(ED137RadioParams const& params) { mParams = params; }
    const ED137RadioParams& params() const { return mParams; }

    bool SendASNToChan(TERM::RadioStatus const& status) override;
    // A command with an address text that is no address is refused whole
    // (false): the states and the source filter stay as they were.
    bool SendASNToChan(TERM::RadioModifier const& modifier) override;
    bool GetSQU() override { return mRadio.squ > 0; }

    virtual int PutProtoFromRadioToChan(ED137RadioState const&) { return 0; }
    virtual int PutProtoFromChanToRadio(ED137RadioState const&) { return 0; }
    virtual bool AccessFormChanToRadio(ED137RadioState const&) { return true; }
    virtual int EncodeProto(ED137RadioState const&, r2s_proto&) { return 0; }

    // A state from the controller, sent when it differs from the radio
    // state or when the driver resends every frame; its owner's filter
    // asked either way.
    void SendRadioStateToChan(ED137RadioState const& s);
    void SendNewState(ED137RadioState const& s);
    bool NeedSendProto(ED137RadioState const& s) const;
    // One received header: checked, deduplicated, reported.
    void OnRtpProtoRXEvent(r2s_proto const& p);
    // -1 for a header of neither kind (only the source is taken).
    static int DecodeProto(r2s_proto const& p, ED137RadioState& s);
    static void EncodeStatusASN(ED137RadioState const& s, TERM::RtpRadioRequest& request);
    static void EncodeASN(ED137RadioState const& radio, ED137RadioState const& chan, TERM::RtpRadioRequest& request);

    const ED137RadioState& radio_state() const { return mRadio; }
    const ED137RadioState& channel_state() const { return mChan; }
    uint32_t last_packet_at() const { return mLastPacket; }

protected:
    void OnRtpExtEvent(int fd, short revents) override;
    // Packs and writes one header; the write's result.
    int SendProtoToChan(r2s_proto& p);

    ED137RadioParams mParams;
    r2s_proto mCurrent;
    r2s_proto mPrevious;
    uint32_t mLastRxSent;
    uint32_t mLastNotify;
    uint32_t mLastPacket;
    ED137RadioState mChan;
    ED137RadioState mRadio;

private:
    void Init();
    template <class Choice>
    bool SendED137(Choice const& choice);
};

class ED137RadioGWControl : public ED137RadioControl {
public:
    using ED137RadioControl::ED137RadioControl;

    // The partner's supervision and the RX keep-alive.
    unsigned long ProcessRadioStatus(unsigned long now, unsigned long interval) override;
    int PutProtoFromRadioToChan(ED137RadioState const& s) override;
    int PutProtoFromChanToRadio(ED137RadioState const& s) override;
    bool AccessFormChanToRadio(ED137RadioState const& s) override;
    int EncodeProto(ED137RadioState const& s, r2s_proto& p) override;
};

// The cause of the abort signal when the voice side's headers stop; none
// of the controller's ED-137 cause codes.
const int kED137PartnerLost = 151;

} // namespace RTPSignalling
