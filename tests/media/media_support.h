// A slot kind that owns a DSP time slot, on the slot table of a recording
// controller, the simulated board and fresh tone and DSP services: what
// the media tests and the benchmark drive.
#pragma once

#include "media/dsproc_receiver.h"
#include "media/tonec_receiver.h"
#include "simboard/dsp.h"
#include "simboard/dtmf.h"
#include "tests/runtime/loop_support.h"
#include "tests/server/slots/slot_support.h"

namespace vbtest {

// Hands every event to the slot's converters and the clean-up to both
// receivers, as the RTP and mixer slots do.
class MediaSlot : public Slot, public Hardware::TonecReceiver, public Hardware::DSProcReceiver {
public:
    explicit MediaSlot(uint32_t timeslot) : Slot(Hold::fixed), timeslot(timeslot) {}

    const char* GetName() const override { return "media"; }
    bool IBeforeDestroy() override
    {
        TonecReceiver::CleanBeforeDestroy();
        DSProcReceiver::CleanBeforeDestroy();
        return true;
    }

    void tonec_event(Params const& p) override { processTonecEvent(p); }
    uint32_t tonec_timeslot() const override { return timeslot; }
    void tone_gen_complete() override { processToneGenEvent(); }
    void dsproc_vad_event(Hardware::DSProcVADEvent const& e) override { processVADEvent(e); }
    void dsproc_bss_event(struct dsproc_bss_event const* e) override { processBSSEvent(e); }
    void dsproc_sd_event(Hardware::DSProcSDEvent const& e) override { processSDEvent(e); }
    void dsproc_tone_flt_event(dsproc_tone_event const* e) override { processToneFltEvent(e); }
    void dsproc_flags_event(struct dsproc_flags_event const* e) override { processFlagsEvent(e); }
    uint32_t dsproc_timeslot() const override { return timeslot; }

    uint32_t timeslot;
};

// Makes a MediaSlot on the time slot that an `ext` creation names as its
// transmitter.
struct MediaFactory : SlotFactory {
    const char* GetName() const override { return "media"; }
    Slot* INewSlot(LGCP::CreateParams const& p) override
    {
        return p.is_ext() ? new MediaSlot(static_cast<uint32_t>(p.get_ext().get_transmitter().getValue())) : nullptr;
    }
    void Query(LGCP::Resources&) override {}
};

struct MediaWorld : SlotWorld {
    Hardware::TonecReceiverService::Scoped tonecScope;
    Hardware::DSProcReceiverService::Scoped dsprocScope;
    MediaFactory media;

    // The slots go while this test's tone and DSP services are still there:
    // left to the table, they would switch their receivers off on the
    // process's own services and leave them watching a board that is gone.
    ~MediaWorld() { slots().OnDisconnect(); }

    Hardware::TonecReceiverService& tonec() { return tonecScope.service(); }
    Hardware::DSProcReceiverService& dsproc() { return dsprocScope.service(); }
    SimBoard::DtmfDevice& dtmf() { return *sim.board.find<SimBoard::DtmfDevice>(Device::Dtmf::kDevice); }
    SimBoard::DspDevice& dsp() { return *sim.board.find<SimBoard::DspDevice>(Device::Dsp::kDevice); }

    // Slot n on DSP time slot ts; what the controller received is dropped.
    MediaSlot& make(int n, uint32_t ts)
    {
        command(create_ext(int(ts), 0), n);
        return *static_cast<MediaSlot*>(slots().at(unsigned(n)));
    }
    Texts destroy(int n) { return command(simple(LGCP::Command::e_destroy), n); }
    // One loop pass: each service reads what waits on its descriptor, or
    // its end, as the loop hands it over. The loop's own stop line is no
    // line of theirs.
    void wake()
    {
        one_pass();
        std::string all = log.str();
        const std::string stop = "Mux: terminating...\n";
        size_t at = all.rfind(stop);
        if (at == std::string::npos)
            return;
        log.clear();
        std::clog << all.erase(at, stop.size()) << std::flush;
    }
    // Virtual time passes and the timers due fire.
    void advance(unsigned ms)
    {
        clock.advance_ms(ms);
        multiplexer.timers_schedule();
    }
    // What the device is asked (its opens too) over one more retry period:
    // nothing, once nothing is owed or held for it any more.
    size_t asked_next_period(const std::string& device)
    {
        sim.board.clear_log();
        advance(Hardware::DeviceService::kRetryMs);
        size_t n = 0;
        for (const auto& r : sim.board.log())
            n += r.device == device;
        return n;
    }
};

} // namespace vbtest
