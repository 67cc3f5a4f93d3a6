// Packet buffers: reference-counted handles on 64 KiB buffers of a fixed
// pool, with room before the content for headers that lower layers
// prepend and room after it for appended data.
//
// Copies share a buffer; every change first makes the handle's buffer its
// own (copy on write), so a Packet behaves like a value. Misuse by our own
// code (writing past the buffer, a null handle) reports and terminates;
// only an empty pool throws (std::bad_alloc).
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "runtime/list_allocator.h"
#include "runtime/smart_pointer.h"

const unsigned packet_max_size = 65536;

class _Packet {
public:
    // Fresh buffer: no content, data = tail = end of the area.
    _Packet() : refcount(0), data(area + packet_max_size), tail(data) {}
    // Copies only the content, to the same offsets.
    _Packet(const _Packet& other);
    _Packet& operator=(const _Packet&) = delete;

    int _headroom() const { return static_cast<int>(data - area); }
    int _length() const { return static_cast<int>(tail - data); }
    int _tailroom() const { return static_cast<int>(area + packet_max_size - tail); }
    const uint8_t* area_begin() const { return area; }
    const uint8_t* area_end() const { return area + packet_max_size; }
    // Pointers inside the area and data not after tail.
    bool consistent() const
    {
        return data >= area && data <= area_end() && tail >= area && tail <= area_end() && data <= tail;
    }

    uint32_t refcount;
    uint8_t* data;
    uint8_t* tail;
    uint8_t area[packet_max_size];
};

typedef List_allocator<_Packet, 1024, Dummy_critical_section> Packet_pool;

template <>
class Smart_pointer<_Packet>;
typedef Smart_pointer<_Packet> Packet;

// Diagnostic snapshot printed by a failed packet assertion.
class PacketInfo {
public:
    explicit PacketInfo(const Packet& p);
    void put(std::ostream& out) const;

    bool null = true;
    bool consistent = false;
    int headroom = 0;
    int length = 0;
    int tailroom = 0;
    std::vector<uint8_t> bytes;
};

template <>
class Smart_pointer<_Packet> : public Counted_handle<_Packet, &Packet_pool::deallocate> {
public:
    Smart_pointer() = default;

    Smart_pointer& operator=(_Packet* p)
    {
        assign(p);
        return *this;
    }

    // Non-const access makes the buffer private first.
    _Packet* operator->()
    {
        if (!mP)
            SmartPtrAssertion();
        prepare_for_modify();
        return mP;
    }
    const _Packet* operator->() const
    {
        if (!mP)
            SmartPtrAssertion();
        return mP;
    }
    const _Packet* get() const { return mP; }
    bool null() const { return mP == nullptr; }

    // Takes a private copy when the buffer is shared; std::bad_alloc when
    // the pool is empty (nothing changes then).
    void prepare_for_modify();

    int length() const { return mP ? mP->_length() : 0; }

    void reserve_head(int n);
    void reserve_tail(int n);

    void put(uint8_t b)
    {
        passert(mP != nullptr, "null packet");
        _Packet* p = operator->();
        passert(p->_tailroom() >= 1, "len<=_tailroom()");
        *p->tail++ = b;
        check("put");
    }
    void put16_b(uint16_t v)
    {
        put(static_cast<uint8_t>(v >> 8));
        put(static_cast<uint8_t>(v));
    }
    void put16(uint16_t v)
    {
        put(static_cast<uint8_t>(v));
        put(static_cast<uint8_t>(v >> 8));
    }
    void put(const Packet& other);
    void put(const std::string& s);

    void push(uint8_t b)
    {
        passert(mP != nullptr, "null packet");
        _Packet* p = operator->();
        passert(p->_headroom() >= 1, "len<=_headroom()");
        *--p->data = b;
        check("push");
    }
    void push16_b(uint16_t v)
    {
        push(static_cast<uint8_t>(v));
        push(static_cast<uint8_t>(v >> 8));
    }

    // Missing bytes read as 0.
    uint8_t pull()
    {
        passert(mP != nullptr, "null packet");
        if (mP->_length() == 0)
            return 0;
        return *operator->()->data++;
    }
    uint16_t pull16_b()
    {
        uint16_t hi = pull();
        return static_cast<uint16_t>(hi << 8 | pull());
    }
    uint16_t pull16_l()
    {
        uint16_t lo = pull();
        return static_cast<uint16_t>(lo | pull() << 8);
    }
    std::string pull_string();

    void trim(int n);

    uint8_t& operator[](int i)
    {
        passert(mP != nullptr, "null packet");
        passert(i >= 0 && i < mP->_length(), "index out of range");
        return operator->()->data[i];
    }
    uint8_t operator[](int i) const
    {
        passert(mP != nullptr, "null packet");
        passert(i >= 0 && i < mP->_length(), "index out of range");
        return mP->data[i];
    }

    // A new packet on a buffer of its own holding bytes [start, start + len).
    Packet sub(int len, int start) const;

    std::string text() const;
    void check(const char* label) const;
    void passert(bool cond, const char* text) const
    {
        if (!cond)
            assertion_failed(text);
    }
    bool dump(std::ostream& out) const;
    bool dump_context(std::ostream& out) const;

private:
    [[noreturn]] void assertion_failed(const char* text) const;

};
