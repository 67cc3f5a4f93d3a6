// Sends one call-detail record, opaque bytes, as a UDP datagram to each of
// a list of collectors.
#pragma once

#include <string>

#include "runtime/fd.h"

namespace CDR_Sender {

class Sender {
public:
    Sender();
    virtual ~Sender() = default;
    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;

    // destinations: "a.b.c.d:port" words separated by white space. Every
    // word is tried; false when the socket could not be made or any word
    // did not parse or the record could not be sent to it.
    bool SendTo(const std::string& record, const std::string& destinations);

private:
    Fd mSocket;
};

} // namespace CDR_Sender
