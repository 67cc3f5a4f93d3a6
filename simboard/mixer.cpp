#include "simboard/mixer.h"

#include <cerrno>
#include <sstream>

#include "simboard/test_port.h"

namespace SimBoard {

using namespace Device::Mixer;

MixerDevice::MixerDevice()
{
    handle(MIX_RX_CLEAR, [this](Call& c) {
        int error = 0;
        Unit* u = resolve(c.record<mix_slot>(), error);
        if (!u)
            return -error;
        u->mixes.erase(c.record<mix_slot>().number);
        return 0;
    });
    handle(MIX_RX_ADD, [this](Call& c) { return add(c.record<mix_record>()); });
    handle(MIX_RX_REMOVE, [this](Call& c) { return remove(c.record<mix_record>()); });
    handle(MIX_TDM, [this](Call& c) {
        int error = 0;
        const mix_slot& s = c.record<mix_slot>();
        return resolve(s, error) ? timeslot(s.dev_no, s.number) : -error;
    });
    handle(MIX_UNIT_QUERY, [this](Call& c) { return query(c.record<mix_unit>()); }, Arg::filled);
    add_unit(kDefaultUnit, kDefaultChannels, kDefaultInputs);
}

void MixerDevice::add_unit(int32_t number, int32_t channels, int32_t inputs)
{
    Unit& u = mUnits[number];
    u = Unit();
    u.channels = channels;
    u.inputs = inputs;
}

void MixerDevice::remove_unit(int32_t number)
{
    mUnits.erase(number);
}

const MixerDevice::Unit* MixerDevice::unit(int32_t number) const
{
    auto it = mUnits.find(number);
    return it == mUnits.end() ? nullptr : &it->second;
}

std::map<int32_t, int32_t> MixerDevice::mix(int32_t unit, int32_t channel) const
{
    auto it = mUnits.find(unit);
    if (it == mUnits.end())
        return {};
    auto m = it->second.mixes.find(channel);
    return m == it->second.mixes.end() ? std::map<int32_t, int32_t>() : m->second;
}

MixerDevice::Unit* MixerDevice::resolve(const mix_slot& slot, int& error)
{
    auto it = mUnits.find(slot.dev_no);
    if (it == mUnits.end()) {
        error = ENODEV;
        return nullptr;
    }
    if (slot.type != kTdm || slot.number < 0 || slot.number >= it->second.channels) {
        error = EINVAL;
        return nullptr;
    }
    return &it->second;
}

int MixerDevice::add(const mix_record& r)
{
    int error = 0;
    Unit* u = resolve(r.rx, error);
    if (!u || !resolve(r.tx, error))
        return -error;
    if (r.rx.dev_no != r.tx.dev_no)
        return -EINVAL;
    auto& mix = u->mixes[r.rx.number];
    if (!mix.count(r.tx.number) && static_cast<int32_t>(mix.size()) >= u->inputs)
        return -ENOSPC;
    mix[r.tx.number] = r.gain;
    return 0;
}

int MixerDevice::remove(const mix_record& r)
{
    int error = 0;
    Unit* u = resolve(r.rx, error);
    if (!u || !resolve(r.tx, error))
        return -error;
    auto m = u->mixes.find(r.rx.number);
    if (m == u->mixes.end() || !m->second.erase(r.tx.number))
        return -ENOENT;
    if (m->second.empty())
        u->mixes.erase(m);
    return 0;
}

int MixerDevice::query(mix_unit& r) const
{
    auto it = mRepeating >= 0 ? mUnits.find(mRepeating) : mUnits.upper_bound(r.unit);
    if (it == mUnits.end())
        return -ENODEV;
    r.unit = it->first;
    r.tdm_channels = it->second.channels;
    r.mixer_inputs = it->second.inputs;
    return 0;
}

void MixerDevice::port_commands(TestPort& port)
{
    port.add("mixer-unit", 2, "add|remove <unit> [<channels>,<inputs>]", [this](const TestPort::Args& a) {
        int32_t number = 0, channels = 0, inputs = 0;
        if (!TestPort::number(a[1], number) || number < 0)
            return TestPort::error("bad unit " + a[1]);
        if (a[0] == "remove" && a.size() == 2) {
            remove_unit(number);
            return TestPort::ok();
        }
        char comma = 0;
        std::istringstream in(a.size() == 3 ? a[2] : std::string());
        if (a[0] != "add" || !(in >> channels >> comma >> inputs) || comma != ',' || channels <= 0 || inputs < 0)
            return TestPort::error("usage: mixer-unit add <unit> <channels>,<inputs> | remove <unit>");
        add_unit(number, channels, inputs);
        return TestPort::ok();
    });
    // The channel's mix as input:gain pairs.
    port.add("mixer-mix", 2, "<unit> <channel>", [this](const TestPort::Args& a) {
        int32_t u = 0, ch = 0;
        if (!TestPort::number(a[0], u) || !TestPort::number(a[1], ch))
            return TestPort::error("bad number");
        if (!unit(u))
            return TestPort::error("no unit " + a[0]);
        std::ostringstream o;
        for (auto& m : mix(u, ch))
            o << (o.tellp() > 0 ? " " : "") << m.first << ':' << m.second;
        return TestPort::ok(o.str());
    });
}

} // namespace SimBoard
