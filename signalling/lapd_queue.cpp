// The sending side of the data link: the out queue of layer 3 messages,
// the acknowledgement queue of unacknowledged I frames (window 7, Q.921
// 5.6.1), retransmission, the flow status towards the owner, statistics
// and the link information record.
#include <iostream>

#include "runtime/ext.h"
#include "signalling/lapd.h"

namespace ISDN {

bool LAPD::message(Packet& p)
{
    ++stats.tx;
    if (p.length() == 0)
        return false;
    bool queued = false;
    if (outQueue.count() >= kMaxQueued) {
        std::cerr << ext::header(this) << "discard outgoing message: buffer overflow" << std::endl;
        ++stats.outOverflows;
    } else {
        if (outQueue.count() > kWindow && traces(2))
            std::clog << ext::header(this) << "outgoing queue size = " << outQueue.count()
                      << " tx counter = " << stats.tx << std::endl;
        if (traces(2))
            std::clog << ext::header(this) << "add to tx queue: " << p.text() << std::endl;
        queued = outQueue.put(p);
        QueuedUp = true;
    }
    // A message asks for a link: on a BRI user side that starts with a TEI.
    if (state == kTeiUnassigned)
        enter_tei_wait(kAssignAwaitingTei);
    if (outQueue.count() > kCongestedAbove)
        set_flow(FlowStatus::congested);
    local_events();
    return queued;
}

void LAPD::local_events()
{
    // A message waiting on a released link (after DL-RELEASE, a lost link
    // or a new TEI) asks for the link, as layer 3 asks with DL-ESTABLISH
    // before it sends (Q.921 5.5.1.1): else it would wait for ever.
    if (state == kTeiAssigned && !outQueue.empty())
        local_activate();
    refresh_acknowledgements();
    pump();
    if (AckRQ && (state == kMultipleFrameEstablished || state == kTimerRecovery)) {
        if (tx_cmd_resp(kRR, false, false))
            AckRQ = false;
    }
    if (outQueue.count() < kNormalBelow)
        set_flow(FlowStatus::normal);
}

void LAPD::refresh_acknowledgements()
{
    unsigned outstanding = unsigned(VS - VA);
    unsigned acknowledged = 0;
    Packet p;
    while (ackQueue.count() > outstanding) {
        ackQueue.get(&p);
        ++acknowledged;
    }
    if (acknowledged && traces(2))
        std::clog << ext::header(this) << "acknowledge " << acknowledged << " frames" << " VS=" << VS
                  << " VA=" << VA << std::endl;
    if (outQueue.empty() && traces(2))
        std::clog << ext::header(this) << "outgoing queue empty." << std::endl;
    if (!RetrRQ)
        return;
    if (traces(0) && !ackQueue.empty())
        std::clog << ext::header(this) << "retransmission " << " VS=" << VS << " VA=" << VA << std::endl;
    VS = VA;
    // Newest first to the front, so the out queue starts with the oldest.
    while (ackQueue.get_last(&p)) {
        if (outQueue.append(p)) {
            ++stats.retrains;
        } else {
            std::cerr << ext::header(this) << "ack queue overflow!" << std::endl;
            ++stats.ackOverflows;
        }
    }
    RetrRQ = false;
}

void LAPD::pump()
{
    while (QueuedUp) {
        QueuedUp = false;
        switch (state) {
        case kMultipleFrameEstablished: {
            if (peerBusy || VS == VA + Sequence(kWindow)) {
                QueuedUp = true;
                return;
            }
            Packet p;
            if (!outQueue.preview(&p))
                return;
            if (!tx_iframe(p, false)) {
                QueuedUp = true; // again when the channel is ready
                return;
            }
            outQueue.get(&p);
            if (!ackQueue.put(p)) {
                std::cerr << ext::header(this) << "ack queue overflow!" << std::endl;
                ++stats.ackOverflows;
            }
            ++VS;
            AckRQ = false;
            if (!T200running) {
                stop(T203);
                start(T200);
            }
            QueuedUp = !outQueue.empty();
            break;
        }
        case kTimerRecovery:
            QueuedUp = true;
            return;
        case kAwaitingEstablishment:
            QueuedUp = !L3Initiated;
            return;
        default:
            return;
        }
    }
}

void LAPD::set_flow(FlowStatus::Type next)
{
    if (next == flowStatus)
        return;
    flowStatus = next;
    if (notify)
        notify->OnLAPD_FlowStatusChange(this);
}

void LAPD::discard_queues()
{
    if (traces(0))
        std::clog << ext::header(this) << "discard queue " << " OutData=" << outQueue.count()
                  << " AckData=" << ackQueue.count() << std::endl;
    outQueue.clear();
    ackQueue.clear();
}

bool LAPD::GetInfo(ACP::IsdnLinkInfo& info) const
{
    info.set_msuTxCount(int(stats.tx));
    info.set_msuRxCount(int(stats.rx));
    info.set_mT200(int(stats.T200));
    info.set_mT203(int(stats.T203));
    info.set_errors(int(stats.errors));
    info.set_retrains(int(stats.retrains));
    info.set_rejected(int(stats.rejected));
    info.set_badconfirm(int(stats.badConfirm));
    info.set_outOverflows(int(stats.outOverflows));
    info.set_ackOverflows(int(stats.ackOverflows));
    info.set_lapdState(static_cast<ACP::LAPDState::NamedNumber>(state));
    info.set_rc(RC);
    info.set_peerBusy(peerBusy);
    info.set_ownBusy(ownBusy);
    info.set_rejException(RejectException);
    info.set_ackPending(false);
    info.set_l3Initiated(L3Initiated);
    info.set_establishable(Establishable);
    info.set_queuedUpRQ(QueuedUp);
    info.set_retrRQ(RetrRQ);
    info.set_ackRQ(AckRQ);
    info.set_t200run(T200running);
    info.set_t203run(T203running);
    info.set_vs(int(unsigned(VS)));
    info.set_va(int(unsigned(VA)));
    info.set_vr(int(unsigned(VR)));
    info.set_queueOut(int(outQueue.count()));
    info.set_queueAck(int(ackQueue.count()));
    if (info.compare(lastInfo) == 0)
        return false;
    lastInfo = info;
    return true;
}

void LAPD::Stats::out(std::ostream& os) const
{
    os << "\n   - timers expire count: T200: " << T200 << ", T202: " << T202 << ", T203: " << T203
       << "\n   - errors: " << errors << ", retrains: " << retrains << "\n   - queue overflows: out: " << outOverflows
       << ", ack: " << ackOverflows;
}

void LAPDFullState::out(std::ostream& os) const
{
    auto timer = [](bool running) { return running ? "running" : "stopped"; };
    os << "\n   - state: " << statetext(state) << "\n   - self: TEI=" << ownTEI << ", SAPI=" << ownSAPI
       << ", busy=" << ownBusy << "\n   - peer: TEI=" << peerTEI << ", SAPI=" << peerSAPI << ", busy=" << peerBusy
       << "\n   - counters: VS=" << VS << ", VA=" << VA << ", VR=" << VR << ", RC=" << RC
       << "\n   - internal signals: AckRQ=" << AckRQ << ", RetrRQ=" << RetrRQ << ", QueuedUp=" << QueuedUp
       << "\n   - flags: L3Initiated=" << L3Initiated << ", Establishable=" << Establishable
       << ", RejectException=" << RejectException << "\n   - timers: T200 " << timer(T200running) << ", T202 "
       << timer(T202running) << ", T203 " << timer(T203running);
}

} // namespace ISDN
