// The factory of plain RTP streams: it makes an RtpSlot for a creation of
// kind rtp without a radio part, and reports the RTP codec resources of
// the board's voice device.
#pragma once

#include <iosfwd>
#include <string>

#include "media/codec_resources.h"
#include "server/slots/slot_factory.h"

// What every factory of RTP streams shares: the codec resources it counts
// and reports, and its header, the name followed by the counts.
class RtpCodecFactory : public SlotFactory {
public:
    // Registers and counts the resources once.
    explicit RtpCodecFactory(const char* prefix);

    // Counts again and reports.
    void Query(LGCP::Resources& resources) override;
    void IQuery();

    // prefix "[g729,g723,g722,g711,universal]: "
    void PutHeader(std::ostream& out) const;
    const CodecCounts& counts() const { return mCounts; }

protected:
    std::string header() const;

private:
    const char* mPrefix;
    CodecCounts mCounts;
};

class RtpFactory : public RtpCodecFactory {
public:
    RtpFactory() : RtpCodecFactory("rtp") {}

    const char* GetName() const override { return "RTP"; }
    Slot* INewSlot(LGCP::CreateParams const& params) override;
};
