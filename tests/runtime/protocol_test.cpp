// Protocol stacks: the order of calls down and up, activation,
// deactivation and errors, initialisation and ownership.
#include <gtest/gtest.h>

#include "runtime/protocol.h"
#include "tests/runtime/packet_support.h"

using vbtest::content;
using vbtest::make_packet;

namespace {

typedef std::vector<std::string> Trace;

// A layer with a one-byte header (its initial) that records every call.
struct Probe : Protocol {
    Probe(const std::string& n, Trace& t) : label(n), trace(t) {}
    ~Probe() override { note("~"); }
    void note(const std::string& what) { trace.push_back(label + what); }

    void local_prepare_head(Packet& p) override { p.reserve_head(1); }
    Protocol_status local_initialize() override
    {
        note(".init");
        return fail_init ? new Protocol_initialize_error(this, "failed") : Protocol::local_initialize();
    }
    void local_activate() override { note(".activate"), Protocol::local_activate(); }
    void local_deactivate() override { note(".deactivate"), Protocol::local_deactivate(); }
    bool message(Packet& p) override { return note(".message"), p.push(label[0]), transmit(p); }
    void receive(Packet& p) override
    {
        note(".receive");
        EXPECT_EQ(p.pull(), label[0]);
        on_message(p);
    }
    bool compare_name(const Protocol_name& n) const override { return named && n.compare(Protocol_name_str(label.c_str())); }

    std::string label;
    Trace& trace;
    bool fail_init = false;
    bool named = false;
};

std::string who(const Protocol* p)
{
    const Probe* probe = dynamic_cast<const Probe*>(p);
    return probe ? probe->label : "inner";
}

// The service that owns a stack; also stands for the wire below it.
struct Service : ProtocolsFamily {
    explicit Service(Trace& t) : trace(t) {}
    void on_activated(Protocol* p) override { trace.push_back("on_activated " + who(p)), ProtocolsFamily::on_activated(p); }
    void on_activate() override { trace.push_back("on_activate"); }
    void on_deactivated(Protocol* p, Protocol_status s) override
    {
        trace.push_back("on_deactivated " + who(p) + " " + who(s->source) + " " + s->message() +
                        (s->success() ? " ok" : " error"));
    }
    void on_message(Packet& p) override { trace.push_back("up " + content(p)); }
    bool transmit(Packet& p) override { return trace.push_back("wire " + content(p)), true; }
    Trace& trace;
};

class ProtocolTest : public ::testing::Test {
protected:
    Trace trace;
    Service family{trace};
    Probe* lower = new Probe("L", trace);
    Probe* upper = new Probe("U", trace);

    void SetUp() override
    {
        family.add_protocol_tail(lower);
        family.add_protocol_tail(upper);
    }
    Trace take() { return Trace(std::move(trace)); }
};

TEST_F(ProtocolTest, DataGoesDownThroughEveryLayerAndComesBackUp)
{
    Packet p;
    family.prepare_head(p);
    EXPECT_EQ(p.get()->_headroom(), 2);
    p.put('x');
    EXPECT_TRUE(family.message(p));
    Packet wire = make_packet("LUy"), chunk = make_packet("Uz");
    family.receive(wire);
    lower->on_message(chunk); // how a device layer hands up what it read
    EXPECT_EQ(take(), (Trace{"U.message", "L.message", "wire LUx", "L.receive", "U.receive", "up y", "U.receive", "up z"}));
}

TEST_F(ProtocolTest, ActivationClimbsDeactivationDescendsAnErrorClimbsAlone)
{
    family.activate();
    EXPECT_EQ(take(), (Trace{"L.activate", "U.activate", "on_activated U", "on_activate"}));
    upper->deactivate();
    EXPECT_EQ(take(), (Trace{"U.deactivate", "L.deactivate", "on_deactivated L L success ok"}));
    lower->on_deactivate(new Protocol_status_error(lower, "socket gone"));
    EXPECT_EQ(take(), (Trace{"on_deactivated U L socket gone error"}));
}

TEST_F(ProtocolTest, InitialisationRunsUpwardsAndStopsAtTheFirstFailure)
{
    EXPECT_EQ(family.initialize()->source, upper);
    lower->fail_init = true;
    Protocol_status s = upper->initialize();
    EXPECT_FALSE(s->success());
    EXPECT_EQ(s->source, lower);
    EXPECT_EQ(take(), (Trace{"L.init", "U.init", "L.init"}));
    EXPECT_EQ(ProtocolsFamily().initialize()->message(), "error");
}

TEST_F(ProtocolTest, AFamilyIsALayerOfAnOuterStack)
{
    Service outer(trace);
    ProtocolsFamily* inner = new ProtocolsFamily;
    Probe* a = new Probe("A", trace);
    outer.add_protocol_tail(new Probe("W", trace));
    outer.add_protocol_tail(inner);
    inner->add_protocol_tail(a);
    inner->add_protocol_tail(new Probe("B", trace));

    Packet p;
    outer.prepare_head(p);
    EXPECT_EQ(p.get()->_headroom(), 3);
    p.put('x');
    outer.message(p);
    Packet in = make_packet("WABy");
    outer.receive(in);
    outer.activate();
    EXPECT_EQ(take(), (Trace{"B.message", "A.message", "W.message", "wire WABx", "W.receive", "A.receive", "B.receive",
                             "up y", "W.activate", "A.activate", "B.activate", "on_activated inner", "on_activate"}));
    a->on_deactivate(new Protocol_status_error(a, "bad frame"));
    inner->deactivate();
    EXPECT_EQ(take(), (Trace{"on_deactivated inner A bad frame error", "B.deactivate", "A.deactivate", "W.deactivate",
                             "on_deactivated W W success ok"}));
}

TEST_F(ProtocolTest, SearchAndOwnership)
{
    EXPECT_EQ(family.search(Protocol_name_str("U")), nullptr) << "the base compare_name matches nothing";
    upper->named = true;
    EXPECT_EQ(family.search(Protocol_name_str("U")), upper);
    delete upper; // a layer destroyed alone leaves its list
    EXPECT_EQ(family.top(), lower);
    EXPECT_EQ(lower->above(), nullptr);
    family.add_protocol_head(new Probe("B", trace));
    EXPECT_EQ(lower->below(), family.lowest());
    take();
    {
        Service f(trace);
        f.add_protocol_tail(new Probe("X", trace));
        f.add_protocol_tail(new Probe("Y", trace));
    }
    EXPECT_EQ(take(), (Trace{"Y~", "X~"})) << "a list deletes its layers from the top down";
}

} // namespace
