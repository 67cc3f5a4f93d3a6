// The factory of plain RTP streams: it makes an RtpSlot for a creation of
// kind rtp without a radio part, and reports the RTP codec resources of
// the board's voice device.
#pragma once

#include <iosfwd>
#include <string>

#include "media/codec_resources.h"
#include "server/slots/slot_factory.h"

class RtpFactory : public SlotFactory {
public:
    // Registers and counts the resources once.
    RtpFactory();

    const char* GetName() const override { return "RTP"; }
    Slot* INewSlot(LGCP::CreateParams const& params) override;
    // Counts again and reports.
    void Query(LGCP::Resources& resources) override;
    void IQuery();

    // "rtp[g729,g723,g722,g711,universal]: "
    void PutHeader(std::ostream& out) const;
    const CodecCounts& counts() const { return mCounts; }

private:
    std::string header() const;

    CodecCounts mCounts;
};
