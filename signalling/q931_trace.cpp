#include "signalling/q931_trace.h"

#include <cstdarg>
#include <cstring>

namespace ISDN {

char logbuf[kLogbufSize];

namespace Trace {

// The few conversions the decoder uses (%s %c %d %u %lu %x, with a width
// and zero padding), formatted in place: a general formatter costs several
// times the whole decode.
void Text::add(const char* format, ...)
{
    va_list ap;
    va_start(ap, format);
    for (const char* f = format; *f && !full(); ++f) {
        if (*f != '%') {
            const char* run = f;
            while (f[1] && f[1] != '%')
                ++f;
            put(run, static_cast<size_t>(f - run + 1));
            continue;
        }
        bool zero = *++f == '0';
        int width = 0;
        for (; *f >= '0' && *f <= '9'; ++f)
            width = width * 10 + (*f - '0');
        bool isLong = *f == 'l';
        if (isLong)
            ++f;
        char conv = *f;
        if (conv == 's') {
            const char* t = va_arg(ap, const char*);
            put(t, std::strlen(t));
            continue;
        }
        if (conv == 'c') {
            put(static_cast<char>(va_arg(ap, int)));
            continue;
        }
        unsigned long value;
        bool negative = false;
        if (conv == 'd') {
            long v = isLong ? va_arg(ap, long) : va_arg(ap, int);
            negative = v < 0;
            value = negative ? 0UL - static_cast<unsigned long>(v) : static_cast<unsigned long>(v);
        } else {
            value = isLong ? va_arg(ap, unsigned long) : va_arg(ap, unsigned);
        }
        unsigned base = conv == 'x' || conv == 'X' ? 16 : 10;
        const char* digits = conv == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
        char buf[24];
        int n = 0;
        do {
            buf[n++] = digits[value % base];
            value /= base;
        } while (value);
        if (negative)
            buf[n++] = '-';
        for (int pad = width - n; pad > 0; --pad)
            put(zero ? '0' : ' ');
        while (n > 0)
            put(buf[--n]);
        if (!*f)
            break;
    }
    va_end(ap);
}

void Text::put(const char* p, size_t n)
{
    size_t room = static_cast<size_t>(mLast - mPos);
    if (n > room)
        n = room;
    std::memcpy(mPos, p, n);
    mPos += n;
}

void Text::hex(uint8_t octet)
{
    static const char digits[] = "0123456789ABCDEF";
    put(' ');
    put(digits[octet >> 4]);
    put(digits[octet & 15]);
}

namespace {
// The eight bit characters of every octet.
struct BitTexts {
    char text[256][8];
    BitTexts()
    {
        for (int o = 0; o < 256; ++o)
            for (int bit = 0; bit < 8; ++bit)
                text[o][bit] = (o >> (7 - bit)) & 1 ? '1' : '0';
    }
};
const BitTexts kBits;
} // namespace

void printbits(Text& out, uint8_t octet, int from, int count)
{
    if (from == 8 && count == 8) {
        out.put(kBits.text[octet], 8);
        return;
    }
    for (int bit = from; bit > from - count && bit >= 1; --bit)
        out.put(octet & (1u << (bit - 1)) ? '1' : '0');
}

const uint8_t* skipext(const uint8_t* p, const uint8_t* end)
{
    for (; p < end; ++p)
        if (*p & 0x80)
            return p + 1;
    return nullptr;
}

namespace {

void octet_line(Text& out, const char* label, uint8_t octet)
{
    out.add("%s", label);
    printbits(out, octet, 8, 8);
    out.put('\n');
}

void characters(Text& out, const uint8_t* p, const uint8_t* end)
{
    for (; p < end; ++p)
        out.character(*p);
}

void number_digits(Text& out, const uint8_t* p, const uint8_t* end)
{
    out.add("    number digits ");
    characters(out, p, end);
    out.put('\n');
}

} // namespace

// Octet numbers follow the extension bit of the octet after each one.
bool general(Text& out, const uint8_t* c, int length)
{
    int number = 3;
    int letter = ' ';
    for (int i = 0; i < length; ++i) {
        out.add("    octet %d%c ", number, letter);
        printbits(out, c[i], 8, 8);
        out.put('\n');
        if (i + 1 < length && (c[i + 1] & 0x80)) {
            ++number;
            letter = ' ';
        } else {
            letter = letter == ' ' ? 'a' : letter + 1;
        }
    }
    return true;
}

bool prchident(Text& out, const uint8_t* c, int length)
{
    if (length < 1)
        return false;
    octet_line(out, "    octet 3 ", c[0]);
    return true;
}

bool prcalled(Text& out, const uint8_t* c, int length)
{
    if (length < 1)
        return false;
    octet_line(out, "    octet 3 ", c[0]);
    number_digits(out, c + 1, c + length);
    return true;
}

bool prcalling(Text& out, const uint8_t* c, int length)
{
    if (length < 1)
        return false;
    octet_line(out, "    octet 3 ", c[0]);
    int digits = 1;
    if (!(c[0] & 0x80)) {
        if (length < 2)
            return false;
        octet_line(out, "    octet 3a ", c[1]);
        digits = 2;
    }
    number_digits(out, c + digits, c + length);
    return true;
}

// Q.931 4.5.5: octets 4.1 (multirate), 5 with its extensions, 6 and 7 are
// told apart by bits 7..6.
bool prbearer(Text& out, const uint8_t* c, int length)
{
    if (length < 2)
        return false;
    octet_line(out, "    octet 3  ", c[0]);
    octet_line(out, "    octet 4  ", c[1]);
    int i = 2;
    if ((c[1] & 0x1F) == 0x18) {
        if (i >= length)
            return false;
        octet_line(out, "    octet 4.1 ", c[i++]);
    }
    int letter = ' ';
    while (i < length && (c[i] & 0x60) == 0x20) {
        out.add("    octet 5%c ", letter);
        printbits(out, c[i], 8, 8);
        out.put('\n');
        letter = letter == ' ' ? 'a' : letter + 1;
        if (c[i++] & 0x80)
            break;
    }
    if (i < length && (c[i] & 0x60) == 0x40)
        octet_line(out, "    octet 6  ", c[i++]);
    if (i < length && (c[i] & 0x60) == 0x60)
        octet_line(out, "    octet 7  ", c[i++]);
    return true;
}

bool prcause(Text& out, const uint8_t* c, int length)
{
    const uint8_t* end = c + length;
    if (length < 1)
        return false;
    out.add("    coding ");
    printbits(out, c[0], 7, 2);
    out.add(" location ");
    printbits(out, c[0], 4, 4);
    out.put('\n');
    const uint8_t* p = skipext(c, end);
    if (!p || p >= end)
        return false;
    uint8_t value = *p++ & 0x7F;
    if (const CauseText* t = cause_text(value))
        out.add("  cause value %x : %s \n", value, t->text);
    else
        out.add("Unknown cause type %x!\n", value);
    // Diagnostics as triples; the last octet of one starts the next.
    while (p < end) {
        out.add("    diag attribute %d ", p[0] & 0x7F);
        if (p + 1 >= end)
            return false;
        out.add(" rej %d ", p[1] & 0x7F);
        if (p[1] & 0x80) {
            out.put('\n');
            break;
        }
        if (p + 2 >= end)
            return false;
        out.add(" av %d\n", p[2] & 0x7F);
        p += 2;
    }
    return true;
}

bool display(Text& out, const uint8_t* c, int length)
{
    out.add("   \"");
    characters(out, c, c + length);
    out.add("\"\n");
    return true;
}

bool prfacility(Text& out, const uint8_t* c, int length)
{
    if (length < 1)
        return false;
    octet_line(out, "    octet 3 ", c[0]);
    for (int i = 1; i < length && !out.full();) {
        octet_line(out, "   octet 4 ", c[i]);
        if (i + 1 >= length)
            return false;
        int n = c[i + 1] & 0x7F;
        out.add("   octet 5 %d\n", n);
        if (i + 2 + n > length)
            return false;
        out.add("   contents ");
        for (int k = 0; k < n; ++k)
            out.add("%2x ", c[i + 2 + k]);
        out.put('\n');
        i += 2 + n;
    }
    return true;
}

namespace {
// Every table indexed by its code, built once: the decoder looks up each
// element of every frame.
template <class Row, size_t N>
struct Index {
    const Row* row[256] = {};
    Index(const Row (&table)[N], uint8_t Row::*code)
    {
        for (const Row& r : table)
            if (!row[r.*code])
                row[r.*code] = &r;
    }
};
const Index<MessageType, 32> kMessageTypes(mtlist, &MessageType::code);
const Index<ElementType, 33> kElementTypes(ielist, &ElementType::id);
const Index<CauseText, 67> kCauseTexts(cvlist, &CauseText::value);
} // namespace

const MessageType* message_type(uint8_t code)
{
    return kMessageTypes.row[code];
}

const ElementType* element_type(uint8_t id)
{
    return kElementTypes.row[id];
}

const CauseText* cause_text(uint8_t value)
{
    return kCauseTexts.row[value];
}

namespace {

const char kTooShort[] = "frame too short\n";

// Q.931 4.5.1: single-octet elements by bits 7..5.
void single_octet(Text& out, uint8_t octet)
{
    switch ((octet >> 4) & 7) {
    case 1:
        out.add("  Shift %x\n", octet & 0x0F);
        break;
    case 2:
        if (octet == 0xA0)
            out.add("  More data\n");
        else if (octet == 0xA1)
            out.add("  Sending complete\n");
        break;
    case 3:
        out.add("  Congestion level %x\n", octet & 0x0F);
        break;
    case 5:
        out.add("  Repeat indicator %x\n", octet & 0x0F);
        break;
    default:
        out.add("  Reserved %x\n", octet);
        break;
    }
}

// The information elements from p to the end of the frame; false when one
// runs past it.
bool elements(Text& out, const uint8_t* p, const uint8_t* end)
{
    while (p < end && !out.full()) {
        uint8_t id = *p;
        if (id & 0x80) {
            single_octet(out, id);
            ++p;
            continue;
        }
        if (end - p < 2)
            return false;
        int length = p[1];
        const ElementType* e = element_type(id);
        if (e)
            out.add("  %s\n", e->name);
        else
            out.add("  attribute %x attribute size %d\n", id, length);
        if (end - p - 2 < length)
            return false;
        if (e && !e->printer(out, p + 2, length))
            return false;
        p += 2 + length;
    }
    return true;
}

// Q.931 4.2 to 4.4, from the protocol discriminator on.
void message(Text& out, const uint8_t* m, const uint8_t* end)
{
    if (m[0] != 8) {
        out.add("Unknown protocol %x!", m[0]);
        return;
    }
    // The call reference: its length in bits 4..1, the flag in bit 8 of
    // its first octet (two octets on a primary rate interface).
    const uint8_t* p = m + 1;
    int crLength = p < end ? *p & 0x0F : 0;
    if (p >= end || end - p - 1 < crLength + 1) {
        out.add(kTooShort);
        return;
    }
    unsigned long callref = 0;
    bool called = crLength > 0 && (p[1] & 0x80);
    for (int i = 0; i < crLength; ++i)
        callref = callref << 8 | (i == 0 ? p[1 + i] & 0x7F : p[1 + i]);
    p += 1 + crLength;
    int size = static_cast<int>(end - m);
    const char* flag = called ? "called" : "caller";
    if (const MessageType* t = message_type(*p))
        out.add("callref %lu %s size %d message type %s\n", callref, flag, size, t->name);
    else
        out.add("callref %lu %s size %d unknown message type %x!\n", callref, flag, size, *p);
    if (!elements(out, p + 1, end))
        out.add(kTooShort);
}

// Q.921 3.3 and 3.4: address (SAPI, TEI) and control field.
void frame(Text& out, const uint8_t* f, const uint8_t* end, int direction)
{
    for (const uint8_t* p = f; p < end && !out.full(); ++p)
        out.hex(*p);
    out.put('\n');
    int sapi = f[0] >> 2;
    int tei = f[1] >> 1;
    int control = f[2];
    out.add("frame %s ", direction ? "network->user" : "user->network");
    const uint8_t* m;
    if (tei == 127) {
        if (sapi == 63) {
            out.add("tei management:\n");
            return;
        }
        if (sapi != 0) {
            out.add("unknown sapi %d broadcast\n", sapi);
            return;
        }
        if (control != 3) {
            out.add("no UI broadcast\n");
            return;
        }
        out.add("broadcast\n");
        m = f + 3;
    } else {
        if (sapi != 0) {
            out.add("unknown sapi = %d; tei = %d\n", sapi, tei);
            return;
        }
        if (control & 1) {
            out.add("SFrame tei = %d (", tei);
            for (const uint8_t* p = f + 2; p < end && !out.full(); ++p)
                out.add("%02X ", *p);
            out.add(")\n");
            return;
        }
        out.add("IFrame tei = %d\n", tei);
        m = f + 4;
    }
    if (m >= end)
        out.add(kTooShort);
    else
        message(out, m, end);
}

} // namespace
} // namespace Trace

void dlogframe(const unsigned char* frame, int length, int direction, char* out, size_t size)
{
    if (!frame || !out || size == 0 || length < 3)
        return;
    Trace::Text text(out, size);
    Trace::frame(text, frame, frame + length, direction);
    text.finish();
}

} // namespace ISDN
