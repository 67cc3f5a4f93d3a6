#include "signalling/hdlc.h"

#include <fcntl.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <new>

#include "board/device.h"
#include "board/mcc_requests.h"
#include "runtime/ext.h"
#include "runtime/trace_ctl.h"
#include "server/switch/hw_mux.h"

namespace Mcc = Device::Mcc;

namespace {
// The controller's mode for each channel type (SS7, data, BRI).
const uint32_t kModes[] = {Mcc::kSs7, Mcc::kData, Mcc::kBri};

// Where a frame goes when no packet buffer is free: it is read and dropped,
// so the driver's queue moves on.
unsigned char gScratch[HDLC::kMaxFrame];
} // namespace

HDLC::HDLC(unsigned n) : number(n)
{
    unbind();
}

HDLC::~HDLC()
{
    *alive = false;
    channel.Release();
    event.Release();
    disconnect();
    leave_line();
}

void HDLC::unbind()
{
    struct Stub : Notify {
        void on_hdlc_receive(Packet&) override {}
        void on_hdlc_error(Cause::Type) override {}
        void on_hdlc_ready() override {}
    };
    static Stub stub;
    notify = &stub;
}

void HDLC::PutHeader(std::ostream& out) const
{
    out << "hdlc [" << number << "/" << parameters.trunk_timeslot << "]: ";
}

bool HDLC::activate()
{
    const int out = line_output();
    if (mLatest || mHad.at != out)
        mPlace = Place{out, HwMux::instance()->NewPlace()};
    else
        mPlace = mHad;
    mLatest = false;
    if (is_open() || draining()) {
        deactivate();
        if (draining()) {
            wait_for_drain();
            return true;
        }
    }
    return open();
}

void HDLC::reopen()
{
    if (!mReopen)
        return;
    mReopen = false;
    HwMux::Holding wishes;
    if (open())
        return;
    mEnded = true;
    notify->on_hdlc_error(Notify::Cause::read_error);
}

bool HDLC::open()
{
    shut();
    mEnded = false;
    statistics = Statistics();
    if (parameters.type < 0 || parameters.type > 2) {
        std::cerr << ext::header(this) << "unknown channel type " << parameters.type << std::endl;
        return false;
    }
    Fd fd(Device::open(Mcc::kDevice, O_RDWR | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        int err = errno;
        std::cerr << ext::header(this) << "fail to open MCC device: " << std::strerror(err) << std::endl;
        return false;
    }
    Mcc::Allocation record{kModes[parameters.type], 512, 0, 1, 4};
    if (Device::ioctl(fd.get(), Mcc::MCC_ALLOCATE, &record) != 0) {
        int err = errno;
        std::cerr << ext::header(this) << "MCC_ALLOCATE fail: " << std::strerror(err) << std::endl;
        return false;
    }
    int t = Device::ioctl(fd.get(), Mcc::MCC_TIMESLOT);
    if (t < 0) {
        int err = errno;
        std::cerr << ext::header(this) << "MCC_TIMESLOT fail: " << std::strerror(err) << std::endl;
        return false;
    }
    // The reader first: a channel that cannot be read is not held.
    event.Bind("HDLC::OnEvent", &HDLC::on_event, this);
    if (!event.Schedule(fd, POLLIN | POLLOUT)) {
        int err = errno;
        std::cerr << ext::header(this) << "fail to watch MCC device: " << std::strerror(err) << std::endl;
        return false;
    }
    // Whoever still names the channel lost it, before the switch joins it.
    // The reader reads the channel's end itself.
    channel.Take(*this, t, event.fd, &event, false);
    HwMux& mux = *HwMux::instance();
    const int out = line_output();
    // Heard before the join: a switch that carries it at once says so.
    mListening = &mux;
    mux.Listen(this);
    const uint64_t place = mPlace.at == out ? mPlace.place : 0;
    if (mux.Join(t, out, owner(), place) == HwMux::Joined::refused) {
        std::cerr << ext::header(this) << "switch connect fail: " << t << " -> " << out << std::endl;
        close();
        return false;
    }
    toLine = Path{t, out};
    mHad = mPlace = Place{out, mux.Place(out, owner())};
    if (mux.Join(parameters.tdm, t, owner()) == HwMux::Joined::refused) {
        std::cerr << ext::header(this) << "switch connect fail: " << parameters.tdm << " -> " << t << std::endl;
        close();
        return false;
    }
    fromLine = Path{parameters.tdm, t};
    // On a line again: the idle byte of the line it left is no longer its.
    leave_line();
    ready = false;
    poolEmpty = false;
    if (traces.signallingHdlc)
        std::clog << ext::header(this) << "activated" << std::endl;
    return true;
}

void HDLC::deactivate(bool orderly)
{
    // Let go in order already: whoever waits for the drain goes on
    // waiting, and the link no longer reads it.
    if (orderly && draining()) {
        mReopen = false;
        channel.Hear(nullptr);
        event.SetEvents(wanted());
        return;
    }
    mReopen = false;
    if (is_open() && channel.EndPending())
        return;
    // What the receiver queues from now on is for the next channel: the
    // drain takes only what it had queued.
    if (!orderly || !is_open() || !channel.Drain()) {
        shut();
        return;
    }
    // Not read any more; the drain holds the channel, and what the
    // receiver still queues is written on as the channel takes it.
    ++epoch;
    event.SetEvents(wanted());
    if (traces.signallingHdlc)
        std::clog << ext::header(this) << "deactivated" << std::endl;
}

// The link lives on and wants what arrives: the old channel is read while
// it drains, as before the restart, and the fresh one opens after it.
void HDLC::wait_for_drain()
{
    mReopen = true;
    channel.Hear(&event);
    event.SetEvents(wanted());
}

// The old channel's paths are the line the fresh one opens on.
bool HDLC::IWritesThrough() const
{
    const int out = parameters.type == 2 ? parameters.transmit : parameters.tdm;
    return mReopen && toLine.destination == out && fromLine.source == parameters.tdm;
}

void HDLC::IChannelDrained()
{
    close();
    reopen();
}

size_t HDLC::IUnwritten() const
{
    // A line the switch does not carry takes nothing: what the receiver
    // queues waits for the next channel, not for this drain.
    return line_carried() ? notify->hdlc_unwritten() : 0;
}

bool HDLC::writable() const
{
    return (is_open() || (draining() && event.fd && channel.takes())) && line_carried();
}

bool HDLC::line_carried() const
{
    return mListening && toLine.destination >= 0 && mListening->Carried(toLine.source, toLine.destination);
}

// Called inside a switch change: the receiver writes, and touches no switch.
void HDLC::on_carried(int destination)
{
    if (destination == toLine.destination && ready && writable())
        notify->on_hdlc_ready();
}

short HDLC::wanted() const
{
    return static_cast<short>((reading() ? POLLIN : 0) | (ready ? 0 : POLLOUT));
}

void HDLC::shut()
{
    close();
    ready = false;
    if (traces.signallingHdlc)
        std::clog << ext::header(this) << "deactivated" << std::endl;
}

// A release that the switch does not take stays owed by it. The line's
// output is left idle, its line end, which the link claims until it is on
// a line again or goes; the channel's own output is disabled. A path that
// another maker holds on either by now is left to it.
void HDLC::disconnect()
{
    if (mListening)
        mListening->Unlisten(this);
    mListening = nullptr;
    if (toLine.destination < 0 && fromLine.destination < 0)
        return;
    HwMux& mux = *HwMux::instance();
    if (toLine.destination >= 0) {
        leave_line();
        mux.End(toLine.destination, owner(), line_end());
        lineEnd = toLine.destination;
    }
    if (fromLine.destination >= 0)
        mux.Leave(fromLine.destination, owner(), true);
    toLine = fromLine = Path();
}

void HDLC::lose_line(int channel)
{
    if (lineEnd < 0 || lineEnd != channel)
        return;
    HwMux::instance()->Leave(lineEnd, line_end(), true);
    lineEnd = -1;
}

void HDLC::leave_line()
{
    if (lineEnd >= 0)
        HwMux::instance()->Leave(lineEnd, line_end());
    lineEnd = -1;
}

// A channel that is over is closed in the same call: polling it again
// would report it on every pass. Nothing runs after a callback that closed
// or destroyed the channel.
void HDLC::on_event(int, short revents)
{
    if (!event.fd)
        return;
    std::shared_ptr<bool> living = alive;
    unsigned start = epoch;
    // A drain that the link does not read (do_read) leaves the channel's
    // end to its handle; one it reads ends as the handle would end it.
    if (Device::End end = do_read(revents)) {
        IChannelLost(end);
        return;
    }
    if (!*living || epoch != start || !(revents & POLLOUT) || ready)
        return;
    ready = true;
    event.SetEvents(wanted());
    notify->on_hdlc_ready();
}

Device::End HDLC::do_read(short revents)
{
    if (traces.signallingHdlc && (revents & POLLIN))
        std::clog << ext::header(this) << "do_read" << std::endl;
    if (!reading()) {
        if (traces.signallingHdlc)
            std::clog << ext::header(this) << "do_read: !m_event.IsActive()" << std::endl;
        return Device::End();
    }
    return read_one(event.fd.get(), revents, poolEmpty, this, [this](Packet& frame) {
        if (traces.signallingHdlc)
            std::clog << "HDLC[" << number << "]: rx " << frame.text() << std::endl;
        ++statistics.rxSU;
        notify->on_hdlc_receive(frame);
    });
}

ssize_t HDLC::read_frame(int fd, Packet& frame)
{
    unsigned char* into = gScratch;
    try {
        frame.reserve_head(0);
        into = frame->data;
    } catch (const std::bad_alloc&) {
        frame = Packet();
    }
    return Device::read(fd, into, kMaxFrame);
}

// A loss while the last frames leave ends the drain at once: the link
// was already deactivated.
void HDLC::IChannelLost(const Device::End& end)
{
    if (is_open()) {
        fail(end.why);
        return;
    }
    mEnded = true;
    close();
    reopen();
}

// Out of the index before the switch lets go: the paths it still holds
// are the link's alone.
void HDLC::close()
{
    ++epoch;
    channel.Release();
    event.Release();
    disconnect();
}

void HDLC::fail(const char* why)
{
    std::cerr << ext::header(this) << "read error: " << why << std::endl;
    shut();
    mEnded = true;
    notify->on_hdlc_error(Notify::Cause::read_error);
}

bool HDLC::hdlc_transmit(Packet& frame)
{
    if (frame.length() == 0)
        return true;
    if (!writable()) {
        ++statistics.txDiscard;
        return false;
    }
    if (traces.signallingHdlc)
        std::clog << "HDLC[" << number << "]: tx " << frame.text() << std::endl;
    size_t size = static_cast<size_t>(frame.length());
    ssize_t n = channel.Write(frame.get()->data, size);
    if (n == static_cast<ssize_t>(size)) {
        ++statistics.txSU;
        return true;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        ready = false;
        event.SetEvents(wanted());
        return false;
    }
    // A frame cut short is as lost as one refused.
    ++statistics.txError;
    return false;
}
