// The address texts of the controller's radio commands. The transmitting
// session they name becomes the only sender the source filter admits, so
// a text that is no strict dotted quad refuses the whole command: read as
// nobody it would drop the filter and open the channel to every sender,
// read as shorthand it would admit some other host.
#pragma once

#include <string>

#include "server/schema/TERM.h"

namespace RTPSignalling {

class RadioControl;

// The name of the first address field of m whose text does not parse, null
// when every one does: addr's session-addr in either protocol, and the ip
// of the LEMZ selcall and trans commands. text, when given, gets that text.
const char* UnparsedAddress(TERM::RadioModifier const& m, std::string* text = nullptr);

// Whether every address text of m parses; if not, one line after the
// control's prefix says which, and the command is to be refused whole.
bool AddressesParse(TERM::RadioModifier const& m, RadioControl& control);

} // namespace RTPSignalling
