// "/dev/rtp_ext" of the simulated board: header-extension sessions riding
// the RTP engine's sessions ("/dev/rtp").
//
// Each open is one session. Init (the profile) comes first, anything else
// before it fails with EINVAL. Attach resolves {descriptor number, pid} to
// a begun "/dev/rtp" session of this process (pid is this process or -1);
// detach leaves it. While attached, a write leaves as one RTP packet of the
// session carrying the bytes as its extension; the extensions of the
// profile that arrive on the session queue one payload per read, each with
// its sender for the source request (EAGAIN when nothing waits); an empty
// extension queues nothing. With a filter set, the voice of other senders
// is kept from the line; their extensions still queue, so that the control
// sees every sender's signalling (a LEMZ command of higher priority takes a
// held radio).
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "board/rtp_ext_requests.h"
#include "simboard/board.h"
#include "simboard/rtp.h"

namespace SimBoard {

class RtpExtDevice : public Model {
public:
    struct Session : RtpEngine::ExtensionSink {
        RtpExtDevice* device = nullptr;
        Channel* channel = nullptr;
        bool inited = false;
        rtp_ext_init_params init{};
        RtpEngine::Session* attached = nullptr;
        bool filtering = false;
        uint32_t filter = 0;          // network order
        std::deque<rtp_ext_source> sources; // one per payload waiting
        std::vector<std::string> written;   // every payload written, oldest first
        uint64_t dropped = 0;               // voice payloads of filtered senders

        uint16_t profile() const override { return init.etype; }
        void extension(uint32_t ssrc, uint32_t addr, const uint8_t* data, size_t size) override;
        void session_ended() override { attached = nullptr; }
        bool admits(uint32_t addr) override;
        void detach();
    };

    RtpExtDevice();
    // The open sessions, oldest first.
    std::vector<Session*> sessions() const;
    // A payload from sender addr (network order) to the session, as if it
    // had arrived; false when it cannot be queued.
    bool queue(Session& s, uint32_t ssrc, uint32_t addr, const std::string& payload);

    int open(Channel& channel) override;
    void closed(Channel& channel) override;
    ssize_t read(Channel& channel, int fd, void* buf, size_t count) override;
    ssize_t write(Channel& channel, int fd, const void* buf, size_t count) override;
    void port_commands(TestPort& port) override;

private:
    // A request of an initialised session.
    void on(unsigned long number, std::function<int(Session&, Call&)> handler, Arg arg = Arg::record);
    int attach(Session& s, const rtp_ext_attach_session_params& p);
    Session* session(Channel& channel) const;
    RtpEngine* engine() const;

    std::map<Channel*, std::unique_ptr<Session>> mSessions;
};

} // namespace SimBoard
