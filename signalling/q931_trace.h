// Readable text of one ISDN D-channel frame for the data link's traces:
// the Q.921 address and control fields and the Q.931 message inside
// (Q.931 clause 4: protocol discriminator, call reference, message type,
// information elements). Plain functions over constant tables; the text is
// built in the caller's buffer, with no allocation.
//
// Every read stays inside the frame and inside the element being printed:
// what would run past either prints "frame too short" and ends the text.
// The text is cut to the buffer and always NUL-terminated.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ISDN {

constexpr size_t kLogbufSize = 1024;
// The buffer that the traces pass as the output.
extern char logbuf[kLogbufSize];

// Writes the text of one frame into out (size characters with the NUL).
// A non-zero direction is "network->user". A frame shorter than three
// octets leaves out untouched.
void dlogframe(const unsigned char* frame, int length, int direction, char* out, size_t size);

namespace Trace {

// Text under construction: formatted writes, cut at the end of the buffer.
class Text {
public:
    // size > 0
    Text(char* out, size_t size) : mPos(out), mLast(out + size - 1) {}
    void add(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void put(char c)
    {
        if (mPos < mLast)
            *mPos++ = c;
    }
    // Up to n characters, as many as fit.
    void put(const char* p, size_t n);
    // " %02X"
    void hex(uint8_t octet);
    // A character of a number or display: anything unprintable as '.', so
    // a frame cannot forge log lines.
    void character(uint8_t octet) { put(octet >= 0x20 && octet < 0x7F ? static_cast<char>(octet) : '.'); }
    bool full() const { return mPos >= mLast; }
    void finish() { *mPos = '\0'; }

private:
    char* mPos;
    char* mLast; // the place kept for the NUL
};

// Writes count characters '1' or '0' for the bits of octet from bit `from`
// (8 the most significant) downwards.
void printbits(Text& out, uint8_t octet, int from, int count);
// The position after the first octet from p on whose bit 8 is set; null
// when there is none before end.
const uint8_t* skipext(const uint8_t* p, const uint8_t* end);

// An element printer gets the element's contents (octet 3 on) and returns
// false when they end before what it must read.
using Printer = bool (*)(Text& out, const uint8_t* contents, int length);
bool general(Text&, const uint8_t*, int);
bool prbearer(Text&, const uint8_t*, int);
bool prcause(Text&, const uint8_t*, int);
bool prchident(Text&, const uint8_t*, int);
bool prcalled(Text&, const uint8_t*, int);
bool prcalling(Text&, const uint8_t*, int);
bool display(Text&, const uint8_t*, int);
bool prfacility(Text&, const uint8_t*, int);

struct MessageType {
    uint8_t code;
    const char* name;
};
struct ElementType {
    uint8_t id;
    const char* name;
    Printer printer;
};
struct CauseText {
    uint8_t value;
    const char* text;
};

extern const MessageType mtlist[32];
extern const ElementType ielist[33];
extern const CauseText cvlist[67];

// Table look-ups, null when absent.
const MessageType* message_type(uint8_t code);
const ElementType* element_type(uint8_t id);
const CauseText* cause_text(uint8_t value);

} // namespace Trace
} // namespace ISDN
