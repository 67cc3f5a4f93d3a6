// What travels across the simulated TDM switch besides single bytes: RTP
// payloads, HDLC frames and data blocks. A unit sent from a channel reaches
// every endpoint whose switch output carries that channel, directly or over
// the shared bus (a bus output is heard back on its bus input, as the Hal
// does for bytes). The switch itself is the Hal's; this only follows its
// connections.
//
// Endpoints are the devices' channels (an HDLC channel of the controller,
// and so on) and the line ends of local line channels (0..127: E1 time
// slots, BRI channels). Line ends are for tests, made on first use: in the
// program nobody asks for one, so nothing is kept. A unit an endpoint
// cannot take is dropped and counted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace SimBoard {

class Board;
class Hal;

class SwitchPath {
public:
    class Endpoint {
    public:
        virtual ~Endpoint() = default;
        // False when the endpoint cannot take the unit now.
        virtual bool receive(const void* data, size_t size) = 0;
    };

    // The far end of a local line channel.
    class LineEnd : public Endpoint {
    public:
        static constexpr size_t kDefaultRoom = 1024;

        LineEnd(SwitchPath& path, int32_t channel) : mPath(path), mChannel(channel) {}
        // Sends a unit into the switch from the line; how many endpoints took it.
        size_t send(const std::string& unit);
        // The oldest unit received, "" when none.
        std::string take();
        size_t waiting() const { return mReceived.size(); }
        // Octets of every unit taken since the line end was made.
        uint64_t heard() const { return mHeard; }
        // Units kept at most; beyond that, arrivals are dropped.
        void set_room(size_t units) { mRoom = units; }
        bool receive(const void* data, size_t size) override;

    private:
        SwitchPath& mPath;
        int32_t mChannel;
        std::deque<std::string> mReceived;
        size_t mRoom = kDefaultRoom;
        uint64_t mHeard = 0;
    };

    static constexpr int32_t kLineChannels = 128;

    explicit SwitchPath(const Hal& hal) : mHal(hal) {}
    // The path of the board's Hal, null when the board has none.
    static SwitchPath* of(const Board* board);
    SwitchPath(const SwitchPath&) = delete;
    SwitchPath& operator=(const SwitchPath&) = delete;

    // The endpoint hears what the switch output `channel` carries.
    void attach(int32_t channel, Endpoint* endpoint);
    void detach(Endpoint* endpoint);

    // Delivers the unit to every endpoint that hears source; how many took
    // it. An empty unit goes nowhere.
    size_t send(int32_t source, const void* data, size_t size);
    // Units dropped because an endpoint could not take them.
    uint64_t dropped() const { return mDropped; }

    // The line end of a local line channel (0..kLineChannels-1).
    LineEnd& line(int32_t channel);

private:
    struct Attached {
        int32_t channel;
        Endpoint* endpoint;
    };

    const Hal& mHal;
    std::vector<Attached> mAttached;
    std::map<int32_t, std::unique_ptr<LineEnd>> mLines;
    uint64_t mDropped = 0;
};

} // namespace SimBoard
