// The RTCP packets an RTP slot sends (RFC 3550 6.5 SDES, 6.6 BYE): one
// source description when its session starts, one BYE when it goes.
// Nothing is received and no reports are sent.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace RTPC {

class Msg {
public:
    explicit Msg(uint32_t ssrc = 0) : ssrc(ssrc) {}
    virtual ~Msg() = default;

    virtual uint8_t pt() const = 0;
    // The 5-bit count of the header.
    virtual uint8_t count() const = 0;
    // Writes the body (after the 4-byte header) into room bytes; its
    // length, a multiple of 4, or 0 when it does not fit.
    virtual unsigned encode_body(char* body, unsigned room) const = 0;

    // The packet's length in bytes, a multiple of 4; 0 when it does not fit
    // (then nothing is to be sent). Never writes past buf + size.
    unsigned encode(char* buf, unsigned size) const;

    uint32_t ssrc;
};

class SDES : public Msg {
public:
    struct Item {
        enum Type : uint8_t { CNAME = 1, EMAIL = 3, PHONE = 4 };
        Type type;
        std::string text; // at most 255 bytes go out
    };

    explicit SDES(uint32_t ssrc = 0) : Msg(ssrc) {}
    void add(Item::Type type, const std::string& text) { items.push_back(Item{type, text}); }

    uint8_t pt() const override { return 202; }
    uint8_t count() const override { return 1; }
    // One chunk: the items that fit, in order, then the null item and
    // padding, which always fit when the SSRC does.
    unsigned encode_body(char* body, unsigned room) const override;

    std::vector<Item> items;
};

class BYE : public Msg {
public:
    explicit BYE(uint32_t ssrc = 0, const std::string& reason = std::string()) : Msg(ssrc), reason(reason) {}

    uint8_t pt() const override { return 203; }
    uint8_t count() const override { return 1; }
    // The SSRC, then the reason cut to what fits.
    unsigned encode_body(char* body, unsigned room) const override;

    std::string reason;
};

} // namespace RTPC
