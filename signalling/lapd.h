// The ISDN data link layer of one D channel: the Q.921 link access
// procedure (LAPD) for SAPI 0, one data link, modulo-128 numbering and a
// window of 7, with TEI management (Q.921 clause 5.3) on a BRI user side.
//
// One layer of a signalling slot's stack: below it a GenericHDLC sends the
// frames and hands the received ones to on_hdlc_receive; above it the slot
// sends layer 3 messages with message() and gets them with on_message.
// The same class serves both sides of a point-to-point D channel; the side
// changes the C/R sense, the TEI filter and who asks for a TEI.
//
// The code is split by concern: lapd.cpp (requests, timers, reports),
// lapd_events.cpp (received frames and expiries, per state),
// lapd_frames.cpp (frame formats, dispatch, TEI management) and
// lapd_queue.cpp (queues, window, flow status, link information).
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

#include "runtime/clean_queue.h"
#include "runtime/protocol.h"
#include "runtime/timer.h"
#include "server/schema/ACP.h"
#include "signalling/hdlc.h"
#include "signalling/lapd_state.h"

namespace ISDN {

class LAPD : public Protocol, private LAPDFullState, public HDLC::Notify {
public:
    class Notify {
    public:
        virtual ~Notify() = default;
        // The flow status changed; the owner reads LAPD::flowStatus.
        virtual void OnLAPD_FlowStatusChange(LAPD* link) = 0;
    };
    struct FlowStatus {
        enum Type { normal = 0, congested = 1 };
    };
    struct Stats {
        uint32_t T200 = 0; // expiries
        uint32_t T202 = 0;
        uint32_t T203 = 0;
        uint32_t errors = 0;       // nothing counts here
        uint32_t retrains = 0;     // I frames put back for retransmission
        uint32_t outOverflows = 0; // messages refused
        uint32_t ackOverflows = 0;
        uint32_t tx = 0;         // calls of message()
        uint32_t rx = 0;         // I frames accepted in sequence
        uint32_t rejected = 0;   // I frames out of sequence
        uint32_t badConfirm = 0; // N(R) errors
        void out(std::ostream& os) const;
    };
    // A report of the link: an error status with a copy of the full state.
    class Status : public Protocol_status_error, private LAPDFullState {
    public:
        Status(const LAPD* link, const std::string& text);
        void out(std::ostream& os) const override;
        const LAPDFullState& full_state() const { return *this; }
    };

    // Q.921 system parameters (clause 5.9).
    static constexpr unsigned kT200 = 1000;
    static constexpr unsigned kT202 = 2000;
    static constexpr unsigned kT203 = 10000;
    static constexpr int kN200 = 3;
    static constexpr int kN202 = 3;
    static constexpr unsigned kWindow = 7;
    // Layer 3 messages queued at most; the rest of the out queue takes back
    // the unacknowledged frames on retransmission.
    static constexpr unsigned kMaxQueued = 128;
    static constexpr unsigned kCongestedAbove = 88;
    static constexpr unsigned kNormalBelow = 65;

    // Management error codes (Q.921 Appendix II), one bit each.
    enum MdlError : unsigned {
        kSupervisoryF1 = 1,
        kDmF1 = 2,
        kUaF1 = 4,
        kUaF0 = 8,
        kDmF0 = 16,
        kPeerReestablish = 32,
        kSabmeRetries = 64,
        kDiscRetries = 128,
        kEnquiryRetries = 256,
        kNrError = 512,
        kFrmr = 1024,
        kUndefinedFrame = 2048,
        kIFieldNotPermitted = 4096,
        kWrongSize = 8192,
        kN201 = 16384,
        kTeiDenied = 32768,
    };
    static const char* error_text(unsigned code);

    LAPD(Side::type side, unsigned log);
    ~LAPD() override;

    // Protocol
    bool compare_name(const Protocol_name& other) const override { return mName.compare(other); }
    const Protocol_name& name() const override { return mName; }
    void local_prepare_head(Packet& p) override { p.reserve_head(4); }
    void local_prepare_tail(Packet& p) override { p.reserve_tail(0); }
    void local_activate() override;   // DL-ESTABLISH request
    void local_deactivate() override; // DL-RELEASE request
    bool message(Packet& p) override;
    void receive(Packet& frame) override;

    // HDLC::Notify
    void on_hdlc_receive(Packet& frame) override { receive(frame); }
    void on_hdlc_error(Cause::Type) override {}
    void on_hdlc_ready() override { local_events(); }

    // Management requests (TEI management uses them).
    virtual void mdl_assign(unsigned char tei);
    // Called when TEI assignment begins.
    virtual void on_mdl_assign() {}
    virtual void mdl_remove();
    // Reports an MDL error upward as a status.
    virtual void on_error(unsigned code);

    // A new status "current status" with the full state.
    Protocol_status status() const;
    const char* state_text() const { return statetext(state); }
    void show_stat() const;
    // Turns TEI management on. A BRI user side holds no TEI until the
    // network assigns one (Q.921 5.3.2): it starts unassigned.
    void change_to_bri();
    void PutHeader(std::ostream& out) const;
    // Fills info; true when it differs from what the last call returned.
    bool GetInfo(ACP::IsdnLinkInfo& info) const;

    const LAPDFullState& full_state() const { return *this; }
    unsigned out_count() const { return outQueue.count(); }
    unsigned ack_count() const { return ackQueue.count(); }
    // The out queue takes no more messages from layer 3.
    bool queue_full() const { return outQueue.count() >= kMaxQueued; }

    Side::type side;
    Stats stats;
    Notify* notify = nullptr;
    FlowStatus::Type flowStatus = FlowStatus::normal;
    int trunk = 0;
    unsigned log;
    bool bri = false;
    uint16_t Ri = 0; // reference number of the pending identity request
    GenericHDLC* hdlc = nullptr;

private:
    enum TimerId { T200, T202, T203 };
    // Supervisory types and U-frame codes for tx_cmd_resp.
    enum FrameType : int {
        kRR = 0,
        kRNR = 1,
        kREJ = 2,
        kUI = 0x03,
        kDM = 0x0F,
        kDISC = 0x43,
        kUA = 0x63,
        kSABME = 0x6F,
        kFRMR = 0x87,
        kXID = 0xAF,
    };
    // The parsed control field of a received frame.
    struct Received {
        bool command = false;
        bool pf = false;
        Sequence ns;
        Sequence nr;
    };

    bool traces(unsigned level) const { return log > level; }
    void on_error_text(const std::string& text);
    void set_state(unsigned next);
    void deactivated(const char* text, bool success);

    // Common procedures.
    void clear_exceptions();
    void establish();
    void transmit_enquiry();
    void enquiry_response();
    void nr_error_recovery();
    void retransmit_from(Sequence nr);
    bool nr_valid(Sequence nr) const;
    void reset_sequence();
    void discard_queues();

    // The one Timer and the flags that say which timer it holds.
    bool& running(TimerId t);
    void start(TimerId t);
    void stop(TimerId t);
    void t200_expired();
    void t202_expired();
    void t203_expired();
    void t200_recovery();

    // Received frames (lapd_events.cpp).
    void link_up();
    void on_sabme(const Received& f);
    void on_disc(const Received& f);
    void on_ua(const Received& f);
    void on_dm(const Received& f);
    void on_frmr(const Received& f);
    enum class SFrame { rr, rnr, rej };
    bool supervisory(const Received& f, SFrame kind);
    void on_rr(const Received& f);
    void on_rnr(const Received& f);
    void on_rej(const Received& f);
    void on_peer_response_recovery(const Received& f, bool restartT203);
    void on_iframe(const Received& f, Packet& info);
    void on_iframe_nr(Sequence nr);
    void trace_frame(const char* what, const Received& f, bool withPf) const;

    // Frames (lapd_frames.cpp).
    bool tx_cmd_resp(int type, bool pf, bool command);
    bool tx_iframe(Packet& message, bool pf);
    bool xmit(Packet& frame);
    bool tx_identity(uint16_t ri, int ai, uint8_t type);
    void BeginTeiAssignProcedure();
    void enter_tei_wait(unsigned next);
    void on_UI(Packet& info);
    void on_management(Packet& info);
    void dispatch(const Received& f, uint8_t control, Packet& info);
    bool cr_bit(bool command) const;
    void pool_empty();

    // Queues (lapd_queue.cpp).
    void local_events();
    void refresh_acknowledgements();
    void pump();
    void set_flow(FlowStatus::Type next);

    Protocol_name_str mName{"ISDN::LAPD"};
    Timer timer;
    CleanQueue<Packet, 135> outQueue;
    CleanQueue<Packet, kWindow> ackQueue;
    mutable ACP::IsdnLinkInfo lastInfo;
    bool poolExhausted = false; // one error line per episode
};

} // namespace ISDN
