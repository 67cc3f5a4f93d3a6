// One HDLC channel of the board's multichannel controller ("/dev/mcc/ctl").
// The driver does the framing (flags, bit stuffing, check sequence): one
// read is one received frame, one write sends one frame. The channel is
// allocated on a descriptor of its own, learns its switch channel from the
// driver and is cross-connected on the TDM switch to the line channel that
// carries the signalling. The switch holds those paths, so a switch opened
// again carries them again; deactivation and destruction undo them (the
// switch owes a release it did not take), since the driver hands the freed
// channel number to the next allocation. The line's output is left sending
// the idle byte, which no slot holds: a switch opened again forgets it.
//
// The controller channel is a handed-out channel like a slot's: opening it
// takes it from whoever still names it, and a slot handed it later takes it
// from the link, whose channel then ends as at a read error.
#pragma once

#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <iostream>
#include <memory>

#include "board/watched_device.h"
#include "runtime/ext.h"
#include "runtime/multiplexer.h"
#include "server/switch/handed_channels.h"
#include "server/switch/hw_mux.h"
#include "signalling/generic_hdlc.h"

class HDLC : public GenericHDLC, private ChannelHolder, private HwMux::Listener {
public:
    class Notify {
    public:
        struct Cause {
            enum Type { read_error = 0 };
        };
        virtual ~Notify() = default;
        // One received frame.
        virtual void on_hdlc_receive(Packet& frame) = 0;
        // The channel failed and was closed; it stays closed until activated.
        virtual void on_hdlc_error(Cause::Type cause) = 0;
        // The channel takes frames again after a write that blocked.
        virtual void on_hdlc_ready() = 0;
        // Octets the receiver still has queued for the channel, for lack
        // of room in it: an orderly deactivation waits for them as for
        // what the channel holds, and the channel takes them meanwhile.
        virtual size_t hdlc_unwritten() const { return 0; }
    };

    // What the owner sets before activation.
    struct Parameters {
        int trunk = 0;          // the line trunk
        int trunk_timeslot = 0; // shown in the log header
        int tdm = -1;           // the line channel
        int transmit = -1;      // type 2: the channel this one sends into
        int type = 0;           // 0 SS7 link, 1 data link, 2 BRI D channel
    };
    struct Statistics {
        uint32_t txSU = 0;
        uint32_t txDiscard = 0;
        uint32_t txError = 0;
        uint32_t txOverflow = 0; // never counted
        uint32_t rxSU = 0;
    };

    // Frames are never larger than a packet buffer.
    static constexpr unsigned kMaxFrame = packet_max_size;

    explicit HDLC(unsigned number = 0);
    ~HDLC() override;
    HDLC(const HDLC&) = delete;
    HDLC& operator=(const HDLC&) = delete;

    // Installs the shared receiver that ignores everything.
    void unbind();

    // (Re)opens the channel: allocation, switch channel, cross-connection.
    // False, with an error line and nothing held, when a step fails. A
    // channel open or draining is let go in order first (deactivate): the
    // fresh one opens once the drain ended, its paths wishes the switch is
    // told once it takes them, and the receiver hears on_hdlc_error if it
    // does not open then (the switch gave its line up as invalid).
    // Meanwhile the old channel is read as before, and on the same line
    // it takes what the receiver writes. Within a HwMux::Holding the
    // paths are wishes too. On the line it had, the link's path keeps
    // the place it had among the output's claims, so a later connection
    // there stays the one carried; on another line it takes its place
    // now, in the order of the answers.
    bool activate();
    // The next activation is a connection the controller asked anew: its
    // path is the latest on its output, also on the line it had.
    void latest() { mLatest = true; }
    // Lets go of the channel. What waits on it is read first, its end
    // included: a channel that ended is reported as ended (a read error),
    // not let go as one still running. A running channel is let go in
    // order: the frames written, and those the receiver still has queued
    // (it hears on_hdlc_ready as before; nothing more is read), still
    // leave on the line (the channel and its line paths are held until
    // they did, draining(), by the drain of handed(), which whoever waits
    // for it watches). Not orderly (its line went with a lost channel) or
    // opened again, it is let go at once, what waits dropped; in order
    // again while it drains, it goes on draining, read no more. Either way
    // an opening that waits for the drain is off.
    void deactivate(bool orderly = true);
    // The line on channel went with its slot's channel, which the driver
    // may give to another slot: the idle byte of the link's line end there
    // goes, and the output is disabled unless another maker holds it.
    void lose_line(int channel);
    bool draining() const { return channel.draining(); }
    // An opening waits for the drain.
    bool reopening() const { return mReopen; }
    // The handle of the controller channel, which drains after an orderly
    // deactivation.
    HandedChannel& handed() { return channel; }
    // The channel ended (a read error, or handed to another holder) since
    // it was last opened: it is opened again only when the owner is asked.
    bool ended() const { return mEnded; }

    // The owner has given the channel its line: the line channel, and for
    // a BRI D channel also the channel it sends into.
    bool has_line() const { return parameters.tdm >= 0 && (parameters.type != 2 || parameters.transmit >= 0); }

    bool hdlc_transmit(Packet& frame) override;
    // Open and not deactivated: a draining channel serves no link.
    bool is_open() const override { return event.fd && !draining(); }
    bool is_ready() const override { return ready && writable(); }
    // A frame may be written: the switch carries the channel onto its
    // line (a line that is only a wish hears nothing: what waits stays
    // with the receiver, which hears on_hdlc_ready once the switch takes
    // it), and the channel is open, or drains and still takes it (what
    // the receiver had queued when the drain began, or, while the link
    // restarts on its line, anything; the rest waits for the next
    // channel).
    bool writable() const;
    // The switch carries the channel onto its line.
    bool line_carried() const;

    void on_event(int fd, short revents);
    // Reads one frame on input; the channel's end, if it is over.
    Device::End do_read(short revents);
    // The one frame of a wake-up, on input, for take(frame); what else
    // waits is read on the next passes. Returns the descriptor's end by
    // the board's rule (Device::read_input): take() runs only while it is
    // not over, and nothing is touched after it, so it may close or
    // destroy the reader.
    template <class Reader, class Take>
    static Device::End read_one(int fd, short revents, bool& poolEmpty, const Reader* reader, Take take)
    {
        Packet frame;
        return Device::read_input(
            revents, 1, [&] { return read_frame(fd, frame, poolEmpty, reader); },
            [&](ssize_t n) {
                if (frame.null())
                    return;
                frame->tail += n;
                take(frame);
            });
    }
    // One read of a frame from fd into frame, a new packet. With no packet
    // buffer free the frame is read into a scratch area and dropped, frame
    // staying null, so that the driver's queue moves on; the first frame
    // so dropped writes a line after the reader's header, and poolEmpty
    // holds until a buffer is had again. The result and errno are read's.
    template <class Reader>
    static ssize_t read_frame(int fd, Packet& frame, bool& poolEmpty, const Reader* reader)
    {
        ssize_t n = read_frame(fd, frame);
        int err = errno;
        if (!frame.null()) {
            poolEmpty = false;
        } else if (n > 0) {
            if (!poolEmpty)
                std::cerr << ext::header(reader) << "no packet buffer, received frames dropped" << std::endl;
            poolEmpty = true;
        }
        errno = err;
        return n;
    }
    static ssize_t read_frame(int fd, Packet& frame);

    void PutHeader(std::ostream& out) const;

    Parameters parameters;
    Statistics statistics;
    unsigned number;
    Notify* notify;

private:
    // The channel's end: an error line, closed, the receiver told once.
    void fail(const char* why);
    // The channel ended under the index: handed to another holder.
    void IChannelLost(const Device::End& end) override;
    // The frames written before the deactivation left: the channel and
    // its line paths go.
    void IChannelDrained() override;
    size_t IUnwritten() const override;
    // A link restarting on the line it is on still writes on its old
    // channel while that drains: the far end is the same, and the link,
    // up again, is not held back until the fresh channel opens.
    bool IWritesThrough() const override;
    // What the channel polls for: input while it is read, room after a
    // write that blocked.
    short wanted() const;
    // The channel is read: it is open, or drains for a restart.
    bool reading() const { return event.fd && (!draining() || mReopen); }
    // An activate's opening waits for the drain of the channel it had.
    void wait_for_drain();
    // The steps of activate on a closed channel.
    bool open();
    // The opening that waited for the drain, once the old channel went.
    void reopen();
    // Closes the channel: out of the index, not read, its paths let go.
    void close();
    // close(), and the trace line.
    void shut();
    // Idles the line side and disables the channel's own output, where
    // the link's own paths are still held.
    void disconnect();
    // Lets go of the idle byte of the line end it claims, if any.
    void leave_line();
    // The output the channel sends into.
    int line_output() const { return parameters.type == 2 ? parameters.transmit : parameters.tdm; }
    // The switch carries a path anew: the line may take what waits.
    void on_carried(int destination) override;
    // The link's own line paths are its own on the switch.
    HwMux::Owner owner() const { return HwMux::Owner{this, nullptr}; }
    // The idle byte of its line end is the link's too, apart from its paths.
    HwMux::Owner line_end() const { return HwMux::Owner{this, &lineEnd}; }

    bool ready = false;
    bool mEnded = false;
    // An activate waits for the drain: the fresh channel opens after it.
    bool mReopen = false;
    Event event;
    // A switch path of the channel: destination carries source.
    struct Path {
        int source = -1;
        int destination = -1;
    };
    Path toLine;   // the line's output carries this channel
    Path fromLine; // this channel's output carries the line
    int lineEnd = -1; // the output whose idle byte the link claims
    // The place of the link's path among the claims of the line's output
    // (at): the one an opening takes up, and the one it had on the line
    // it was last on (an opening refused elsewhere goes back to it).
    struct Place {
        int at = -1;
        uint64_t place = 0;
    };
    Place mPlace, mHad;
    bool mLatest = false;
    // The switch whose carried paths the channel hears, while it holds paths.
    HwMux* mListening = nullptr;
    // The controller channel the driver handed, held while open.
    HandedChannel channel;
    bool poolEmpty = false;
    // What on_event looks at after a callback, which may have closed the
    // channel (the epoch moves) or destroyed it (alive turns false).
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);
    unsigned epoch = 0;
};
