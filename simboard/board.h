// A simulated board behind Device::Driver, for machines without the board's
// kernel drivers. Opening a known device path hands out one end of a fresh
// socket pair and keeps the other, so the descriptor is a real one (poll,
// dup, close and Events work unchanged); ioctl, read and write on it, or on
// any copy of it, reach the device's model. The board keeps the state a real
// board would (inside its models), logs every request it receives, and lets
// a test make requests fail and post device events. It never opens a file.
// When every descriptor of an open is closed, the model is told, as a driver
// learns of the last close of its file.
//
// A request finds its channel with no system call: a table from descriptor
// to channel is filled when the board opens the device and when a copy is
// made through the device interface (Fd copies are), and cleared by its
// close. A copy made behind the board's back is looked up once by its inode
// and then kept. A descriptor closed behind the board's back (a bare
// close(2)) leaves its entry until the number comes back: a fresh open or
// copy replaces it, a sweep that frees the channel drops it, and a request
// the model cannot serve there (a request number it does not know, or a
// descriptor that is no longer its socket) looks the descriptor up again
// before it is refused, so a number reused for a descriptor of no board
// device still reaches the kernel.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "board/device.h"
#include "runtime/fd.h"

namespace SimBoard {

// Fields of a request number (the direction bits are the board's).
inline unsigned record_size(unsigned long number) { return (number >> 16) & 0x1fff; }
inline bool passes_in(unsigned long number) { return (number & 0x80000000UL) != 0; }
inline bool passes_out(unsigned long number) { return (number & 0x40000000UL) != 0; }

enum class Op { open, ioctl, read, write };

// One request as the board received it.
struct Request {
    std::string device;
    Op op = Op::open;
    unsigned long number = 0;  // the ioctl request number
    std::vector<uint32_t> in;  // words of the record handed in (the last one
                               // zero-padded), or the plain value
    std::vector<uint32_t> out; // words of the record handed back
    std::string data;          // bytes written or read
    int error = 0;             // errno of a failed request, 0 when it succeeded
    int result = 0;            // what an ioctl that succeeded returned
    uint32_t ms = 0;           // Mux::milliseconds() on arrival
};

class Board;
class Model;
class NetInterfaces;
class TestPort;

// One open of a device. The board keeps the peer end of the socket pair
// whose other end it handed out.
struct Channel {
    // More records than a holder's send buffer can hold: a loop that takes
    // records off the board's end ends by this bound at the latest.
    static constexpr size_t kMaxRecords = 4096;

    Model* model = nullptr;
    std::string path;
    int flags = 0; // as given to open
    Fd peer;
    dev_t dev = 0;
    ino_t ino = 0;
    size_t readOffset = 0; // bytes of the first waiting record already read
    bool hungUp = false;
    bool told = false; // the model knows the channel is over
    bool gone = false; // being freed by a sweep
    unsigned busy = 0; // requests under way on it: a sweep leaves it be

    // True while the descriptor handed out, or a copy of it, is open and
    // the device has not hung it up.
    bool open() const;
    // Puts one record where the holder of the descriptor reads it (a device event).
    bool post(const void* data, size_t size);
    // The next record the holder wrote on the descriptor, "" when none.
    std::string take();
    // Takes what the holder wrote off the board's end unread, at most
    // kMaxRecords records; the number taken.
    size_t discard();
    // The device ends the channel, as a device removed under its holder:
    // the holder sees POLLHUP with POLLIN, reads the end of file once the
    // waiting records are read, and its requests and writes fail with
    // ENODEV. The model is told at once. The board closes its end but
    // remembers the channel, so the descriptor is still known as the
    // device's.
    void hang_up();

    // After a read of 0 octets at the board's end fd: true when nothing
    // more waits there. An empty record and the end of file both read 0;
    // the end is the holder's hang-up with no octet left behind it.
    static bool at_end(int fd);
};

// One ioctl as a model's handler sees it.
struct Call {
    Channel& channel;
    unsigned long number;
    void* arg;

    template <class T>
    T& record() const
    {
        return *static_cast<T*>(arg);
    }
    unsigned long value() const { return static_cast<unsigned long>(reinterpret_cast<uintptr_t>(arg)); }
};

// A device's behaviour. Requests are dispatched from a table of handlers
// by request number, so a device grows by registering more of them.
class Model {
public:
    // How the argument of a request travels: a pointer to a record of the
    // size the number gives, or the value itself.
    // `filled` is a record that the driver fills although the number
    // announces input only.
    enum class Arg { record, value, filled };
    // The request's result (0 or more), or minus the errno it fails with.
    using Handler = std::function<int(Call&)>;

    virtual ~Model() = default;

    // SOCK_SEQPACKET keeps the boundaries of records.
    virtual int socket_type() const { return SOCK_SEQPACKET; }
    // Bytes the socket may hold of what the holder writes on its descriptor
    // (SO_SNDBUF of the holder's end); 0 leaves the system's default.
    virtual int send_buffer() const { return 0; }
    // 0, or the errno the open fails with.
    virtual int open(Channel&) { return 0; }
    // Every descriptor of the channel was closed, or the device hung it up.
    // Called once; the channel goes away after the call.
    virtual void closed(Channel&) {}
    // Whether the model must hear of closed channels before a request on
    // it. Those that do get a sweep first when a descriptor was closed
    // since the last one; one that keeps no state per channel says no.
    virtual bool watches_closes() const { return true; }
    // Bytes moved, or minus an errno. By default the data travels through
    // the socket pair: a write lands at the peer, a read takes posted
    // records; a read shorter than a record takes its beginning and leaves
    // the rest for the next read, never joining two records.
    virtual ssize_t read(Channel& channel, int fd, void* buf, size_t count);
    virtual ssize_t write(Channel& channel, int fd, const void* buf, size_t count);
    // Whether what the holder wrote on the channel has all left, which a
    // driver's flush event (POLLWRNORM) reports; fd is the polled copy.
    virtual bool flushed(Channel&, int /*fd*/) { return true; }
    // Adds the words of this device to the board's test port.
    virtual void port_commands(TestPort&) {}

    // A plain request number carries no record size: size gives it, so
    // that the log shows the record's words.
    void handle(unsigned long number, Handler handler, Arg arg = Arg::record, unsigned size = 0);
    bool handles(unsigned long number) const { return mHandlers.count(number) != 0; }
    Arg arg(unsigned long number) const;
    // Bytes of the request's record: the size given to handle, else the number's.
    unsigned size(unsigned long number) const;
    // The result, or minus an errno; -ENOTTY for a request the device does not know.
    int ioctl(Call& call) const;

protected:
    // Tells the model of every channel closed since the last look, so that
    // what it reports is current; also closes made behind the board's back.
    void sweep() const;
    // Whether the board keeps histories (see Board::set_recording).
    bool recording() const;
    // The board that serves the model, null before it is added to one.
    Board* board() const { return mBoard; }

private:
    friend class Board;
    struct Entry {
        Arg arg;
        Handler handler;
        unsigned size;
    };
    std::map<unsigned long, Entry> mHandlers;
    Board* mBoard = nullptr;
};

class Board : public Device::Driver {
public:
    enum class Times { once, always };

    // A board with the model of every board device.
    Board();
    struct Empty {};
    // A board with no device at all.
    explicit Board(Empty);
    ~Board() override;
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;

    // Serves path with the model, replacing any model of that path (the
    // opens of the old one then reach the new one, which never heard of them).
    template <class M>
    M& add(const std::string& path, std::unique_ptr<M> model)
    {
        M& m = *model;
        install(path, std::move(model));
        return m;
    }
    // The model of path, null when there is none of that class.
    template <class M>
    M* find(const std::string& path) const
    {
        auto it = mModels.find(path);
        return it == mModels.end() ? nullptr : dynamic_cast<M*>(it->second.get());
    }

    // Calls f(path, model) for every device.
    template <class F>
    void each_model(F f) const
    {
        for (auto& m : mModels)
            f(m.first, *m.second);
    }

    // Device::Driver
    int open(const std::string& path, int flags) override;
    int ioctl(int fd, unsigned long request, void* arg) override;
    ssize_t read(int fd, void* buf, size_t count) override;
    ssize_t write(int fd, const void* buf, size_t count) override;
    int dup(int fd) override;
    int close(int fd) override;
    // The loop's poll hears a flush event only from a channel that flushed.
    void withhold(struct pollfd* fds, unsigned long nfds) override;

    // The next (or every) such request on the device fails with error;
    // error 0 takes back what was set for it. The first `after` such
    // requests pass: a failure in the middle of a run of them.
    void fail(const std::string& path, Op op, int error, Times times = Times::once);
    void fail(const std::string& path, unsigned long request, int error, Times times = Times::once,
              unsigned after = 0);
    // The next `count` such requests (of that number for Op::ioctl) fail.
    void fail_next(const std::string& path, Op op, unsigned long request, int error, unsigned count);
    void clear_failures() { mFailures.clear(); }

    // How many such requests (of any number for Op::ioctl) the device
    // received, failed ones included; counted whether or not the board
    // records.
    uint64_t count(const std::string& path, Op op) const;

    // The board's network interfaces, null on a board with no device.
    NetInterfaces* interfaces() const { return mInterfaces.get(); }

    // Every request received, oldest first.
    const std::vector<Request>& log() const { return mLog; }
    // On by default. Off, neither the board's request log nor the models'
    // histories grow: a board behind a long-running program keeps only
    // the devices' state.
    void set_recording(bool on) { mRecording = on; }
    bool recording() const { return mRecording; }
    void clear_log() { mLog.clear(); }
    // The ioctls with this number on the device, oldest first.
    std::vector<Request> ioctls(const std::string& path, unsigned long request) const;

    // The open channels of the device; valid until the next open.
    std::vector<Channel*> channels(const std::string& path);
    // How many descriptors of the process name a channel of the device,
    // hung up or not.
    size_t descriptors(const std::string& path) const;
    // Posts a device event to every open channel of the device; how many got it.
    size_t post(const std::string& path, const void* data, size_t size);
    // Tells the models of the channels whose every descriptor was closed.
    // Done before an open, before a request on a model that watches closes
    // when a descriptor was closed since, and by the models before they report.
    void sweep();

private:
    struct Failure {
        int error;
        Times times;
        unsigned after = 0;
        unsigned left = 1; // failures still to come, once
    };
    using FailureKey = std::tuple<std::string, Op, unsigned long>;

    void add_board_models();
    void install(const std::string& path, std::unique_ptr<Model> model);
    // 0 and the caller's descriptor in fd, or an errno.
    int attach(Model& model, const std::string& path, int flags, int& fd);
    // The channel of the descriptor from the table, else looked up and kept.
    Channel* channel_of(int fd);
    // The channel whose socket the descriptor is now (one fstat), or null.
    Channel* lookup(int fd) const;
    Channel* mapped(int fd) const
    {
        return fd >= 0 && static_cast<size_t>(fd) < mByFd.size() ? mByFd[static_cast<size_t>(fd)] : nullptr;
    }
    void map(int fd, Channel* channel);
    // True when the table's channel of the descriptor was stale: the entry
    // now holds what the descriptor is.
    bool remapped(int fd, Channel* channel);
    // channel_of, after a sweep when the channel's model needs one.
    Channel* serving(int fd);
    // Counts the request; left empty when the board keeps no log: nothing
    // is copied then.
    Request request_on(const Channel& channel, Op op, unsigned long number);
    void counted(const std::string& path, Op op) { ++mCounts[path][static_cast<size_t>(op)]; }
    // Logs a read or write and turns minus an errno into -1 and errno.
    ssize_t finish(Request r, ssize_t result);
    void set_failure(const FailureKey& key, int error, Times times, unsigned after = 0, unsigned left = 1);
    // The injected errno for the request, 0 when none.
    int injected(const std::string& path, Op op, unsigned long number);
    void log_in(Request& r, const Model& model, unsigned long request, const void* arg) const;

    std::map<std::string, std::unique_ptr<Model>> mModels;
    // Interface requests on an ordinary socket naming one of these reach
    // them; others reach the kernel.
    std::unique_ptr<NetInterfaces> mInterfaces;
    std::vector<std::unique_ptr<Channel>> mChannels;
    std::map<FailureKey, Failure> mFailures;
    // Per device, in the order of Op.
    std::map<std::string, std::array<uint64_t, 4>> mCounts;
    std::vector<Request> mLog;
    // Scratch of sweep(), kept to spare allocations.
    std::vector<pollfd> mPolled;
    std::vector<bool> mOver;
    // Indexed by descriptor; null where the board knows of no channel.
    std::vector<Channel*> mByFd;
    bool mRecording = true;
    bool mSweeping = false;
    // A descriptor was closed through the board since the last sweep.
    bool mSweepDue = false;
};

} // namespace SimBoard
