#include "signalling/isdn_slot.h"

#include <fcntl.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <memory>
#include <new>
#include <sstream>

#include "board/device.h"
#include "board/dsp_data_requests.h"
#include "board/held.h"
#include "holder/device_holder.h"
#include "board/mcc_requests.h"
#include "runtime/ext.h"
#include "runtime/trace_ctl.h"
#include "server/slots/slot_refusal.h"
#include "signalling/hdlc.h"
#include "signalling/slot_reports.h"

namespace Mcc = Device::Mcc;
namespace DspData = Device::DspData;

namespace {

std::string header_of(const IsdnSlot& slot)
{
    std::ostringstream o;
    slot.PutHeader(o);
    return o.str();
}

} // namespace

// ------------------------------------------------------------- IsdnSlot

IsdnSlot::IsdnSlot(const Fd& fd, ISDN::LAPD* lapd)
    : IsdnSlot(fd, lapd, Device::ioctl(fd.get(), Mcc::MCC_TIMESLOT), "IsdnSlot::OnEvent")
{
}

IsdnSlot::IsdnSlot(const Fd& fd, ISDN::LAPD* lapd, int channel, const char* eventName)
    : Slot(Hold::descriptor), mChannel(channel), mLapd(lapd)
{
    mLapd->notify = this;
    mLapd->hdlc = this;
    mEvent.Bind(eventName, &IsdnSlot::OnEvent, this);
    mEvent.Schedule(fd, POLLIN | POLLOUT);
    // After the reader, so that what waits is read before a hang-up ends it.
    HoldChannel(mChannel, fd, &mEvent);
    add_protocol_tail(mLapd);
}

IsdnSlot::~IsdnSlot()
{
    mLapd->hdlc = nullptr;
    mEvent.Release();
}

void IsdnSlot::PutHeader(std::ostream& out) const
{
    out << "isdn-slot[" << mChannel << "]: ";
}

// A channel that is over would be reported on every pass: the slot stops
// watching it and refuses its commands, and the link, which can no longer
// send, fails through its own timers.
void IsdnSlot::OnEvent(int, short revents)
{
    if (!mEvent.fd)
        return;
    Device::End end = HDLC::read_one(mEvent.fd.get(), revents, mPoolEmpty, this, [this](Packet& frame) {
        if (traces.signallingIsdn)
            std::clog << ext::header(this) << ": rx " << frame.text() << std::endl;
        receive(frame);
    });
    if (end) {
        LoseChannel(end);
        return;
    }
    if ((revents & POLLOUT) && !mReady) {
        mReady = true;
        mEvent.SetEvents(Reading());
        mLapd->on_hdlc_ready();
    }
}

// The link, which can no longer send, fails through its own timers.
void IsdnSlot::IOnChannelLost(const Device::End& end)
{
    std::cerr << ext::header(this) << "channel lost (" << end.why << ")" << std::endl;
    mEvent.Release();
    mReady = false;
    mChannel = -1;
}

short IsdnSlot::Reading() const
{
    return IsReleasing() ? 0 : POLLIN;
}

HandedChannel* IsdnSlot::IOrderlyEnd()
{
    if (!mEvent.fd)
        return nullptr;
    mEvent.SetEvents(mReady ? 0 : POLLOUT);
    return &OwnChannel();
}

bool IsdnSlot::hdlc_transmit(Packet& frame)
{
    if (frame.null() || frame.length() == 0)
        return true;
    if (!mEvent.fd)
        return false;
    const Packet& out = frame;
    ssize_t n = OwnChannel().Write(out.get()->data, static_cast<size_t>(out.length()));
    int err = errno;
    if (n == out.length()) {
        if (traces.signallingIsdn)
            std::clog << ext::header(this) << ": tx " << frame.text() << std::endl;
        return true;
    }
    if (n >= 0) {
        // The frame left cut short: the peer drops it, and so the link
        // must take it as not sent.
        std::cerr << ext::header(this) << "short write: " << n << " of " << out.length() << " octets" << std::endl;
        return false;
    }
    if (err == EAGAIN || err == EWOULDBLOCK) {
        mReady = false;
        mEvent.SetEvents(static_cast<short>(Reading() | POLLOUT));
    }
    return false;
}

bool IsdnSlot::IUserData(std::vector<char> const& octets)
{
    if (!Signalling::queue_room(1, header_of(*this)))
        return false;
    Packet p = Signalling::octets_packet(octets, this, 0, header_of(*this));
    if (p.null())
        return false;
    // A message the link's full queue refused was not carried out.
    bool full = mLapd->queue_full();
    if (!message(p) && full) {
        RefuseCommand(LGCP::ErrorCause::insufficientResources);
        return false;
    }
    return true;
}

void IsdnSlot::on_message(Packet& p)
{
    OnUserData(Signalling::octets_of(p));
}

bool IsdnSlot::IActivate(TERM::TermActivateParams const&)
{
    activate();
    return true;
}

bool IsdnSlot::IDeactivate()
{
    deactivate();
    return true;
}

void IsdnSlot::SendLinkInfo()
{
    LGCP::IoctlResponse r;
    if (mLapd->GetInfo(r.get_isdnLinkInfo()))
        OnIoctlResponse(r);
}

void IsdnSlot::on_activated(Protocol*)
{
    SendLinkInfo();
    OnActivated();
}

void IsdnSlot::on_deactivated(Protocol*, Protocol_status)
{
    SendLinkInfo();
    OnDeactivated();
}

// ---------------------------------------------------------- AtsQsigSlot

AtsQsigSlot::AtsQsigSlot(const Fd& fd, ISDN::LAPD* lapd)
    : IsdnSlot(fd, lapd, Device::ioctl(fd.get(), DspData::DSP_DATA_TIMESLOT), "AtsQsigSlot::OnEvent"),
      mRequests([this](std::ostream& out) { PutHeader(out); }, Device::Holder::Setup(nullptr, 0, ""))
{
    lapd->trunk = IGetTransmitChannel();
    mRequests.attach(*this);
    mRequests.adopt(fd);
}

AtsQsigSlot::~AtsQsigSlot()
{
    mRequests.detach(*this);
    for (AtsQsigBSlot* b : mBChannels)
        b->Orphan();
}

namespace {
// What a B channel hears when its data channel goes with its slot.
const Device::End kDataChannelGone{"data channel released", ENODEV};
} // namespace

// Closing the descriptor frees the data channel and its B channels.
bool AtsQsigSlot::IBeforeDestroy()
{
    LoseBChannels(kDataChannelGone);
    ForgetOwed();
    mEvent.Release();
    return true;
}

void AtsQsigSlot::IOnChannelLost(const Device::End& end)
{
    LoseBChannels(end);
    ForgetOwed();
    IsdnSlot::IOnChannelLost(end);
}

void AtsQsigSlot::ForgetOwed()
{
    mOwed.clear();
    mRequests.close();
}

// The line is written when the removal is given up, and for the first
// refusal of one that stays owed.
Device::Outcome AtsQsigSlot::Remove(const BChannel& b, bool first)
{
    DspData::BChannel r{b.subslot, b.channel};
    if (mRequests.ioctl(DspData::DSP_DATA_REMOVE_B, &r) == 0)
        return Device::Outcome::made;
    int error = errno;
    Device::Outcome outcome = Device::refused_end(mRequests.refusal());
    if (first || outcome == Device::Outcome::invalid)
        std::cerr << ext::header(this) << "remove B channel " << b.subslot << " fail: " << std::strerror(error)
                  << (outcome == Device::Outcome::invalid ? ", given up" : ", owed") << std::endl;
    return outcome;
}

void AtsQsigSlot::RemoveBChannel(unsigned subslot, int channel)
{
    if (fd() < 0 || mRequests.device() < 0)
        return;
    BChannel b{subslot, channel};
    if (Remove(b, true) != Device::Outcome::owed)
        return;
    mOwed.push_back(b);
    mRequests.changed();
}

bool AtsQsigSlot::untold(uint64_t present)
{
    return present != 0 && !mOwed.empty();
}

void AtsQsigSlot::reconcile(Device::Tally&)
{
    for (auto it = mOwed.begin(); it != mOwed.end() && mRequests.fd() >= 0;)
        it = Remove(*it, false) == Device::Outcome::owed ? it + 1 : mOwed.erase(it);
}

void AtsQsigSlot::LoseBChannels(const Device::End& end)
{
    // A B channel's loss leaves the list alone; its destroy only forgets.
    std::vector<AtsQsigBSlot*> channels = mBChannels;
    for (AtsQsigBSlot* b : channels)
        b->LoseChannel(end);
}

AtsQsigBSlot* AtsQsigSlot::NewBChannel(unsigned subslot)
{
    // A subslot whose removal is owed is free once the driver takes it.
    mRequests.device();
    DspData::BChannel r{subslot, -1};
    if (!mEvent.fd || Device::ioctl(mEvent.fd.get(), DspData::DSP_DATA_ADD_B, &r) != 0) {
        std::cerr << "ats-qsig: " << "add B channel fail !!!" << std::endl;
        return nullptr;
    }
    mBChannels.push_back(new AtsQsigBSlot(this, subslot, r.channel));
    return mBChannels.back();
}

void AtsQsigSlot::Forget(AtsQsigBSlot* b)
{
    mBChannels.erase(std::remove(mBChannels.begin(), mBChannels.end(), b), mBChannels.end());
}

// --------------------------------------------------------- AtsQsigBSlot

AtsQsigBSlot::AtsQsigBSlot(AtsQsigSlot* signalling, unsigned subslot, int channel)
    : Slot(Hold::owner), mSignalling(signalling), mSubslot(subslot), mChannel(channel)
{
    HoldChannel(mChannel, Fd());
}

void AtsQsigBSlot::Orphan()
{
    mSignalling = nullptr;
    LoseChannel(kDataChannelGone);
}

AtsQsigBSlot::~AtsQsigBSlot()
{
    if (mSignalling)
        mSignalling->Forget(this);
}

void AtsQsigBSlot::IOnChannelLost(const Device::End&)
{
    mChannel = -1;
}

void AtsQsigBSlot::PutHeader(std::ostream& out) const
{
    out << "ats-qsig-b: ";
}

bool AtsQsigBSlot::IBeforeDestroy()
{
    if (!mSignalling) {
        std::clog << ext::header(this) << "Can't find signalling slot" << std::endl;
        return true;
    }
    mSignalling->RemoveBChannel(mSubslot, mChannel);
    mSignalling->Forget(this);
    mSignalling = nullptr;
    return true;
}

// ---------------------------------------------------------- IsdnFactory

namespace {
IsdnFactory* gIsdnFactory = nullptr;
} // namespace

IsdnFactory::IsdnFactory() : mPrevious(gIsdnFactory)
{
    gIsdnFactory = this;
}

IsdnFactory::~IsdnFactory()
{
    if (gIsdnFactory == this)
        gIsdnFactory = mPrevious;
}

IsdnFactory* IsdnFactory::instance()
{
    return gIsdnFactory;
}

void IsdnFactory::PutHeader(std::ostream& out) const
{
    out << "mcc/isdn: ";
}

Slot* IsdnFactory::FindSlot(unsigned id) const
{
    for (Slot* s : slots())
        if (s->id == id)
            return s;
    return nullptr;
}

Slot* IsdnFactory::INewSlot(LGCP::CreateParams const& params)
{
    if (params.is_isdn())
        return NewIsdnSlot(params.get_isdn());
    if (params.is_ats_qsig())
        return NewAtsQsigSlot(params.get_ats_qsig());
    if (params.is_ats_qsig_b())
        return NewAtsQsigBSlot(params.get_ats_qsig_b());
    return nullptr;
}

namespace {

// A slot that could not take its copy of the descriptor would never hear
// its channel.
template <class S>
Slot* watched(std::unique_ptr<S> slot, const IsdnFactory* factory)
{
    // Without its time slot the channel could never be connected; the
    // allocation goes with the descriptors.
    if (slot->IGetTransmitChannel() < 0) {
        std::cerr << ext::header(factory) << "no time slot for the channel" << std::endl;
        return nullptr;
    }
    if (slot->watching())
        return slot.release();
    int err = errno;
    std::cerr << ext::header(factory) << "fail to watch the channel: " << std::strerror(err) << std::endl;
    return nullptr;
}

ISDN::LAPD* new_link(LGCP::IsdnSide const& side, int log)
{
    auto* lapd = new ISDN::LAPD(ISDN::Side::user, 0);
    lapd->log = static_cast<unsigned>(log);
    lapd->side = side.is_network() ? ISDN::Side::network : ISDN::Side::user;
    return lapd;
}

} // namespace

Slot* IsdnFactory::NewIsdnSlot(LGCP::IsdnParams const& params)
{
    Fd fd(Device::open(Mcc::kDevice, O_RDWR | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        int err = errno;
        std::cerr << ext::header(this) << "fail to open MCC device: " << std::strerror(err) << std::endl;
        return nullptr;
    }
    bool bri = params.get_type().getValue() == LGCP::IsdnType::bri;
    std::unique_ptr<ISDN::LAPD> lapd(new_link(params.get_side(), params.get_log().getValue()));
    if (bri)
        lapd->change_to_bri();
    lapd->trunk = params.get_trunk().getValue();
    Mcc::Allocation record{bri ? Mcc::kBri : Mcc::kData, 512, 0, 1, 1};
    if (Device::ioctl(fd.get(), Mcc::MCC_ALLOCATE, &record) != 0) {
        int err = errno;
        std::cerr << ext::header(this) << "MCC_ALLOCATE fail: " << std::strerror(err) << std::endl;
        return nullptr;
    }
    return watched(std::unique_ptr<IsdnSlot>(new IsdnSlot(fd, lapd.release())), this);
}

Slot* IsdnFactory::NewAtsQsigSlot(LGCP::AtsQsigParams const& params)
{
    Fd fd(Device::open(DspData::kDevice, O_RDWR | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        int err = errno;
        std::cerr << ext::header(this) << "fail to open dsp-data device: " << std::strerror(err) << std::endl;
        return nullptr;
    }
    ISDN::LAPD* lapd = new_link(params.get_side(), params.get_log().getValue());
    return watched(std::unique_ptr<AtsQsigSlot>(new AtsQsigSlot(fd, lapd)), this);
}

Slot* IsdnFactory::NewAtsQsigBSlot(LGCP::AtsQsigBParams const& params)
{
    auto* signalling = dynamic_cast<AtsQsigSlot*>(FindSlot(static_cast<unsigned>(params.get_slot().getValue())));
    unsigned subslot = static_cast<unsigned>(params.get_subslot().getValue());
    if (!signalling || subslot == 0)
        return nullptr;
    return signalling->NewBChannel(subslot - 1);
}
