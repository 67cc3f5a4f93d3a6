// SS7 message transfer part, level 2 (Q.703), of one signalling link on
// an HDLC channel: initial alignment with proving, signal units with
// sequence numbers and indicator bits, and basic error correction with a
// retransmission buffer. There is no level 3 here: a message signal unit
// (service information octet and signalling information field) goes up
// and comes down unchanged.
//
// The controller repeats the last unit on the line by itself (FISU
// filling), so the link sends a unit only when something happens.
#pragma once

#include <cstdint>
#include <iosfwd>

#include "runtime/clean_queue.h"
#include "runtime/packet_quota.h"
#include "runtime/cyclic.h"
#include "runtime/protocol.h"
#include "runtime/timer.h"
#include "signalling/hdlc.h"

namespace SS7 {

typedef Cyclic<unsigned int, 127u> SeqNo;

class SLC : public Protocol, public HDLC::Notify {
public:
    // Status of a link status signal unit (Q.703 11.1.3).
    enum Indication { SIO = 0, SIN = 1, SIE = 2, SIOS = 3, SIPO = 4, SIB = 5 };
    static constexpr uint8_t kStatusBits = 0x07;
    // The indication of a status octet.
    static Indication indication(uint8_t status);

    // Link states, numbered as the controller reads them.
    enum StateId { idle = 0, not_aligned = 1, aligned = 2, proving = 3, aligned_ready = 4, in_service = 5 };

    class State {
    public:
        explicit State(int id) : type(id) {}
        virtual ~State() = default;
        virtual void on_enter(SLC&) = 0;
        virtual void on_leave(SLC&) = 0;
        virtual void fisu(SLC&) = 0;
        virtual void lssu(SLC&, Indication) = 0;
        virtual void msu(SLC&, Packet&) = 0;
        virtual bool message(SLC&, Packet&) = 0;
        virtual int get_state_id() const { return type; }

        const int type;
    };
    // The classes the handlers of SLC are overloaded on; aligned ready
    // derives from proving and so shares its reception handlers.
    struct IdleState : State { using State::State; };
    struct NotAlignedState : State { using State::State; };
    struct AlignedState : State { using State::State; };
    struct ProvingState : State { using State::State; };
    struct AlignedReadyState : ProvingState { using ProvingState::ProvingState; };
    struct InServiceState : State { using State::State; };

    // Forwards each event to the SLC overload for this very state class.
    template <int Id, class Base>
    class TState : public Base {
    public:
        TState() : Base(Id) {}
        void on_enter(SLC& l) override { l.on_enter(static_cast<Base&>(*this)); }
        void on_leave(SLC& l) override { l.on_leave(static_cast<Base&>(*this)); }
        void fisu(SLC& l) override { l.fisu(static_cast<Base&>(*this)); }
        void lssu(SLC& l, Indication i) override { l.lssu(static_cast<Base&>(*this), i); }
        void msu(SLC& l, Packet& p) override { l.msu(static_cast<Base&>(*this), p); }
        bool message(SLC& l, Packet& p) override { return l.message(static_cast<Base&>(*this), p); }
    };

    // The eight trace switches, in the controller's order.
    struct Traces {
        bool state = false;
        bool raw_receive = false;
        bool raw_transmit = false;
        bool mtp_transmit = false;
        bool mtp_receive = false;
        bool mtp_activate = false;
        bool timers = false;
        bool msu_processing = false;
    };

    // What the controller reads as the link information.
    struct Statistics {
        uint32_t msuTxCount = 0; // signal units sent
        uint32_t msuRxCount = 0; // signal units received
        uint32_t octetsTx = 0;
        uint32_t octetsRx = 0;
        uint32_t overflowCntr = 0; // MSUs refused by a full transmission buffer
        uint32_t rtbSize = 0;      // MSUs sent and not acknowledged
        uint32_t repeatCntr = 0;   // retransmissions
        uint32_t badSeqCntr = 0;   // negative acknowledgements
    };

    typedef TimerSpec<SLC>::Record TimerRecord;
    static const TimerRecord T1, T2, T3, T4n, T4e, T5, T6, T7;

    // Waiting MSUs accepted at most, and unacknowledged ones (Q.703 5.2.1).
    static constexpr unsigned kTbLimit = 200;
    static constexpr int kWindow = 127;

    SLC();
    ~SLC() override;

    // Protocol
    bool compare_name(const Protocol_name& n) const override { return mName.compare(n); }
    const Protocol_name& name() const override { return mName; }
    void local_prepare_head(Packet& p) override { p.reserve_head(3); }
    void local_activate() override;
    void local_deactivate() override;
    bool message(Packet& p) override;
    void receive(Packet& p) override;
    void protocol_info(std::ostream& out) override;

    // HDLC::Notify
    void on_hdlc_receive(Packet& frame) override { receive(frame); }
    void on_hdlc_error(HDLC::Notify::Cause::Type cause) override;
    void on_hdlc_ready() override;

    // The trunk went up (true) or down.
    void OnTrunkHardStatus(bool up);

    Statistics statistics() const;
    const State& state() const { return *mState; }
    int state_id() const { return mState->get_state_id(); }
    SeqNo bsn_to_send() const { return mBsnToSend; }
    unsigned waiting() const { return mTb.count(); }
    // The transmission buffer takes no more MSUs.
    bool tb_full() const { return mTb.count() >= kTbLimit; }
    bool CoutCongestion();

    void PutShortInfo(std::ostream& out) const;
    void PutHeader(std::ostream& out) const;

    // The last received unit's sequence fields, for log lines.
    struct DumpPtr {
        const SLC* link;
    };

    Traces traces;
    uint32_t trunk = 0;
    uint32_t slc = 0;
    uint32_t dpc = 0;
    uint32_t opc = 0;
    bool emergency = false;
    GenericHDLC* hdlc = nullptr; // not owned

    // State handlers, reached through TState. Events a state does not
    // handle land on the State& overloads, which ignore them.
    void on_enter(State&) {}
    void on_enter(IdleState&);
    void on_enter(NotAlignedState&);
    void on_enter(AlignedState&);
    void on_enter(ProvingState&);
    void on_enter(AlignedReadyState&);
    void on_enter(InServiceState&);
    void on_leave(State&);
    void on_leave(IdleState&) {}
    void fisu(State&) {}
    void fisu(ProvingState&);
    void fisu(InServiceState&);
    void lssu(State&, Indication) {}
    void lssu(IdleState&, Indication i);
    void lssu(NotAlignedState&, Indication i);
    void lssu(AlignedState&, Indication i);
    void lssu(ProvingState&, Indication i);
    void lssu(InServiceState&, Indication i);
    void msu(State&, Packet&) {}
    void msu(ProvingState&, Packet&);
    void msu(InServiceState&, Packet& p);
    bool message(State&, Packet&) { return false; }
    bool message(InServiceState&, Packet& p);

private:
    friend std::ostream& operator<<(std::ostream&, const DumpPtr&);

    // Alignment and framing.
    void next_state(State& s);
    void arm(const TimerRecord& t)
    {
        mTimer.set(t.delay, t.action, this);
        mArmed = &t;
    }
    bool running(const TimerRecord& t) const { return mTimer.pending() && mArmed == &t; }
    // A timer's line (when timers are traced) and the state it leads to.
    void expired(const char* line, State& to);
    void on_T1();
    void on_T2();
    void on_T3();
    void on_T4();
    void on_T5() {}
    void on_T6();
    void on_T7();
    bool send(Packet p);
    bool send_msu(Packet& p);
    void fisu();
    void lssu(Indication i);
    void sio() { lssu(SIO); }
    void sin() { lssu(SIN); }
    void sie() { lssu(SIE); }
    void sios() { lssu(SIOS); }
    void clear_rtb();
    void reset();
    // A pool buffer was (not) to be had; one line per shortage.
    void pool_empty(const char* what);

    // Basic error correction.
    bool put_to_tb(Packet& p);
    void process_tb();
    void make_expected();
    void ack();
    void nack();
    bool process_bsnr();
    void retransmit();
    void bad_fib();

    // Received unit.
    SeqNo mBsnR = 0;
    uint8_t mBibR = 0;
    SeqNo mFsnR = 0;
    uint8_t mFibR = 0;
    uint32_t mLi = 0;
    // To send.
    SeqNo mBsnToSend = 127;
    uint8_t mBibToSend = 1;
    SeqNo mFsnToSend = 127;
    uint8_t mFibToSend = 1;
    // Snapshot before a received unit is judged.
    SeqNo mLastAccepted = 127;
    uint8_t mExpectedFib = 1;
    uint8_t mFibSent = 1;
    bool mNackOutstanding = false;
    bool mBadBsn = false;
    bool mBadFib = false;

    PacketQuota::Held mRtb[128]; // counted as queued, like the TB
    SeqNo mRtbFirst = 0;
    SeqNo mRtbLast = 127;
    int mRtbCount = 0;
    CleanQueue<Packet, 327> mTb;

    Timer mTimer;
    const TimerRecord* mArmed = nullptr; // what mTimer runs, while it runs
    TState<idle, IdleState> mIdle;
    TState<not_aligned, NotAlignedState> mNotAligned;
    TState<aligned, AlignedState> mAligned;
    TState<proving, ProvingState> mProving;
    TState<aligned_ready, AlignedReadyState> mAlignedReady;
    TState<in_service, InServiceState> mInService;
    State* mState;

    Protocol_name_str mName{"MTP/L2"};
    uint32_t mLastCongestion;
    Statistics mStats;
    bool mPoolEmpty = false;
    // The status the state sent that the channel did not take (a fresh
    // channel still opening on a new line): the far end aligns only once
    // it hears it, so it goes out when the channel is ready.
    bool mLssuOwed = false;
    Indication mOwedLssu = SIOS;
};

std::ostream& operator<<(std::ostream& out, SLC::Indication i);
std::ostream& operator<<(std::ostream& out, const SLC::State& s);
std::ostream& operator<<(std::ostream& out, const SLC::DumpPtr& d);
// The name of a link state id ("worked" for in service).
const char* state_name(int id);

} // namespace SS7
