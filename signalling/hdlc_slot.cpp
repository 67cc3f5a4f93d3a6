#include "signalling/hdlc_slot.h"

#include <algorithm>
#include <iostream>
#include <sstream>

#include "runtime/ext.h"
#include "runtime/trace_ctl.h"
#include "server/slots/slot_refusal.h"
#include "server/switch/hw_mux.h"
#include "signalling/slot_reports.h"

namespace {

// What the signal of a batch takes besides its packages: the message up
// to the list, and the list's length, two octets from 128 packages on
// (X.691 10.9.3.7). Each package, whole octets, adds its own encoding.
size_t batch_envelope()
{
    static const size_t size = [] {
        LGCP::Message m;
        m.set_slot(0);
        m.get_pdu().get_signal().get_ioctl().get_hdlcPackages();
        return Signalling::encoded_size(m) + 1;
    }();
    return size;
}

// A package is its body behind the length (X.691 10.9.3.6, 10.9.3.7): one
// octet below 128, two below 16384; longer ones would need fragments, which
// the coder does not write. 0 for those.
size_t package_size(size_t body)
{
    if (body >= 16384)
        return 0;
    return body + (body < 128 ? 1 : 2);
}

} // namespace

HdlcSlot::HdlcSlot(LGCP::HdlcParams const& params)
    : HdlcLinkSlot(static_cast<unsigned>(params.get_trunk().getValue())),
      // The trunk is a label here: any value is taken, and its index
      // wraps as an unsigned number does.
      mTrunkIndex(static_cast<uint32_t>(params.get_trunk().getValue()) - 1u),
      mAddress(static_cast<uint16_t>(params.get_address().getValue()))
{
    if (traces.signallingHdlc)
        std::clog << ext::header(this) << "trunk=" << mTrunkIndex << ", address=" << mAddress << std::endl;
    mUpdate.set(kUpdateMs, &HdlcSlot::OnUpdateTimer, this);
    mBatch.get_hdlcPackages();
}

HdlcSlot::~HdlcSlot()
{
    mChannel.reset();
}

void HdlcSlot::PutHeader(std::ostream& out) const
{
    out << "HdlcSlot[" << mTrunkIndex << "/*]" << ": ";
}

// ------------------------------------------------------------ connections

// A connection with no channel, or whose channel does not open, is
// refused; the connections held before keep the channel, on their line as
// a wish where the switch refused the new one, unless the link was down:
// it stays down. A channel open on the line already stays as it is (a
// connection repeated). A connection given back after a refused move
// brings no link up that the controller heard go down, and moves no link
// off a line that another of its joins still gives it.
bool HdlcSlot::join(int tdm, const char* hook)
{
    trace(hook);
    if (tdm == -1)
        return false;
    mChannel->parameters.type = 1;
    if (mChannel->is_open() && mChannel->parameters.tdm == tdm)
        return true;
    const bool wasDown = down();
    // Refused, the link goes back to the line it ran on while a join
    // still gives it that line, else to one of its joins.
    const int was = mChannel->parameters.tdm;
    const bool stays = was != -1 && joined_line(was);
    if (!Commanded() && (wasDown || stays)) {
        if (!stays)
            mChannel->parameters.tdm = tdm;
        return true;
    }
    if (Commanded())
        mChannel->latest();
    const int held = stays ? was : held_line(nullptr, nullptr);
    if (settle(tdm, held != -1))
        return true;
    if (wasDown) {
        mChannel->parameters.tdm = held;
        return false;
    }
    HwMux::Holding wishes;
    settle(held);
    return false;
}

bool HdlcSlot::IHwConnectReceiver(Slot& source)
{
    return join(source.IGetTransmitChannel(), "IHwConnectReceiver");
}

bool HdlcSlot::IHwConnectTransmitter(Slot& receiver)
{
    return join(receiver.IGetReceiveChannel(), "IHwConnectTransmitter");
}

void HdlcSlot::trace(const char* what) const
{
    if (traces.signallingHdlc)
        std::clog << ext::header(this) << what << std::endl;
}

bool HdlcSlot::IHwDisconnectReceiver(Slot& source)
{
    trace("IHwDisconnectReceiver");
    const int line = source.IGetTransmitChannel();
    Slot::IHwDisconnectReceiver(source);
    follow(held_line(&source, nullptr), source.IsLost() ? line : -1);
    return true;
}

bool HdlcSlot::IHwDisconnectTransmitter(Slot& receiver)
{
    trace("IHwDisconnectTransmitter");
    const int line = receiver.IGetReceiveChannel();
    MuxLetGo(receiver);
    follow(held_line(nullptr, &receiver), receiver.IsLost() ? line : -1);
    return true;
}

// Either connection alone serves both directions: the channel goes with
// the last one, and moves to the line of a connection that stays. A link
// whose own line stays (it runs on, or waits to open on, the line of a
// connection that stays) goes on as it is: only another join went. A
// link that is down, the controller told, waits on that line for its
// command; so does one whose line went with its slot's channel (lost, the
// going slot's line): the controller is told once, as at the channel's own
// end, which tells it instead when letting go reads that end too.
void HdlcSlot::follow(int tdm, int lost)
{
    const bool lineLost = lost != -1 && mChannel->is_open() && lost == mChannel->parameters.tdm;
    if (!lineLost && !down() && tdm != -1 && tdm == mChannel->parameters.tdm &&
        (mChannel->is_open() || mChannel->reopening())) {
        mChannel->lose_line(lost);
        return;
    }
    mChannel->deactivate(lost == -1);
    mChannel->lose_line(lost);
    if (lineLost)
        ReportDown();
    if (down() || mChannel->ended())
        mChannel->parameters.tdm = tdm;
    else
        settle(tdm);
}

// The line of a connection that this slot makes (as llConnect chooses),
// other than the source or the receiver that goes, and than a slot whose
// channel is lost; -1 when none.
int HdlcSlot::held_line(const Slot* goingSource, const Slot* goingReceiver)
{
    Slot* source = GetSource();
    if (source && source != goingSource && !source->IsLost() &&
        source->GetConnectionPriority() <= GetConnectionPriority())
        return source->IGetTransmitChannel();
    for (Slot* receiver : GetReceivers())
        if (receiver != goingReceiver && !receiver->IsLost() &&
            receiver->GetConnectionPriority() < GetConnectionPriority())
            return receiver->IGetReceiveChannel();
    return -1;
}

bool HdlcSlot::joined_line(int tdm)
{
    Slot* source = GetSource();
    if (source && !source->IsLost() && source->GetConnectionPriority() <= GetConnectionPriority() &&
        source->IGetTransmitChannel() == tdm)
        return true;
    return std::any_of(GetReceivers().begin(), GetReceivers().end(), [&](Slot* r) {
        return !r->IsLost() && r->GetConnectionPriority() < GetConnectionPriority() && r->IGetReceiveChannel() == tdm;
    });
}

// The channel on that line, or on none (-1, left closed).
bool HdlcSlot::settle(int tdm, bool quiet)
{
    mChannel->parameters.tdm = tdm;
    return tdm == -1 || iactivate(quiet);
}

bool HdlcSlot::iactivate(bool quiet)
{
    if (traces.signallingHdlc)
        std::clog << ext::header(this) << "Try to activate HDCL, params.tdm = " << mChannel->parameters.tdm
                  << std::endl;
    if (!OpenChannel(quiet))
        return false;
    trace("HDLC activated successfully");
    return true;
}

bool HdlcSlot::IActivate(TERM::TermActivateParams const&)
{
    trace("IActivate");
    return ActivateOnLine([this] { return iactivate(); });
}

bool HdlcSlot::IDeactivate()
{
    OnUpdateTimer();
    return true;
}

// -------------------------------------------------------------- sending

bool HdlcSlot::Ioctl(LGCP::IoctlParams const& params)
{
    if (!params.is_hdlcPackages())
        return false;
    std::ostringstream who;
    PutHeader(who);
    const auto& packages = params.get_hdlcPackages();
    // All or nothing: a command refused leaves the queue and the counters
    // as they were, so the controller may send it again as it stands.
    if (packages.size() > kQueue - mQueue.count()) {
        std::cerr << who.str() << packages.size() << " packages, room for " << kQueue - mQueue.count()
                  << ", refused" << std::endl;
        RefuseCommand(LGCP::ErrorCause::insufficientResources);
        return false;
    }
    if (!Signalling::queue_room(static_cast<unsigned>(packages.size()), who.str()))
        return false;
    std::vector<Packet> frames;
    uint8_t own = mOwn;
    for (const LGCP::HdlcPackage& package : packages) {
        const ASN1::OCTET_STRING& body = package.get_body();
        Packet p = Signalling::octets_packet(std::vector<char>(body.begin(), body.end()), nullptr, 3, who.str());
        if (p.null())
            return false;
        p.push(static_cast<uint8_t>(((own * 32) & 0xE0) | mPeer));
        p.push16_b(mAddress);
        ++own;
        frames.push_back(p);
    }
    for (Packet& p : frames) {
        if (traces.signallingHdlc)
            std::clog << ext::header(this) << "enqueue package: " << std::endl
                      << ext::header(this) << p.text() << std::endl;
        mQueue.put(p);
        mQueuedOctets += static_cast<size_t>(p.length());
    }
    mOwn = own;
    if (!mQueue.empty() && mChannel->is_ready())
        on_hdlc_ready();
    return true;
}

// A draining channel takes what was queued before its drain; the rest
// waits for the next channel, as does what a refused write left.
void HdlcSlot::on_hdlc_ready()
{
    Packet p;
    while (mChannel->writable() && mQueue.preview(&p)) {
        if (!mChannel->hdlc_transmit(p))
            return;
        mQueue.get(&p);
        mQueuedOctets -= static_cast<size_t>(p.length());
        if (traces.signallingHdlc)
            std::clog << ext::header(this) << "on_hdlc_ready" << std::endl
                      << ext::header(this) << p.text() << std::endl;
    }
}

// ------------------------------------------------------------ receiving

// A frame too short to carry the batching bit ends the batch; one without
// its control octet is collected for nobody.
void HdlcSlot::on_hdlc_receive(Packet& frame)
{
    if (traces.signallingHdlc)
        std::clog << ext::header(this) << "on_hdlc_receive" << std::endl
                  << ext::header(this) << frame.text() << std::endl;
    const int length = frame.length();
    bool more = length >= 5 && (static_cast<const Packet&>(frame)[4] & 0x80) != 0;
    if (length >= 3) {
        uint16_t address = frame.pull16_b();
        uint8_t control = frame.pull();
        if (address == mAddress) {
            mPeer = static_cast<uint8_t>(control >> 5);
            collect(frame);
        }
    }
    if (more) {
        if (!mFlush.pending())
            mFlush.set(kFlushMs, &HdlcSlot::flushResponce, this);
        return;
    }
    mFlush.reset();
    send_batch();
}

void HdlcSlot::collect(const Packet& body)
{
    // Measured, not encoded: every frame would be encoded twice.
    size_t size = package_size(static_cast<size_t>(body.length()));
    if (size == 0 || batch_envelope() + size > Signalling::kMaxSignal) {
        std::cerr << ext::header(this) << "received package of " << body.length()
                  << " octets fits no signal, dropped" << std::endl;
        return;
    }
    auto& list = mBatch.get_hdlcPackages();
    if (list.size() > 0 && batch_envelope() + mBatchOctets + size > Signalling::kMaxSignal)
        send_batch();
    LGCP::HdlcPackage package;
    package.set_body(Signalling::octets_of(body));
    list.push_back(package);
    mBatchOctets += size;
    if (list.size() >= kBatch)
        send_batch();
}

void HdlcSlot::flushResponce()
{
    send_batch();
}

void HdlcSlot::send_batch()
{
    if (traces.signallingHdlc)
        std::clog << ext::header(this) << "flushResponce: " << mBatch.get_hdlcPackages().size() << std::endl;
    if (mBatch.get_hdlcPackages().size() > 0)
        OnIoctlResponse(mBatch);
    mBatch.get_hdlcPackages().clear();
    mBatchOctets = 0;
}

// The controller hears that the channel is closed: an activation opens a
// fresh one, and what waits in the queue leaves on it.
void HdlcSlot::on_hdlc_error(Cause::Type)
{
    std::clog << ext::header(this) << "on_hdlc_error" << std::endl;
    ReportDown();
}

void HdlcSlot::OnUpdateTimer()
{
    mUpdate.set(kUpdateMs, &HdlcSlot::OnUpdateTimer, this);
    OnIoctlResponse(Signalling::hdlc_link_info(mChannel->statistics));
}

// --------------------------------------------------------------- factory

Slot* HdlcSlotFactory::INewSlot(LGCP::CreateParams const& params)
{
    if (traces.signallingHdlc)
        std::clog << "\n\nHdlcSlotFactory.INewSlot\n\n\n";
    return params.is_hdlcParams() ? new HdlcSlot(params.get_hdlcParams()) : nullptr;
}

void HdlcSlotFactory::SelfSignal(LGCP::Signal const& sig)
{
    Signalling::pass_e1_status(*this, sig);
}
