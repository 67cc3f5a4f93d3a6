#include "radio/modifier_addresses.h"

#include <iostream>

#include "radio/radio_control.h"
#include "runtime/ext.h"

namespace RTPSignalling {

namespace {

// The ip of the LEMZ commands that name a transmitting session.
const std::string* session_ip(TERM::LemzRadioModifierParams const& p)
{
    using P = TERM::LemzRadioModifierParams;
    if (!p.getSelection())
        return nullptr;
    switch (p.currentSelection()) {
    case P::e_gw_set_selcall: return &p.get_gw_set_selcall().get_ip();
    case P::e_wm_trans: return &p.get_wm_trans().get_ip();
    case P::e_wm_selcall: return &p.get_wm_selcall().get_ip();
    default: return nullptr;
    }
}

bool parses(std::string const& text)
{
    uint32_t address;
    return ParseAddress(text, address);
}

} // namespace

const char* UnparsedAddress(TERM::RadioModifier const& m, std::string* text)
{
    const std::string* session = nullptr;
    const std::string* ip = nullptr;
    if (m.is_ed_137()) {
        session = &m.get_ed_137().get_addr().get_session_addr();
    } else if (m.is_lemz()) {
        session = &m.get_lemz().get_addr().get_session_addr();
        ip = session_ip(m.get_lemz().get_params());
    }
    const char* field = nullptr;
    const std::string* bad = nullptr;
    if (session && !parses(*session))
        field = "session-addr", bad = session;
    else if (ip && !parses(*ip))
        field = "ip", bad = ip;
    if (bad && text)
        *text = *bad;
    return field;
}

bool AddressesParse(TERM::RadioModifier const& m, RadioControl& control)
{
    std::string text;
    const char* field = UnparsedAddress(m, &text);
    if (!field)
        return true;
    std::cerr << control.GetPrefix() << field << " " << ext::quoted(text) << " is no IPv4 address, command refused"
              << std::endl;
    return false;
}

} // namespace RTPSignalling
