#include "runtime/protocol.h"

#include <ostream>

void Internal_protocol_status::out(std::ostream& os) const
{
    os << text;
}

// --------------------------------------------------------------- Protocol

Protocol::~Protocol()
{
    if (owner && owner->contains(this))
        owner->remove(this);
}

Protocol_status Protocol::local_initialize()
{
    return Protocol_status(new Protocol_status_success(this, "success"));
}

void Protocol::local_deactivate()
{
    on_deactivate(new Protocol_status_success(this, "success"));
}

bool Protocol::transmit(Packet& p)
{
    if (below())
        return below()->message(p);
    if (owner)
        return owner->transmit(p);
    return false;
}

void Protocol::on_message(Packet& p)
{
    if (above())
        above()->receive(p);
    else if (owner)
        owner->on_message(p);
}

void Protocol::on_activate()
{
    if (above())
        above()->local_activate();
    else if (owner)
        owner->on_activated(this);
}

void Protocol::on_deactivate(Protocol_status s)
{
    if (s->success()) {
        // Success descends: the layer below shuts down next.
        if (below()) {
            Protocol* b = below();
            s.release();
            b->deactivate();
        } else if (owner) {
            owner->on_deactivated(this, s);
        }
        return;
    }
    // An error climbs unchanged, skipping the upper layers' shutdown.
    if (above())
        above()->on_deactivate(s);
    else if (owner)
        owner->on_deactivated(this, s);
}

void Protocol::on_status(Protocol_status s)
{
    if (above())
        above()->on_status(s);
    else if (owner)
        owner->on_status(s);
}

void Protocol::activate()
{
    if (below())
        below()->activate();
    else
        local_activate();
}

void Protocol::descend_prepare_head(Packet& p)
{
    if (below())
        below()->descend_prepare_head(p);
    local_prepare_head(p);
}

void Protocol::descend_prepare_tail(Packet& p)
{
    if (below())
        below()->descend_prepare_tail(p);
    local_prepare_tail(p);
}

Protocol_status Protocol::initialize()
{
    if (below()) {
        Protocol_status s = below()->initialize();
        if (!s->success())
            return s;
    }
    return local_initialize();
}

// ---------------------------------------------------------- ProtocolsList

ProtocolsList::~ProtocolsList()
{
    while (Protocol* p = top()) {
        remove(p);
        p->owner = nullptr;
        delete p;
    }
}

void ProtocolsList::add_protocol_head(Protocol* p)
{
    insert_to_head(p);
    p->owner = this;
}

void ProtocolsList::add_protocol_tail(Protocol* p)
{
    insert_to_tail(p);
    p->owner = this;
}

Protocol* ProtocolsList::search(const Protocol_name& name) const
{
    for (Protocol* p : *this)
        if (p->compare_name(name))
            return p;
    return nullptr;
}

// -------------------------------------------------------- ProtocolsFamily

void ProtocolsFamily::local_prepare_head(Packet& p)
{
    if (top())
        top()->prepare_head(p);
}

void ProtocolsFamily::local_prepare_tail(Packet& p)
{
    if (top())
        top()->prepare_tail(p);
}

Protocol_status ProtocolsFamily::local_initialize()
{
    if (top())
        return top()->initialize();
    return Protocol_status(new Protocol_initialize_error(this, "error"));
}

void ProtocolsFamily::local_activate()
{
    if (top())
        top()->activate();
}

void ProtocolsFamily::local_deactivate()
{
    if (top())
        top()->deactivate();
}

bool ProtocolsFamily::message(Packet& p)
{
    return top() ? top()->message(p) : false;
}

void ProtocolsFamily::receive(Packet& p)
{
    if (lowest())
        lowest()->receive(p);
}

void ProtocolsFamily::on_activated(Protocol* p)
{
    if (p == top())
        on_activate();
}

void ProtocolsFamily::on_deactivated(Protocol*, Protocol_status s)
{
    on_deactivate(s);
}
