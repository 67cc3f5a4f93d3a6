#include "runtime/packet.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>

#include "runtime/packet_quota.h"

void SmartPtrAssertion()
{
    std::clog << "SMART POINTER ASSERTION!" << std::endl;
    std::terminate();
}

_Packet::_Packet(const _Packet& other)
    : refcount(0), data(area + other._headroom()), tail(data + other._length())
{
    std::memcpy(data, other.data, static_cast<size_t>(other._length()));
}

namespace {
// A pool buffer, or std::bad_alloc when every one is taken. The last few
// go only to whoever may draw on the reserve.
_Packet* pool_buffer()
{
    if (Packet_pool::available() <= PacketQuota::reserve && !PacketQuota::reserve_open())
        throw std::bad_alloc();
    _Packet* p = Packet_pool::allocate();
    if (!p)
        throw std::bad_alloc();
    return p;
}

// " " and each byte in hexadecimal, no leading zeros.
void put_hex(std::ostream& out, const uint8_t* begin, const uint8_t* end)
{
    std::ios::fmtflags f = out.flags();
    out << std::hex;
    for (const uint8_t* b = begin; b < end; ++b)
        out << ' ' << static_cast<unsigned>(*b);
    out.flags(f);
}
} // namespace

// ------------------------------------------------------------- PacketInfo

PacketInfo::PacketInfo(const Packet& p)
{
    const _Packet* b = p.get();
    if (!b)
        return;
    null = false;
    headroom = b->_headroom();
    length = b->_length();
    tailroom = b->_tailroom();
    consistent = b->consistent();
    if (consistent)
        bytes.assign(b->data, b->tail);
}

void PacketInfo::put(std::ostream& out) const
{
    if (null) {
        out << "(null)" << std::endl;
        return;
    }
    out << "head=" << headroom << ", data=" << length << ", tail=" << tailroom << std::endl;
    if (!consistent) {
        out << "can't dump packet: wrong pointers" << std::endl;
        return;
    }
    if (bytes.empty())
        return;
    out << "dump:" << std::endl;
    put_hex(out, bytes.data(), bytes.data() + bytes.size());
    out << std::endl;
}

// ----------------------------------------------------------------- Packet

void Packet::prepare_for_modify()
{
    if (!mP || mP->refcount <= 1)
        return;
    _Packet* copy = new (pool_buffer()) _Packet(*mP);
    --mP->refcount; // still at least 1: another handle holds it
    mP = copy;
    mP->refcount = 1;
}

void Packet::reserve_head(int n)
{
    passert(n >= 0 && static_cast<unsigned>(n) <= packet_max_size, "length>packet_max_size");
    if (!mP) {
        _Packet* p = pool_buffer();
        p->data = p->tail = p->area + n;
        *this = p;
        return;
    }
    // The whole window moves, so the room it moves into is the tailroom
    // (for an empty packet the same as headroom + n <= the buffer size).
    passert(n <= mP->_tailroom(), "new_len>packet_max_size");
    _Packet* p = operator->();
    p->data += n;
    p->tail += n;
}

void Packet::reserve_tail(int n)
{
    passert(n >= 0 && static_cast<unsigned>(n) <= packet_max_size, "len>packet_max_size");
    if (!mP) {
        _Packet* p = pool_buffer();
        p->data = p->tail = p->area + packet_max_size - n;
        *this = p;
        return;
    }
    passert(n <= mP->_headroom(), "_tailroom()+len <= packet_max_size");
    _Packet* p = operator->();
    p->data -= n;
    p->tail -= n;
}

void Packet::put(const Packet& other)
{
    int n = other.length();
    if (n == 0)
        return;
    passert(mP != nullptr, "null packet");
    // other may be this very handle: take the source after the copy on write.
    _Packet* p = operator->();
    passert(n <= p->_tailroom(), "len<=_tailroom()");
    std::memcpy(p->tail, other.get()->data, static_cast<size_t>(n));
    p->tail += n;
    check("put");
}

void Packet::put(const std::string& s)
{
    // The count is one byte: a longer string could not be read back whole.
    passert(s.size() <= 255, "s.length()<=255");
    put(static_cast<uint8_t>(s.size()));
    for (char c : s)
        put(static_cast<uint8_t>(c));
}

std::string Packet::pull_string()
{
    unsigned n = pull();
    std::string s;
    s.reserve(n);
    for (unsigned i = 0; i < n; ++i)
        s += static_cast<char>(pull());
    return s;
}

void Packet::trim(int n)
{
    passert(mP != nullptr, "null packet");
    passert(n >= 0 && n <= mP->_length(), "len<=_length()");
    operator->()->tail -= n;
    check("trim");
}

Packet Packet::sub(int len, int start) const
{
    passert(mP != nullptr, "null packet");
    passert(start >= 0 && start <= mP->_length(), "start<=_length()");
    passert(len >= 0 && start + len <= mP->_length(), "start+len<=_length()");
    _Packet* p = pool_buffer();
    p->data = p->area + mP->_headroom() + start;
    p->tail = p->data + len;
    std::memcpy(p->data, mP->data + start, static_cast<size_t>(len));
    Packet out;
    out = p;
    return out;
}

std::string Packet::text() const
{
    if (!mP)
        return "(null)";
    if (!mP->consistent())
        return "(bad)";
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(static_cast<size_t>(mP->_length()) * 3);
    for (const uint8_t* b = mP->data; b < mP->tail; ++b) {
        if (b != mP->data)
            s += ' ';
        s += digits[*b >> 4];
        s += digits[*b & 15];
    }
    return s;
}

namespace {
[[noreturn]] void check_fail(const char* format, const char* label)
{
    char text[256];
    std::snprintf(text, sizeof(text), format, label);
    std::clog << "packet check fail" << std::endl << text << std::endl << "terminate." << std::endl;
    std::terminate();
}
} // namespace

void Packet::check(const char* label) const
{
    if (!mP)
        check_fail("after \"%s\" packet is null", label);
    if (mP->data < mP->area_begin() || mP->data > mP->area_end())
        check_fail("after \"%s\" fdata invalid", label);
    if (mP->tail < mP->area_begin() || mP->tail > mP->area_end())
        check_fail("after \"%s\" ftail invalid", label);
    if (mP->data > mP->tail)
        check_fail("after \"%s\" fdata>ftail", label);
}

void Packet::assertion_failed(const char* text) const
{
    std::clog << "PACKET ASSERTION FAILED!" << std::endl;
    PacketInfo info(*this);
    std::clog << text << std::endl;
    info.put(std::clog);
    std::clog << std::endl;
    std::terminate();
}

bool Packet::dump(std::ostream& out) const
{
    if (!mP)
        return false;
    out << "head=" << mP->_headroom() << ", data=" << mP->_length() << ", tail=" << mP->_tailroom();
    return true;
}

bool Packet::dump_context(std::ostream& out) const
{
    if (!mP || !mP->consistent())
        return false;
    if (mP->_length() == 0)
        return true;
    out << "dump:";
    put_hex(out, mP->data, mP->tail);
    return true;
}
