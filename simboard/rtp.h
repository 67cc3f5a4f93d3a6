// "/dev/rtp" of the simulated board: the kernel RTP engine, moving real RTP
// over UDP on the loopback or any local address.
//
// Each open is one session. Begin keeps the session record and binds a UDP
// socket to its local address and port (with IP_TTL when ttl is not 0, and
// IP_TOS unless the record says 0xFFFFFFFF); add channel then takes a
// switch channel from the engine's pool ({-1, ...}) or takes one back
// ({c, ...}). The socket is watched on the loop: a packet of the session's
// receive payload type gives its payload to the switch path on the
// session's channel (others are dropped and counted), and a payload the
// switch brings to the channel's output leaves, while the channel's input
// is started, as one RTP packet of the send payload type to the session's
// remote address. Whether the input is started, the sequence number and the
// timestamp belong to the channel, so they carry over to the session that
// takes the channel back after a restart.
//
// A header-extension session of "/dev/rtp_ext" may ride a begun session:
// what it writes leaves on the session's socket as one RTP packet with the
// extension and no payload, and the extension of a packet arriving with its
// profile goes to it with the sender, before the payload-type filter.
// 'R' 9 joins the session of a descriptor of this process, or of another
// process's descriptor that a test registered.
//
// The teardown, input and packet-detection requests are kept per session
// in order; a test posts rtp_event records to the holder of a channel. The
// last close of the descriptor ends the session at once (the board watches
// its end of the descriptor on the loop) and frees its channel and port.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "board/rtp_requests.h"
#include "runtime/fd.h"
#include "runtime/multiplexer.h"
#include "simboard/board.h"
#include "simboard/switch_path.h"

namespace SimBoard {

class RtpEngine : public Model {
public:
    static constexpr int32_t kFirstChannel = 2048;
    static constexpr unsigned kDefaultChannels = 64;
    static constexpr unsigned kMaxChannels = 2048;

    // What travels with the channel from one session to the next.
    struct ChannelState {
        bool input = false;
        uint16_t sequence = 0;
        uint32_t timestamp = 0;
    };

    // What a header-extension session of another device sees of a session.
    struct ExtensionSink {
        virtual ~ExtensionSink() = default;
        virtual uint16_t profile() const = 0;
        // An extension of the profile from the sender addr (network order).
        virtual void extension(uint32_t ssrc, uint32_t addr, const uint8_t* data, size_t size) = 0;
        // Whether the voice of the sender addr may reach the line.
        virtual bool admits(uint32_t addr) = 0;
        // The session it rode ended.
        virtual void session_ended() = 0;
    };

    struct Session : SwitchPath::Endpoint {
        RtpEngine* engine = nullptr;
        Channel* channel = nullptr;
        bool begun = false;
        rtp_connection_params params{};
        Fd socket;
        Event event;
        // Watches the board's end of the descriptor, so the session ends
        // (and frees its port) as soon as the holder closes it.
        Event hangup;
        int32_t tdm = -1;
        // Teardown, input and packet-detection requests, oldest first.
        std::vector<unsigned long> requests;
        bool detecting = false;
        uint32_t detectTimeout = 0;
        uint64_t received = 0; // payloads given to the switch
        uint64_t dropped = 0;  // packets of another payload type, or no RTP
        uint64_t sent = 0;     // packets sent to the remote address
        std::vector<ExtensionSink*> sinks;
        // The session joined with 'R' 9, {-1, 0} when none.
        rtp_attach_session_params joined{-1, 0};

        // One packet carrying only a header extension (RFC 3550 5.3.1):
        // the data zero-padded to words.
        bool send_extension(uint16_t profile, const void* data, size_t size);
        // Fills the header in front of what packet holds (RFC 3550 5.1:
        // first octet, the send payload type, the channel's numbering, the
        // SSRC) and sends size octets to the remote address.
        bool send_packet(uint8_t* packet, uint8_t first, size_t size);
        // A payload from the switch, sent while the channel's input is started.
        bool receive(const void* data, size_t size) override;
        void OnPacket(int fd, short revents);
        void OnHangUp(int fd, short revents);
        // Whether every extension session lets the voice of addr through.
        bool admitted(uint32_t addr);
    };

    RtpEngine();
    // How many channels the pool holds (at most kMaxChannels).
    void set_channels(unsigned channels);
    unsigned free_channels() const;
    // Sessions open now, begun or not.
    size_t sessions() const;
    // The session holding the channel, null when none.
    const Session* session(int32_t tdm) const;
    // Channels hold their state after their session ended.
    ChannelState channel_state(int32_t tdm) const;
    // The record to the descriptor of the session holding the channel.
    bool post_event(int32_t tdm, const rtp_event& event);

    // The begun session behind a descriptor of this process, null when none.
    Session* session_of_descriptor(int fd) const;
    // The next add of a channel by number is given tdm instead, as an
    // engine free to hand out any channel may.
    void give_next(int32_t tdm) { mGiveNext = tdm; }
    // Lets 'R' 9 join {fd, pid} of another process.
    void register_remote(int32_t fd, int32_t pid) { mRemotes.emplace(fd, pid); }

    int open(Channel& channel) override;
    void closed(Channel& channel) override;
    void port_commands(TestPort& port) override;

private:
    Session* lookup(int32_t tdm) const;
    // A request of the channel's session; one on a channel the engine hung
    // up fails with ENODEV.
    void on(unsigned long number, std::function<int(Session&, Call&)> handler);
    int begin(Session& s, const rtp_connection_params& p);
    int add_channel(Session& s, rtp_channel_info& info);
    int join(Session& s, const rtp_attach_session_params& p);
    SwitchPath* path() const;
    std::string describe(const Session& s) const;

    std::map<Channel*, std::unique_ptr<Session>> mSessions;
    std::map<int32_t, Session*> mTaken;
    std::map<int32_t, ChannelState> mStates;
    std::set<std::pair<int32_t, int32_t>> mRemotes;
    unsigned mCapacity = kDefaultChannels;
    int32_t mGiveNext = -1;
    std::minstd_rand mRandom;
};

} // namespace SimBoard
