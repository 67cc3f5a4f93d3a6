// The LEMZ radio control of one RTP channel: LEMZ packets (sig_proto) in
// the header extension, the access rule, the two merged states and, in the
// gateway role, the cycle that repeats the radio's status packets.
//
// The command state records what the channel asked for; the radio state is
// what the controller reported of the radio, and drives the access rule,
// the source filter, the status cycle and the status of every report.
#pragma once

#include <utility>

#include "radio/lemz_radio_asn.h"
#include "radio/lemz_radio_state.h"
#include "radio/radio_control.h"
#include "radio/sig_proto.h"

namespace RTPSignalling {

// Types that key the transmitter.
bool isPTTCommand(int type);
// A command of 0 or less is a complete state: every field merges.
bool isDefaultInitCommand(int command);

class LemzRadioControl : public RadioControl, public LemzRadioASN {
public:
    // The status kinds the gateway repeats, each with its send time.
    enum Kind { transmit, channel, remote, standby, kinds };

    // Reaches the stream in any of the base's three ways, then sets the
    // protocol's own starting state.
    template <class... Way>
    explicit LemzRadioControl(Way&&... way) : RadioControl(std::forward<Way>(way)...)
    {
        Init();
    }

    bool SendASNToChan(TERM::RadioStatus const& status) override;
    // A command with an address text that is no address is refused whole
    // (false): the states and the source filter stay as they were.
    bool SendASNToChan(TERM::RadioModifier const& modifier) override;
    bool GetSQU() override { return mRadio.s != 0; }

    virtual int PutProtoFromRadioToChan(LemzRadioState const&) { return 0; }
    virtual int PutProtoFromChanToRadio(LemzRadioState const&) { return 0; }
    virtual bool AccessFormChanToRadio(LemzRadioState const&) { return true; }
    virtual int EncodeProto(LemzRadioState const&, sig_proto&) { return 0; }

    // A state from the controller: merged, then sent when it is a command.
    void SendRadioStateToChan(LemzRadioState const& state);
    // One received packet: checked, merged, reported.
    void OnRtpProtoRXEvent(sig_proto const& packet);
    static void DecodeProto(sig_proto const& packet, LemzRadioState& state);

    const LemzRadioState& radio_state() const { return mRadio; }
    const LemzRadioState& command_state() const { return mCommand; }
    uint32_t sent_at(Kind k) const { return mSent[k]; }

protected:
    void OnRtpExtEvent(int fd, short revents) override;
    std::string ASNLogPrefix() override { return GetPrefix(); }
    // Packs and writes one packet; the write's result.
    int SendProtoToChan(sig_proto& packet);
    // The radio state as a status packet of this type; whether it went out.
    bool SendStatus(uint32_t type, uint32_t now);
    static Kind KindOf(uint32_t type, bool& known);

    LemzRadioState mCommand;
    LemzRadioState mRadio;
    sig_proto mCurrent;
    sig_proto mPrevious;
    uint32_t mSent[kinds];
    uint32_t mLastActivity;

private:
    void Init();
    // The lemz alternative onto a copy of the radio state, then sent.
    template <class Choice>
    bool SendLemz(Choice const& choice);
};

class LemzRadioGWControl : public LemzRadioControl {
public:
    using LemzRadioControl::LemzRadioControl;

    unsigned long ProcessRadioStatus(unsigned long now, unsigned long interval) override;
    int PutProtoFromRadioToChan(LemzRadioState const& s) override;
    int PutProtoFromChanToRadio(LemzRadioState const& s) override;
    bool AccessFormChanToRadio(LemzRadioState const& s) override;
    int EncodeProto(LemzRadioState const& s, sig_proto& p) override;
};

// The workstation's side: the merges swapped, GW_* packets sent, every
// sender admitted, no status cycle.
class LemzRadioWSControl : public LemzRadioControl {
public:
    using LemzRadioControl::LemzRadioControl;

    int PutProtoFromRadioToChan(LemzRadioState const& s) override;
    int PutProtoFromChanToRadio(LemzRadioState const& s) override;
    int EncodeProto(LemzRadioState const& s, sig_proto& p) override;
};

} // namespace RTPSignalling
