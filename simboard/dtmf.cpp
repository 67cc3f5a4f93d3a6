#include "simboard/dtmf.h"

#include <cerrno>

#include "runtime/mux_time.h"
#include "simboard/test_port.h"

namespace SimBoard {

using namespace Device::Dtmf;

DtmfDevice::DtmfDevice()
{
    handle(DTMF_CONFIGURE_DETECTOR, [this](Call& c) {
        auto& r = c.record<DetectorConfig>();
        TimeSlot* t = at(r.timeslot);
        if (!t)
            return -EINVAL;
        t->config = r;
        t->configured = true;
        return 0;
    });
    handle(DTMF_ENABLE_DETECTOR, [this](Call& c) {
        auto& r = c.record<DetectorEnable>();
        TimeSlot* t = at(r.timeslot);
        if (!t)
            return -EINVAL;
        t->detector = true;
        t->id = r.id;
        return 0;
    });
    handle_switch(DTMF_DISABLE_DETECTOR, &TimeSlot::detector, false);
    handle_switch(CHANNEL_LMS_ON, &TimeSlot::lms, true);
    handle_switch(CHANNEL_LMS_OFF, &TimeSlot::lms, false);
    handle_switch(DTMF_REJECTION_ENABLE, &TimeSlot::rejection, true);
    handle_switch(DTMF_REJECTION_DISABLE, &TimeSlot::rejection, false);
    handle_switch(IVA_DETECTOR_ENABLE, &TimeSlot::iva, true);
    handle_switch(IVA_DETECTOR_DISABLE, &TimeSlot::iva, false);
    handle(IVA_CONFIGURE_DETECTOR, [this](Call& c) {
        auto& r = c.record<IvaConfig>();
        TimeSlot* t = at(r.timeslot);
        if (!t)
            return -EINVAL;
        t->ivaLevel = r.det_lvl_dB;
        t->ivaConfigured = true;
        return 0;
    });
    handle(DTMF_DIAL, [this](Call& c) {
        auto& r = c.record<Device::Dtmf::Dial>();
        if (!at(r.timeslot))
            return -EINVAL;
        Dial d;
        d.timeslot = r.timeslot;
        d.freq1 = r.freq1, d.freq2 = r.freq2, d.amp1 = r.amp1, d.amp2 = r.amp2;
        at(r.timeslot)->tone = !d.off();
        dial(d);
        return 0;
    });
    handle(SELCAL_DIAL, [this](Call& c) {
        auto& r = c.record<SelcalDial>();
        if (!at(r.timeslot))
            return -EINVAL;
        Dial d;
        d.timeslot = r.timeslot;
        d.selcal = true;
        d.amp1 = r.amp;
        d.signs.assign(r.signs, sizeof(r.signs));
        dial(d);
        return 0;
    });
}

void DtmfDevice::handle_switch(unsigned long number, bool TimeSlot::*flag, bool on)
{
    handle(number, [this, flag, on](Call& c) {
        if (c.value() >= kTimeSlots)
            return -EINVAL;
        at(static_cast<uint32_t>(c.value()))->*flag = on;
        return 0;
    }, Arg::value);
}

DtmfDevice::TimeSlot* DtmfDevice::at(uint32_t ts)
{
    return ts < kTimeSlots ? &mSlots[ts] : nullptr;
}

DtmfDevice::TimeSlot DtmfDevice::timeslot(uint32_t ts) const
{
    auto it = mSlots.find(ts);
    return it == mSlots.end() ? TimeSlot() : it->second;
}

void DtmfDevice::dial(const Dial& d)
{
    if (!recording())
        return;
    mDials.push_back(d);
    mDials.back().ms = Mux::milliseconds();
}

void DtmfDevice::last_closed()
{
    // The id stays, as a disable leaves it. What the descriptors switched
    // on goes with the last of them, the generators' tones too.
    for (auto& s : mSlots)
        s.second.detector = s.second.iva = s.second.rejection = s.second.lms = s.second.tone = false;
}

size_t DtmfDevice::detect(uint32_t ts, uint32_t code, uint32_t timestamp)
{
    TimeSlot t = timeslot(ts);
    if (!((code >> 8) != 0 ? t.iva : t.detector))
        return 0;
    Device::Dtmf::Event e{code, ts, timestamp, t.id};
    return post_raw(&e, sizeof(e));
}

} // namespace SimBoard

namespace SimBoard {

void DtmfDevice::port_commands(TestPort& port)
{
    port.add("dtmf", 3, "<ts> <code> <timestamp>", [this](const TestPort::Args& a) {
        uint32_t ts = 0, code = 0, timestamp = 0;
        if (!TestPort::number(a[0], ts) || !TestPort::number(a[1], code) || !TestPort::number(a[2], timestamp))
            return TestPort::error("bad number");
        return TestPort::ok(std::to_string(detect(ts, code, timestamp)));
    });
    // What is on at the time slot: "ok <detector> <iva> <rejection> <lms> <tone>", each 0 or 1.
    port.add("dtmf-slot", 1, "<ts>", [this](const TestPort::Args& a) {
        uint32_t ts = 0;
        if (!TestPort::number(a[0], ts))
            return TestPort::error("bad number");
        TimeSlot t = timeslot(ts);
        return TestPort::ok(std::to_string(t.detector) + " " + std::to_string(t.iva) + " " +
                            std::to_string(t.rejection) + " " + std::to_string(t.lms) + " " +
                            std::to_string(t.tone));
    });
}

} // namespace SimBoard
