#include "signalling/pstn_slot.h"

#include <iostream>
#include <sstream>

#include "server/slots/slot_refusal.h"
#include "signalling/slot_reports.h"

namespace {

std::string prefix(const Slot& slot)
{
    std::ostringstream o;
    o << slot << " ";
    return o.str();
}

} // namespace

PstnSlot::PstnSlot(LGCP::PstnParams const& params)
{
    if (params.is_ss7()) {
        const LGCP::SS7Params& p = params.get_ss7();
        mLink = new SS7::SLC;
        mLink->hdlc = mChannel.get();
        mLink->trunk = static_cast<uint32_t>(p.get_trunk().getValue());
        mLink->slc = static_cast<uint32_t>(p.get_slc().getValue());
        mLink->dpc = static_cast<uint32_t>(p.get_dpc().getValue());
        mLink->opc = static_cast<uint32_t>(p.get_opc().getValue());
        mLink->emergency = p.get_emergency().getValue();
        add_protocol_tail(mLink);
        mRelay = mLink;
        mChannel->number = static_cast<unsigned>(p.get_trunk().getValue());
        mTrunkIndex = p.get_trunk().getValue() - 1;
    } else if (params.is_isdn()) {
        const LGCP::IsdnParams& p = params.get_isdn();
        bool bri = p.get_type().getValue() == LGCP::IsdnType::bri;
        if (bri && p.get_side().is_network()) {
            mLapdNt = new ISDN::LAPD_NT;
            mLapdNt->set_log(static_cast<unsigned>(p.get_log().getValue()));
            add_protocol_tail(mLapdNt);
            mKind = kBriNetwork;
        } else {
            mLapd = new ISDN::LAPD(ISDN::Side::user, 0);
            mLapd->hdlc = mChannel.get();
            mLapd->side = p.get_side().is_network() ? ISDN::Side::network : ISDN::Side::user;
            mLapd->trunk = p.get_trunk().getValue();
            mLapd->log = static_cast<unsigned>(p.get_log().getValue());
            mLapd->notify = this;
            mChannel->number = static_cast<unsigned>(p.get_trunk().getValue());
            mTrunkIndex = p.get_trunk().getValue() - 1;
            mRelay = mLapd;
            if (bri)
                mLapd->change_to_bri();
            mKind = bri ? kBriUser : kPri;
            add_protocol_tail(mLapd);
        }
    }
    mUpdate.set(kUpdateMs, &PstnSlot::OnUpdateTimer, this);
}

// The channel goes first; the layers, which the stack deletes after this
// body, must not reach it meanwhile.
PstnSlot::~PstnSlot()
{
    mUpdate.reset();
    if (mLink)
        mLink->hdlc = nullptr;
    if (mLapd)
        mLapd->hdlc = nullptr;
    mRelay = nullptr;
    mChannel.reset();
}

void PstnSlot::OnTrunkStatus(unsigned trunk, ACP::TrunkState::NamedNumber const& state)
{
    if (!mLink || static_cast<int>(trunk) != mTrunkIndex || state == mLastTrunkState)
        return;
    mLink->OnTrunkHardStatus(state == ACP::TrunkState::normal);
    mLastTrunkState = state;
}

// ------------------------------------------------------------ connections

// A link up on the line already stays as it is (a connection repeated).
bool PstnSlot::IHwConnectReceiver(Slot& source)
{
    HDLC::Parameters& p = mChannel->parameters;
    if (mChannel->is_open() && p.tdm == source.IGetTransmitChannel())
        return true;
    if (mKind == kSs7OrCas || mKind == kPri) {
        int trunk = source.GetTrunk();
        if (trunk > 3) {
            std::cerr << "pstn-slot: invalid trunk number: " << trunk << std::endl;
            return false;
        }
        int timeslot = source.GetTrunkTimeSlot();
        if (timeslot > 31) {
            std::cerr << "pstn-slot: invalid timeslot: " << timeslot << std::endl;
            return false;
        }
        p.trunk = trunk;
        p.trunk_timeslot = timeslot;
    }
    p.tdm = source.IGetTransmitChannel();
    p.type = mKind == kSs7OrCas ? 0 : mKind == kPri ? 1 : 2;
    if (Commanded())
        mChannel->latest();
    if ((mKind == kSs7OrCas || mKind == kPri || p.transmit != -1) && !iactivate(GetSource() != nullptr)) {
        p.tdm = -1;
        return false;
    }
    return true;
}

// An E1 channel serves both directions from the receiver's connection; a
// BRI D channel sends into a channel of its own. A connection whose
// channel does not open is refused, and its line forgotten.
bool PstnSlot::IHwConnectTransmitter(Slot& receiver)
{
    if (mKind != kBriUser && mKind != kBriNetwork)
        return true;
    HDLC::Parameters& p = mChannel->parameters;
    if (mChannel->is_open() && p.transmit == receiver.IGetReceiveChannel())
        return true;
    p.transmit = receiver.IGetReceiveChannel();
    if (Commanded())
        mChannel->latest();
    if (p.tdm != -1 && !iactivate()) {
        p.transmit = -1;
        return false;
    }
    return true;
}

// A direction that goes takes the link down and closes the channel, which
// undoes its switch connections: the line's time slot may be given to
// another user at once. The direction's channel is forgotten too: neither
// joining the other direction again nor an activation may bring the link
// up towards a line no longer joined.
bool PstnSlot::IHwDisconnectReceiver(Slot& source)
{
    leave(!source.IsLost());
    if (source.IsLost())
        mChannel->lose_line(source.IGetTransmitChannel());
    mChannel->parameters.tdm = -1;
    Slot::IHwDisconnectReceiver(source);
    return true;
}

bool PstnSlot::IHwDisconnectTransmitter(Slot& receiver)
{
    if (mKind == kBriUser || mKind == kBriNetwork) {
        leave(!receiver.IsLost());
        if (receiver.IsLost())
            mChannel->lose_line(receiver.IGetReceiveChannel());
        mChannel->parameters.transmit = -1;
    }
    MuxLetGo(receiver);
    return true;
}

// The link's farewell (an SS7 link's SIOS) still leaves on the line it
// was on, unless that line went with a lost channel.
void PstnSlot::leave(bool orderly)
{
    deactivate();
    mChannel->deactivate(orderly);
}

bool PstnSlot::iactivate(bool quiet)
{
    if (!OpenChannel(quiet))
        return false;
    activate();
    return true;
}

bool PstnSlot::IActivate(TERM::TermActivateParams const&)
{
    return ActivateOnLine([this] { return iactivate(); });
}

bool PstnSlot::IDeactivate()
{
    deactivate();
    return true;
}

// ------------------------------------------------------------- channel

void PstnSlot::on_hdlc_receive(Packet& frame)
{
    if (mRelay)
        mRelay->on_hdlc_receive(frame);
    else if (mLapdNt)
        mLapdNt->receive(frame);
}

// The BRI network side hears nothing of the channel itself: its layer is
// taken down, so that the controller hears of the end.
void PstnSlot::on_hdlc_error(Cause::Type cause)
{
    if (mRelay)
        mRelay->on_hdlc_error(cause);
    else if (mLapdNt)
        deactivate();
}

void PstnSlot::on_hdlc_ready()
{
    if (mRelay)
        mRelay->on_hdlc_ready();
}

bool PstnSlot::transmit(Packet& frame)
{
    return mKind == kBriNetwork && mChannel && mChannel->hdlc_transmit(frame);
}

// --------------------------------------------------------------- layer 3

bool PstnSlot::IUserData(std::vector<char> const& octets)
{
    if (!top())
        return true;
    if (!Signalling::queue_room(1, prefix(*this)))
        return false;
    Packet p = Signalling::octets_packet(octets, this, 0, prefix(*this));
    if (p.null())
        return false;
    // A message the link refuses is the link's to report (its own line,
    // counter and flow status). The command is refused when the link's
    // queue had no room for it, and on the BRI network side when no
    // terminal's link carries it (a call reference no terminal used, or a
    // terminal gone); otherwise (a link out of service, a message too
    // short for one) it was carried out.
    bool full = queue_full();
    if (message(p))
        return true;
    if (mKind == kBriNetwork) {
        std::cerr << prefix(*this) << "no terminal holds the call of the message, refused" << std::endl;
        RefuseCommand(LGCP::ErrorCause::invalidParams);
        return false;
    }
    if (full) {
        RefuseCommand(LGCP::ErrorCause::insufficientResources);
        return false;
    }
    return true;
}

bool PstnSlot::queue_full() const
{
    if (mLapd)
        return mLapd->queue_full();
    return mLink && mLink->tb_full();
}

void PstnSlot::on_message(Packet& p)
{
    OnUserData(Signalling::octets_of(p));
}

void PstnSlot::on_activated(Protocol*)
{
    send_isdn_info();
    send_ss7_info();
    OnActivated();
}

void PstnSlot::on_deactivated(Protocol*, Protocol_status)
{
    send_isdn_info();
    send_ss7_info();
    OnUpdateTimer();
    OnDeactivated();
}

void PstnSlot::OnLAPD_FlowStatusChange(ISDN::LAPD* link)
{
    LGCP::IoctlResponse r;
    r.set_isdnLinkStatus(link->flowStatus == ISDN::LAPD::FlowStatus::congested ? LGCP::IsdnLinkStatus::congested
                                                                              : LGCP::IsdnLinkStatus::normal);
    OnIoctlResponse(r);
}

// ------------------------------------------------------ link information

void PstnSlot::OnUpdateTimer()
{
    mUpdate.set(kUpdateMs, &PstnSlot::OnUpdateTimer, this);
    OnIoctlResponse(Signalling::hdlc_link_info(mChannel->statistics));
    send_isdn_info();
    send_ss7_info();
}

void PstnSlot::send_isdn_info()
{
    LGCP::IoctlResponse r;
    if (mLapd && mLapd->GetInfo(r.get_isdnLinkInfo()))
        OnIoctlResponse(r);
}

void PstnSlot::send_ss7_info()
{
    if (!mLink)
        return;
    SS7::SLC::Statistics s = mLink->statistics();
    LGCP::IoctlResponse r;
    ACP::SS7LinkInfo& info = r.get_ss7LinkInfo();
    info.set_msuTxCount(static_cast<int>(s.msuTxCount));
    info.set_msuRxCount(static_cast<int>(s.msuRxCount));
    info.set_octetsTx(static_cast<int>(s.octetsTx));
    info.set_octetsRx(static_cast<int>(s.octetsRx));
    info.set_speedRx(0);
    info.set_speedTx(0);
    info.set_overflowCntr(static_cast<int>(s.overflowCntr));
    info.set_rtbSize(static_cast<int>(s.rtbSize));
    info.set_repeatCntr(static_cast<int>(s.repeatCntr));
    info.set_badSeqCntr(static_cast<int>(s.badSeqCntr));
    info.set_ss7state(static_cast<ACP::SS7State::NamedNumber>(mLink->state_id()));
    OnIoctlResponse(r);
}

// ------------------------------------------------------ controller ioctls

bool PstnSlot::Ioctl(LGCP::IoctlParams const& params)
{
    if (!mLink)
        return false;
    if (params.is_ss7RqBSN()) {
        LGCP::IoctlResponse r;
        r.set_ss7BSN(static_cast<int>(static_cast<unsigned>(mLink->bsn_to_send())));
        OnIoctlResponse(r);
        return true;
    }
    if (!params.is_ss7Log())
        return false;
    const LGCP::SS7L2Log& log = params.get_ss7Log();
    SS7::SLC::Traces& t = mLink->traces;
    t.state = log.get_state().getValue();
    t.raw_receive = log.get_raw_receive().getValue();
    t.raw_transmit = log.get_raw_transmit().getValue();
    t.mtp_transmit = log.get_mtp_transmit().getValue();
    t.mtp_receive = log.get_mtp_receive().getValue();
    t.mtp_activate = log.get_mtp_activate().getValue();
    t.timers = log.get_timers().getValue();
    t.msu_processing = log.get_msu_processing().getValue();
    return true;
}

// --------------------------------------------------------------- factory

namespace {

// The trunk of an SS7 link or a user-side ISDN link, the kinds that read
// one: trunks count from 1, so a negative number names none (and its
// index would not be computed safely).
bool names_a_trunk(LGCP::PstnParams const& params)
{
    int trunk = 0;
    if (params.is_ss7()) {
        trunk = params.get_ss7().get_trunk().getValue();
    } else if (params.is_isdn()) {
        const LGCP::IsdnParams& p = params.get_isdn();
        if (p.get_type().getValue() != LGCP::IsdnType::bri || !p.get_side().is_network())
            trunk = p.get_trunk().getValue();
    }
    if (trunk >= 0)
        return true;
    std::cerr << "pstn-slot: invalid trunk number: " << trunk << std::endl;
    RefuseCommand(LGCP::ErrorCause::invalidParams);
    return false;
}

} // namespace

Slot* PstnFactory::INewSlot(LGCP::CreateParams const& params)
{
    if (!params.is_pstn() || !names_a_trunk(params.get_pstn()))
        return nullptr;
    return new PstnSlot(params.get_pstn());
}

void PstnFactory::SelfSignal(LGCP::Signal const& sig)
{
    Signalling::pass_e1_status(*this, sig);
}
