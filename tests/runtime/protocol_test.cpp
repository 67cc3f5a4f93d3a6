// Protocol stacks: the order of calls down and up, activation,
// deactivation and errors, initialisation and ownership.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/protocol.h"
#include "tests/runtime/packet_support.h"

using vbtest::content;
using vbtest::make_packet;

namespace {

typedef std::vector<std::string> Trace;

// A layer with a one-byte header (its initial) that records every call.
class Probe : public Protocol {
public:
    Probe(const std::string& n, Trace& t, int head = 1) : label(n), trace(t), head(head) {}
    ~Probe() override { trace.push_back("~" + label); }

    void local_prepare_head(Packet& p) override
    {
        trace.push_back(label + ".prepare_head");
        p.reserve_head(head);
    }
    Protocol_status local_initialize() override
    {
        trace.push_back(label + ".local_initialize");
        if (fail_init)
            return new Protocol_initialize_error(this, label + " failed");
        return Protocol::local_initialize();
    }
    void local_activate() override
    {
        trace.push_back(label + ".local_activate");
        Protocol::local_activate();
    }
    void local_deactivate() override
    {
        trace.push_back(label + ".local_deactivate");
        Protocol::local_deactivate();
    }
    bool message(Packet& p) override
    {
        trace.push_back(label + ".message");
        p.push(static_cast<uint8_t>(label[0]));
        return transmit(p);
    }
    void receive(Packet& p) override
    {
        trace.push_back(label + ".receive");
        EXPECT_EQ(p.pull(), label[0]);
        on_message(p);
    }
    bool compare_name(const Protocol_name& n) const override { return named && n.compare(Protocol_name_str(label.c_str())); }

    std::string label;
    Trace& trace;
    int head;
    bool fail_init = false;
    bool named = false;
};

std::string who(const Protocol* p)
{
    const Probe* probe = dynamic_cast<const Probe*>(p);
    return probe ? probe->label : "family";
}

// The service side of a stack: records what reaches the family's owner
// hooks, and stands for the wire below the lowest layer.
class Service : public ProtocolsFamily {
public:
    explicit Service(Trace& t) : trace(t) {}

    void on_activated(Protocol* p) override
    {
        trace.push_back("F.on_activated(" + who(p) + ")");
        ProtocolsFamily::on_activated(p);
    }
    void on_activate() override { trace.push_back("F.on_activate"); }
    void on_deactivated(Protocol* p, Protocol_status s) override
    {
        trace.push_back("F.on_deactivated(" + who(p) + ", " + who(s->source) + ", " + s->message() +
                        (s->success() ? ", ok)" : ", error)"));
    }
    void on_message(Packet& p) override { trace.push_back("F.on_message(" + content(p) + ")"); }
    bool transmit(Packet& p) override
    {
        trace.push_back("F.transmit(" + content(p) + ")");
        return true;
    }

    Trace& trace;
};

class ProtocolTest : public ::testing::Test {
protected:
    Trace trace;
    Service family{trace};
    Probe* lower = new Probe("L", trace, 2);
    Probe* upper = new Probe("U", trace, 3);

    void SetUp() override
    {
        family.add_protocol_tail(lower);
        family.add_protocol_tail(upper);
    }
    Trace take()
    {
        Trace t;
        t.swap(trace);
        return t;
    }
};

TEST_F(ProtocolTest, DataGoesDownThroughEveryLayerAndComesBackUp)
{
    Packet p;
    family.prepare_head(p);
    EXPECT_EQ(p.get()->_headroom(), 5);
    EXPECT_EQ(p.length(), 0);
    EXPECT_EQ(take(), (Trace{"L.prepare_head", "U.prepare_head"}));

    p.put('x');
    EXPECT_TRUE(family.message(p));
    EXPECT_EQ(take(), (Trace{"U.message", "L.message", "F.transmit(LUx)"}));

    Packet wire = make_packet("LUy");
    family.receive(wire);
    EXPECT_EQ(take(), (Trace{"L.receive", "U.receive", "F.on_message(y)"}));

    // The lowest layer of a device hands its packets to its own on_message.
    Packet chunk = make_packet("Uz");
    lower->on_message(chunk);
    EXPECT_EQ(take(), (Trace{"U.receive", "F.on_message(z)"}));

    // Header room below a layer only.
    Packet q;
    lower->prepare_head(q);
    EXPECT_EQ(q.get()->_headroom(), 2);
}

TEST_F(ProtocolTest, ActivationClimbsToTheFamilyAndItsOwner)
{
    family.activate();
    EXPECT_EQ(take(), (Trace{"L.local_activate", "U.local_activate", "F.on_activated(U)", "F.on_activate"}));
}

TEST_F(ProtocolTest, DeactivationDescendsAndTheOwnerHearsSuccessFromTheLowest)
{
    upper->deactivate();
    EXPECT_EQ(take(), (Trace{"U.local_deactivate", "L.local_deactivate", "F.on_deactivated(L, L, success, ok)"}));
    family.deactivate();
    EXPECT_EQ(take(), (Trace{"U.local_deactivate", "L.local_deactivate", "F.on_deactivated(L, L, success, ok)"}));
}

TEST_F(ProtocolTest, AnErrorClimbsWithoutDeactivatingTheUpperLayers)
{
    lower->on_deactivate(new Protocol_status_error(lower, "socket gone"));
    EXPECT_EQ(take(), (Trace{"F.on_deactivated(U, L, socket gone, error)"}));
}

TEST_F(ProtocolTest, InitialisationRunsUpwardsAndStopsAtTheFirstFailure)
{
    Protocol_status ok = family.initialize();
    EXPECT_TRUE(ok->success());
    EXPECT_EQ(ok->source, upper);
    EXPECT_EQ(take(), (Trace{"L.local_initialize", "U.local_initialize"}));

    lower->fail_init = true;
    Protocol_status s = upper->initialize();
    EXPECT_FALSE(s->success());
    EXPECT_EQ(s->source, lower);
    EXPECT_EQ(s->message(), "L failed");
    EXPECT_EQ(take(), (Trace{"L.local_initialize"}));

    ProtocolsFamily empty;
    Protocol_status e = empty.initialize();
    EXPECT_FALSE(e->success());
    EXPECT_EQ(e->message(), "error");
    EXPECT_NE(dynamic_cast<Protocol_initialize_error*>(e.get()), nullptr);
    // Without layers the rest does nothing.
    Packet p;
    empty.prepare_head(p);
    EXPECT_TRUE(p.null());
    EXPECT_FALSE(empty.message(p));
    empty.activate();
    empty.deactivate();
}

TEST_F(ProtocolTest, AFamilyIsALayerOfAnOuterStack)
{
    Service outer(trace);
    Probe* wire = new Probe("W", trace);
    ProtocolsFamily* inner = new ProtocolsFamily;
    outer.add_protocol_tail(wire);
    outer.add_protocol_tail(inner);
    Probe* a = new Probe("A", trace);
    Probe* b = new Probe("B", trace);
    inner->add_protocol_tail(a);
    inner->add_protocol_tail(b);

    Packet p;
    outer.prepare_head(p);
    EXPECT_EQ(p.get()->_headroom(), 3);
    take();
    p.put('x');
    EXPECT_TRUE(outer.message(p));
    EXPECT_EQ(take(), (Trace{"B.message", "A.message", "W.message", "F.transmit(WABx)"}));

    Packet in = make_packet("WABy");
    outer.receive(in);
    EXPECT_EQ(take(), (Trace{"W.receive", "A.receive", "B.receive", "F.on_message(y)"}));

    outer.activate();
    EXPECT_EQ(take(), (Trace{"W.local_activate", "A.local_activate", "B.local_activate", "F.on_activated(family)",
                             "F.on_activate"}));

    // An error inside the inner family continues upwards in the outer one.
    a->on_deactivate(new Protocol_status_error(a, "bad frame"));
    EXPECT_EQ(take(), (Trace{"F.on_deactivated(family, A, bad frame, error)"}));

    // Success from the inner family's lowest layer continues downwards.
    inner->deactivate();
    EXPECT_EQ(take(), (Trace{"B.local_deactivate", "A.local_deactivate", "W.local_deactivate",
                             "F.on_deactivated(W, W, success, ok)"}));
}

TEST_F(ProtocolTest, SearchAndOwnership)
{
    EXPECT_EQ(family.search(Protocol_name_str("U")), nullptr) << "the base compare_name matches nothing";
    upper->named = true;
    EXPECT_EQ(family.search(Protocol_name_str("U")), upper);
    EXPECT_EQ(family.search(Protocol_name_str("L")), nullptr);

    // A layer destroyed alone leaves its list.
    delete upper;
    EXPECT_EQ(family.size(), 1u);
    EXPECT_EQ(family.top(), lower);
    EXPECT_EQ(lower->above(), nullptr);

    Probe* bottom = new Probe("B", trace);
    family.add_protocol_head(bottom);
    EXPECT_EQ(family.lowest(), bottom);
    EXPECT_EQ(lower->below(), bottom);
    take();
    {
        Service f(trace);
        f.add_protocol_tail(new Probe("X", trace));
        f.add_protocol_tail(new Probe("Y", trace));
    }
    EXPECT_EQ(take(), (Trace{"~Y", "~X"})) << "a list deletes its layers from the top down";
}

TEST(ProtocolNames, KindsCompare)
{
    Protocol_name_null none;
    Protocol_name_str tpkt("TPKT"), other("TPKT2"), null_text(nullptr);
    EXPECT_STREQ(none.name(), "(no name)");
    EXPECT_STREQ(null_text.name(), "(no name)");
    EXPECT_TRUE(none.compare(Protocol_name_null()));
    EXPECT_FALSE(none.compare(tpkt));
    EXPECT_TRUE(tpkt.compare(Protocol_name_str("TPKT")));
    EXPECT_FALSE(tpkt.compare(other));
    EXPECT_FALSE(tpkt.compare(none));
}

TEST(ProtocolDeathTest, NullStatusIsABrokenContract)
{
    Protocol p;
    EXPECT_DEATH(p.on_deactivate(Protocol_status()), "SMART POINTER ASSERTION!");
}

} // namespace
