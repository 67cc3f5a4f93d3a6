// What the SS7 link writes about itself: names, headers, statistics.
#include <ostream>

#include "runtime/ext.h"
#include "runtime/mux_time.h"
#include "signalling/ss7_slc.h"

namespace SS7 {

const char* state_name(int id)
{
    static const char* const names[] = {"idle", "not aligned", "aligned", "proving", "aligned ready", "worked"};
    return id >= 0 && id < 6 ? names[id] : "unknown";
}

std::ostream& operator<<(std::ostream& out, const SLC::State& s)
{
    return out << state_name(s.get_state_id());
}

std::ostream& operator<<(std::ostream& out, SLC::Indication i)
{
    switch (i) {
    case SLC::SIO: return out << "SIO";
    case SLC::SIN: return out << "SIN";
    case SLC::SIE: return out << "SIE";
    case SLC::SIOS: return out << "SIOS";
    default: break;
    }
    return out << "unknown:" << ext::OutUnsignedInHex(static_cast<unsigned>(i));
}

std::ostream& operator<<(std::ostream& out, const SLC::DumpPtr& d)
{
    const SLC& l = *d.link;
    return out << " BSN=" << l.mBsnR << " BIB=" << unsigned(l.mBibR) << " FSN=" << l.mFsnR
               << " FIB=" << unsigned(l.mFibR);
}

void SLC::PutShortInfo(std::ostream& out) const
{
    out << "SS7/L2 " << "[" << "dpc=" << dpc << ", slc=" << slc << ", trunk=" << trunk << "]";
}

void SLC::PutHeader(std::ostream& out) const
{
    PutShortInfo(out);
    out << " " << "(" << *mState << ")" << ": ";
}

void SLC::protocol_info(std::ostream& out)
{
    out << "MTP/L2";
}

SLC::Statistics SLC::statistics() const
{
    Statistics s = mStats;
    s.rtbSize = static_cast<uint32_t>(mRtbCount);
    return s;
}

bool SLC::CoutCongestion()
{
    uint32_t now = Mux::milliseconds();
    if (now - mLastCongestion < 1000)
        return true;
    mLastCongestion = now;
    return false;
}

} // namespace SS7
