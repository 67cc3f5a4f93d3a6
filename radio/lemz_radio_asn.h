// The LEMZ radio state in the controller's TERM types, both ways.
//
// The state keeps -1 for a value never set and copies packet bytes as they
// came; the TERM types cannot carry every such value (RadioSquelshe and
// RadioRTE are closed enumerations, standby-group is 0..255, RadioStandby
// sends not-use as 1). So the values are mapped here, at the boundary, and
// only here: -1 <-> not-use and 0 <-> active for the standby states; a
// squelch or emission type out of range goes out as no-config, a group out
// of range as 0. A byte 0xFF (the radio's own "unset") reads as -1; any
// other value so mapped is reported with one line on std::cerr.
#pragma once

#include <string>

#include "radio/lemz_radio_state.h"
#include "server/schema/TERM.h"

namespace RTPSignalling {

class LemzRadioASN {
public:
    virtual ~LemzRadioASN() = default;

    // The status of r: alternative lemz with every field of s.
    void EncodeStatusASN(LemzRadioState const& s, TERM::RtpRadioRequest& r);
    // The status from radio, and the request from rx, a state decoded from
    // a received packet: its sender as addr, its command as the alternative
    // of params. No request for a command that is not a LEMZ packet type.
    void EncodeASN(LemzRadioState const& radio, LemzRadioState const& rx, TERM::RtpRadioRequest& r);
    // A complete state from the controller: command 0; the session, caller
    // id, quality and source fields of s are left as they were.
    void DecodeASN(TERM::LemzRadioStatus const& v, LemzRadioState& s);
    // One command from the controller: command = its packet type, source =
    // its addr, and the fields the alternative carries; the rest of s stays.
    void DecodeASN(TERM::LemzRadioModifier const& m, LemzRadioState& s);

protected:
    // The start of each line this class writes.
    virtual std::string ASNLogPrefix() { return std::string(); }

private:
    int setting_of(int32_t v, int last, char const* field);
    TERM::RadioSquelshe::NamedNumber squelshe_of(int32_t v);
    TERM::RadioRTE::NamedNumber rte_of(int32_t v);
    TERM::RadioStandby::NamedNumber standby_of(int32_t v, char const* field);
    unsigned group_of(int32_t v);
    void out_of_range(char const* field, int32_t v, char const* sent_as);
    void encode_params(LemzRadioState const& rx, int alternative, TERM::LemzRadioModifierParams& p);
};

// LEMZ packet type of an alternative of TERM::LemzRadioModifierParams and
// back; -1 for none.
int lemz_type_of_alternative(int alternative);
int lemz_alternative_of_type(int type);

} // namespace RTPSignalling
