// Protocol stacking: layers of one base class in an ordered list.
//
// Data goes down through message/transmit and up through on_message/
// receive; activation climbs through on_activate, deactivation descends on
// success and an error climbs, both ending at the owner's on_activated/
// on_deactivated. A ProtocolsFamily is a list that is itself a layer, so a
// whole stack can be stacked or owned by a service that overrides the
// notifications. Every call is synchronous, on the loop thread.
#pragma once

#include <iosfwd>
#include <string>

#include "runtime/dual_list.h"
#include "runtime/packet.h"
#include "runtime/smart_pointer.h"

class Protocol;
class ProtocolsList;

class Protocol_name {
public:
    virtual ~Protocol_name() = default;
    virtual int kind() const = 0;
    virtual const char* name() const = 0;
    virtual bool compare(const Protocol_name& other) const = 0;
};

class Protocol_name_null : public Protocol_name {
public:
    int kind() const override { return 0; }
    const char* name() const override { return "(no name)"; }
    bool compare(const Protocol_name& other) const override { return other.kind() == 0; }
};

class Protocol_name_str : public Protocol_name {
public:
    explicit Protocol_name_str(const char* text) : mText(text ? text : "(no name)") {}
    int kind() const override { return 1; }
    const char* name() const override { return mText.c_str(); }
    bool compare(const Protocol_name& other) const override
    {
        return other.kind() == 1 && mText == other.name();
    }

private:
    std::string mText;
};

// Why a stack (or one of its layers) ended, or how an initialisation went.
class Internal_protocol_status {
public:
    Internal_protocol_status(const Protocol* source, const std::string& text) : source(source), text(text) {}
    virtual ~Internal_protocol_status() = default;
    virtual bool success() const = 0;
    virtual std::string message() const { return text; }
    virtual void out(std::ostream& os) const;

    // The layer that made the status; const, so that a layer's const
    // operations can describe it.
    const Protocol* source;
    uint32_t refcount = 0;
    std::string text;
};

typedef Smart_pointer<Internal_protocol_status> Protocol_status;

class Protocol_status_success : public Internal_protocol_status {
public:
    using Internal_protocol_status::Internal_protocol_status;
    bool success() const override { return true; }
};

class Protocol_status_error : public Internal_protocol_status {
public:
    using Internal_protocol_status::Internal_protocol_status;
    bool success() const override { return false; }
};

class Protocol_initialize_error : public Protocol_status_error {
public:
    using Protocol_status_error::Protocol_status_error;
};

class Protocol_info {
public:
    virtual ~Protocol_info() = default;
    virtual bool compare_name(const Protocol_name&) const { return false; }
    virtual const Protocol_name& name() const { return mName; }

private:
    Protocol_name_null mName;
};

// One layer. In its list, next is the layer above and prev the layer below.
class Protocol : public Protocol_info, public F_dual_list_item<Protocol> {
public:
    Protocol() = default;
    Protocol(const Protocol&) = delete;
    Protocol& operator=(const Protocol&) = delete;
    ~Protocol() override;

    virtual void local_prepare_head(Packet& p) { p.reserve_head(0); }
    virtual void local_prepare_tail(Packet& p) { p.reserve_tail(0); }
    virtual Protocol_status local_initialize();
    virtual void local_activate() { on_activate(); }
    virtual void local_deactivate();
    // Down: the layer below, else the owner's outer stack. False when
    // nothing took the packet or the layer below failed to send it.
    virtual bool transmit(Packet& p);
    // Up: the layer above, else the owner.
    virtual void on_message(Packet& p);
    virtual void on_activate();
    virtual void on_deactivate(Protocol_status s);
    virtual void on_status(Protocol_status s);
    // Adds this layer's header and transmits; true when the packet was sent.
    virtual bool message(Packet&) { return false; }
    // Takes this layer's header off and passes the payload up.
    virtual void receive(Packet&) {}
    virtual void activate();
    virtual void deactivate() { local_deactivate(); }
    virtual void protocol_info(std::ostream&) {}

    // Reserves the header (trailer) room of this layer and every layer
    // below it; a null packet gets its buffer from the lowest layer.
    void prepare_head(Packet& p) { descend_prepare_head(p); }
    void prepare_tail(Packet& p) { descend_prepare_tail(p); }
    // Initialises from the lowest layer up; stops at the first failure.
    Protocol_status initialize();

    ProtocolsList* owner = nullptr;

    Protocol* above() const { return next; }
    Protocol* below() const { return prev; }

private:
    void descend_prepare_head(Packet& p);
    void descend_prepare_tail(Packet& p);
};

// The layers of one stack, head = lowest (wire side), tail = top (user
// side). The list owns and deletes its layers.
class ProtocolsList : public Protocol, public F_dual_list<Protocol> {
public:
    ProtocolsList() = default;
    ~ProtocolsList() override;

    virtual void on_activated(Protocol*) {}
    virtual void on_deactivated(Protocol*, Protocol_status) {}
    virtual void add_protocol_head(Protocol* p);
    virtual void add_protocol_tail(Protocol* p);

    // The first layer, from the lowest up, whose compare_name matches.
    Protocol* search(const Protocol_name& name) const;

    Protocol* lowest() const { return head(); }
    Protocol* top() const { return tail(); }
};

// A stack used as one layer: the family's operations go to its top (or,
// for receive, its lowest) layer, and what its layers report continues
// from the family itself.
class ProtocolsFamily : public ProtocolsList {
public:
    void local_prepare_head(Packet& p) override;
    void local_prepare_tail(Packet& p) override;
    Protocol_status local_initialize() override;
    void local_activate() override;
    void local_deactivate() override;
    bool message(Packet& p) override;
    void receive(Packet& p) override;
    void on_activated(Protocol* p) override;
    void on_deactivated(Protocol* p, Protocol_status s) override;
};
