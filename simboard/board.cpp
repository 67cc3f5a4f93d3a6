#include "simboard/board.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "runtime/mux_time.h"
#include "simboard/modem.h"

namespace SimBoard {

// ---------------------------------------------------------------- Channel

bool Channel::open() const
{
    if (!peer || hungUp)
        return false;
    pollfd p{peer.get(), POLLIN, 0};
    return ::poll(&p, 1, 0) >= 0 && !(p.revents & (POLLHUP | POLLNVAL));
}

bool Channel::post(const void* data, size_t size)
{
    return peer && ::send(peer.get(), data, size, MSG_DONTWAIT | MSG_NOSIGNAL) == static_cast<ssize_t>(size);
}

std::string Channel::take()
{
    char buf[65536];
    ssize_t n = peer ? ::recv(peer.get(), buf, sizeof(buf), MSG_DONTWAIT) : -1;
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

size_t Channel::discard()
{
    size_t n = 0;
    for (; peer && n < kMaxRecords; ++n) {
        ssize_t size = ::recv(peer.get(), nullptr, 0, MSG_TRUNC | MSG_DONTWAIT);
        if (size < 0 || (size == 0 && at_end(peer.get())))
            break;
    }
    return n;
}

bool Channel::at_end(int fd)
{
    int waiting = 0;
    if (::ioctl(fd, SIOCINQ, &waiting) == 0 && waiting > 0)
        return false;
    pollfd p{fd, POLLIN | POLLRDHUP, 0};
    return ::poll(&p, 1, 0) != 1 || (p.revents & (POLLHUP | POLLRDHUP | POLLERR | POLLNVAL));
}

void Channel::hang_up()
{
    if (!peer)
        return;
    // What the holder wrote goes first: closing with it unread would reset
    // the holder's end instead of ending it.
    discard();
    peer.reset();
    hungUp = true;
    if (!told) {
        told = true;
        model->closed(*this);
    }
}

// ------------------------------------------------------------------ Model

ssize_t Model::read(Channel& channel, int fd, void* buf, size_t count)
{
    if (count == 0)
        return 0;
    // The whole record is looked at, and taken off only once read to its end.
    ssize_t size = ::recv(fd, nullptr, 0, MSG_PEEK | MSG_TRUNC);
    if (size <= 0) {
        // An empty record is taken off like any other; at the end of file
        // or on an error this reads nothing.
        ssize_t n = ::recv(fd, buf, count, 0);
        channel.readOffset = 0;
        return n < 0 ? -errno : n;
    }
    std::string record(static_cast<size_t>(size), '\0');
    if (::recv(fd, &record[0], record.size(), MSG_PEEK) != size)
        return -EIO;
    size_t n = std::min(count, record.size() - channel.readOffset);
    std::memcpy(buf, record.data() + channel.readOffset, n);
    channel.readOffset += n;
    if (channel.readOffset == record.size()) {
        ::recv(fd, nullptr, 0, MSG_TRUNC | MSG_DONTWAIT);
        channel.readOffset = 0;
    }
    return static_cast<ssize_t>(n);
}

ssize_t Model::write(Channel&, int fd, const void* buf, size_t count)
{
    ssize_t n = ::send(fd, buf, count, MSG_NOSIGNAL);
    return n < 0 ? -errno : n;
}

void Model::handle(unsigned long number, Handler handler, Arg arg, unsigned size)
{
    mHandlers[number] = Entry{arg, std::move(handler), size};
}

unsigned Model::size(unsigned long number) const
{
    auto it = mHandlers.find(number);
    return it != mHandlers.end() && it->second.size ? it->second.size : record_size(number);
}

Model::Arg Model::arg(unsigned long number) const
{
    auto it = mHandlers.find(number);
    return it == mHandlers.end() ? Arg::record : it->second.arg;
}

int Model::ioctl(Call& call) const
{
    auto it = mHandlers.find(call.number);
    if (it == mHandlers.end())
        return -ENOTTY;
    if (it->second.arg != Arg::value && size(call.number) > 0 && !call.arg)
        return -EFAULT;
    return it->second.handler(call);
}

void Model::sweep() const
{
    if (mBoard)
        mBoard->sweep();
}

bool Model::recording() const
{
    return !mBoard || mBoard->recording();
}

// ------------------------------------------------------------------ Board

Board::Board()
{
    add_board_models();
}

Board::Board(Empty) {}

Board::~Board()
{
    // The channels' own ends are closed through whatever driver is then
    // installed: never this one, half destroyed.
    if (&Device::driver() == this)
        Device::set_driver(nullptr);
    mChannels.clear();
}

void Board::install(const std::string& path, std::unique_ptr<Model> model)
{
    model->mBoard = this;
    auto& current = mModels[path];
    for (auto& ch : mChannels)
        if (current && ch->model == current.get()) {
            ch->model = model.get();
            ch->told = true;
        }
    current = std::move(model);
}

int Board::open(const std::string& path, int flags)
{
    sweep();
    Request r;
    r.device = path;
    r.op = Op::open;
    r.ms = Mux::milliseconds();
    auto it = mModels.find(path);
    if (it != mModels.end())
        counted(path, Op::open);
    r.error = it == mModels.end() ? ENOENT : injected(path, Op::open, 0);
    int fd = -1;
    if (!r.error)
        r.error = attach(*it->second, path, flags, fd);
    if (mRecording)
        mLog.push_back(r);
    if (r.error) {
        errno = r.error;
        return -1;
    }
    return fd;
}

// A fresh socket pair: one end for the caller, the other kept by the board.
int Board::attach(Model& model, const std::string& path, int flags, int& fd)
{
    int type = model.socket_type() | ((flags & O_CLOEXEC) ? SOCK_CLOEXEC : 0) |
               ((flags & O_NONBLOCK) ? SOCK_NONBLOCK : 0);
    int sv[2];
    if (::socketpair(AF_UNIX, type, 0, sv) != 0)
        return errno;
    auto ch = std::make_unique<Channel>();
    ch->model = &model;
    ch->path = path;
    ch->flags = flags;
    ch->peer.reset(sv[1]);
    if (int bytes = model.send_buffer())
        ::setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &bytes, sizeof(bytes));
    NonBlockMode(sv[1]);
    SetCloexec(sv[1], true);
    struct stat st;
    if (::fstat(sv[0], &st) == 0) {
        ch->dev = st.st_dev;
        ch->ino = st.st_ino;
    }
    if (int error = model.open(*ch)) {
        ::close(sv[0]);
        return error;
    }
    fd = sv[0];
    map(fd, ch.get());
    mChannels.push_back(std::move(ch));
    return 0;
}

namespace {
// Marks a channel as used by a request while the request lasts: a sweep
// from inside the request (a model reporting) must not free it.
class Busy {
public:
    explicit Busy(Channel* ch) : mChannel(ch)
    {
        if (mChannel)
            ++mChannel->busy;
    }
    ~Busy()
    {
        if (mChannel)
            --mChannel->busy;
    }
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;

private:
    Channel* mChannel;
};

// The record's words, the last one zero-padded.
std::vector<uint32_t> words_of(const void* record, size_t size)
{
    std::vector<uint32_t> words((size + 3) / 4, 0);
    std::memcpy(words.data(), record, size);
    return words;
}
} // namespace

int Board::ioctl(int fd, unsigned long request, void* arg)
{
    Channel* ch = serving(fd);
    if (!ch && mInterfaces && mInterfaces->serves(request, arg)) {
        int result = mInterfaces->ioctl(request, arg);
        errno = result < 0 ? -result : errno;
        return result < 0 ? -1 : result;
    }
    if (!ch)
        return ::ioctl(fd, request, arg);
    if (!ch->model->handles(request) && remapped(fd, ch))
        return ioctl(fd, request, arg);
    Busy inUse(ch);
    const Model& model = *ch->model;
    Request r = request_on(*ch, Op::ioctl, request);
    log_in(r, model, request, arg);
    int result = -injected(ch->path, Op::ioctl, request);
    if (result == 0 && ch->hungUp)
        result = -ENODEV;
    if (result == 0) {
        Call call{*ch, request, arg};
        result = model.ioctl(call);
    }
    if (mRecording) {
        Model::Arg kind = model.arg(request);
        if (result >= 0 && arg && kind != Model::Arg::value && (passes_out(request) || kind == Model::Arg::filled))
            r.out = words_of(arg, model.size(request));
        r.error = result < 0 ? -result : 0;
        r.result = result < 0 ? 0 : result;
        mLog.push_back(std::move(r));
    }
    if (result < 0) {
        errno = -result;
        return -1;
    }
    return result;
}

ssize_t Board::read(int fd, void* buf, size_t count)
{
    Channel* ch = serving(fd);
    if (!ch)
        return ::read(fd, buf, count);
    Busy inUse(ch);
    Request r = request_on(*ch, Op::read, 0);
    ssize_t n = -injected(ch->path, Op::read, 0);
    if (n == 0 && (ch->flags & O_ACCMODE) == O_WRONLY)
        n = -EBADF;
    if (n == 0)
        n = ch->model->read(*ch, fd, buf, count);
    if (n == -ENOTSOCK && remapped(fd, ch))
        return read(fd, buf, count);
    if (n >= 0 && mRecording)
        r.data.assign(static_cast<const char*>(buf), static_cast<size_t>(n));
    return finish(std::move(r), n);
}

ssize_t Board::write(int fd, const void* buf, size_t count)
{
    Channel* ch = serving(fd);
    if (!ch)
        return ::write(fd, buf, count);
    Busy inUse(ch);
    Request r = request_on(*ch, Op::write, 0);
    if (mRecording)
        r.data.assign(static_cast<const char*>(buf), count);
    ssize_t n = -injected(ch->path, Op::write, 0);
    if (n == 0 && ch->hungUp)
        n = -ENODEV;
    if (n == 0 && (ch->flags & O_ACCMODE) == O_RDONLY)
        n = -EBADF;
    if (n == 0)
        n = ch->model->write(*ch, fd, buf, count);
    if (n == -ENOTSOCK && remapped(fd, ch))
        return write(fd, buf, count);
    return finish(std::move(r), n);
}

ssize_t Board::finish(Request r, ssize_t result)
{
    r.error = result < 0 ? static_cast<int>(-result) : 0;
    if (mRecording)
        mLog.push_back(std::move(r));
    if (result < 0) {
        errno = static_cast<int>(-result);
        return -1;
    }
    return result;
}

void Board::fail(const std::string& path, Op op, int error, Times times)
{
    set_failure(FailureKey(path, op, 0), error, times);
}

void Board::fail(const std::string& path, unsigned long request, int error, Times times, unsigned after)
{
    set_failure(FailureKey(path, Op::ioctl, request), error, times, after);
}

void Board::fail_next(const std::string& path, Op op, unsigned long request, int error, unsigned count)
{
    if (count > 0)
        set_failure(FailureKey(path, op, op == Op::ioctl ? request : 0), error, Times::once, 0, count);
}

void Board::set_failure(const FailureKey& key, int error, Times times, unsigned after, unsigned left)
{
    if (error)
        mFailures[key] = Failure{error, times, after, left};
    else
        mFailures.erase(key);
}

uint64_t Board::count(const std::string& path, Op op) const
{
    auto it = mCounts.find(path);
    return it == mCounts.end() ? 0 : it->second[static_cast<size_t>(op)];
}

int Board::injected(const std::string& path, Op op, unsigned long number)
{
    if (mFailures.empty())
        return 0;
    auto it = mFailures.find(FailureKey(path, op, number));
    if (it == mFailures.end())
        return 0;
    if (it->second.after > 0) {
        --it->second.after;
        return 0;
    }
    int error = it->second.error;
    if (it->second.times == Times::once && --it->second.left == 0)
        mFailures.erase(it);
    return error;
}

std::vector<Request> Board::ioctls(const std::string& path, unsigned long request) const
{
    std::vector<Request> out;
    for (const Request& r : mLog)
        if (r.op == Op::ioctl && r.number == request && r.device == path)
            out.push_back(r);
    return out;
}

std::vector<Channel*> Board::channels(const std::string& path)
{
    std::vector<Channel*> out;
    for (auto& ch : mChannels)
        if (ch->path == path && ch->open())
            out.push_back(ch.get());
    return out;
}

size_t Board::descriptors(const std::string& path) const
{
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir)
        return 0;
    size_t n = 0;
    while (dirent* entry = ::readdir(dir)) {
        char* end = nullptr;
        long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != 0 || fd == ::dirfd(dir))
            continue;
        Channel* ch = lookup(static_cast<int>(fd));
        n += ch && ch->path == path ? 1 : 0;
    }
    ::closedir(dir);
    return n;
}

size_t Board::post(const std::string& path, const void* data, size_t size)
{
    size_t n = 0;
    for (Channel* ch : channels(path))
        n += ch->post(data, size) ? 1 : 0;
    return n;
}

int Board::dup(int fd)
{
    int copy = Driver::dup(fd);
    if (copy >= 0)
        map(copy, mapped(fd));
    return copy;
}

int Board::close(int fd)
{
    map(fd, nullptr);
    if (!mSweeping)
        mSweepDue = true;
    return Driver::close(fd);
}

void Board::map(int fd, Channel* channel)
{
    if (fd < 0)
        return;
    size_t i = static_cast<size_t>(fd);
    if (i >= mByFd.size()) {
        if (!channel)
            return;
        mByFd.resize(i + 1, nullptr);
    }
    mByFd[i] = channel;
}

Channel* Board::lookup(int fd) const
{
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode))
        return nullptr;
    for (auto& ch : mChannels)
        if (ch->ino == st.st_ino && ch->dev == st.st_dev && (ch->peer || ch->hungUp))
            return ch.get();
    return nullptr;
}

Channel* Board::channel_of(int fd)
{
    if (Channel* ch = mapped(fd))
        return ch;
    Channel* ch = lookup(fd);
    map(fd, ch);
    return ch;
}

void Board::withhold(struct pollfd* fds, unsigned long nfds)
{
    for (unsigned long i = 0; i < nfds; ++i) {
        if (!(fds[i].events & POLLWRNORM))
            continue;
        Channel* ch = mapped(fds[i].fd);
        if (ch && ch->model && !ch->model->flushed(*ch, fds[i].fd))
            fds[i].events = static_cast<short>(fds[i].events & ~POLLWRNORM);
    }
}

bool Board::remapped(int fd, Channel* channel)
{
    Channel* now = lookup(fd);
    map(fd, now);
    return now != channel;
}

Channel* Board::serving(int fd)
{
    Channel* ch = channel_of(fd);
    if (ch && mSweepDue && ch->model->watches_closes()) {
        Busy inUse(ch);
        sweep();
    }
    return ch;
}

// Channels whose every descriptor was closed are forgotten, so their
// sockets are freed and their inode numbers can never be mistaken. A hung
// up channel stays: its holder may still use the descriptor. One poll looks
// at every peer.
void Board::sweep()
{
    if (mSweeping)
        return;
    mSweeping = true;
    mSweepDue = false;
    size_t n = mChannels.size();
    mPolled.assign(n, pollfd{-1, POLLIN, 0});
    for (size_t i = 0; i < n; ++i)
        if (!mChannels[i]->hungUp && mChannels[i]->peer)
            mPolled[i].fd = mChannels[i]->peer.get();
    int ready = 0;
    do
        ready = n > 0 ? ::poll(mPolled.data(), n, 0) : 0;
    while (ready < 0 && errno == EINTR);
    // A poll that failed tells nothing about the channels: none is freed.
    mOver.assign(n, false);
    for (size_t i = 0; ready >= 0 && i < n; ++i) {
        const Channel& ch = *mChannels[i];
        mOver[i] = !ch.hungUp && !ch.busy && (!ch.peer || (mPolled[i].revents & (POLLHUP | POLLNVAL)));
    }
    for (size_t i = 0; i < n; ++i)
        if (mOver[i] && !mChannels[i]->told) {
            mChannels[i]->told = true;
            mChannels[i]->model->closed(*mChannels[i]);
        }
    bool freeing = false;
    for (size_t i = 0; i < n; ++i)
        if (mOver[i])
            freeing = mChannels[i]->gone = true;
    // Descriptors closed behind the board's back may still name them.
    if (freeing)
        for (Channel*& entry : mByFd)
            if (entry && entry->gone)
                entry = nullptr;
    size_t kept = 0;
    for (size_t i = 0; i < mChannels.size(); ++i)
        if (i >= n || !mOver[i])
            mChannels[kept++] = std::move(mChannels[i]);
    mChannels.resize(kept);
    mSweeping = false;
}

Request Board::request_on(const Channel& channel, Op op, unsigned long number)
{
    counted(channel.path, op);
    Request r;
    if (!mRecording)
        return r;
    r.device = channel.path;
    r.op = op;
    r.number = number;
    r.ms = Mux::milliseconds();
    return r;
}

void Board::log_in(Request& r, const Model& model, unsigned long request, const void* arg) const
{
    if (!mRecording)
        return;
    if (model.handles(request) && model.arg(request) == Model::Arg::value)
        r.in.push_back(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(arg)));
    else if (arg && (passes_in(request) || record_size(request) != model.size(request)))
        r.in = words_of(arg, model.size(request));
}

} // namespace SimBoard
