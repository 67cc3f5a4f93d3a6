#include "simboard/test_port.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>

#include "simboard/board.h"

namespace SimBoard {

namespace {

const size_t kMaxCommand = 65536;

TestPort::Args words_of(const std::string& line)
{
    TestPort::Args words;
    std::istringstream in(line);
    for (std::string w; in >> w;)
        words.push_back(w);
    return words;
}

bool bytes_of(const std::string& hex, std::string& bytes)
{
    if (hex.size() % 2 != 0)
        return false;
    bytes.clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        char pair[3] = {hex[i], hex[i + 1], 0};
        char* end = nullptr;
        if (!std::isxdigit(static_cast<unsigned char>(pair[0])) || !std::isxdigit(static_cast<unsigned char>(pair[1])))
            return false;
        bytes.push_back(static_cast<char>(std::strtoul(pair, &end, 16)));
    }
    return true;
}

// "open", "read", "write", or an ioctl request number.
bool operation(const std::string& text, Op& op, uint32_t& request)
{
    request = 0;
    if (text == "open" || text == "read" || text == "write") {
        op = text == "open" ? Op::open : text == "read" ? Op::read : Op::write;
        return true;
    }
    op = Op::ioctl;
    return TestPort::number(text, request);
}

std::string hex_words(const std::vector<uint32_t>& words)
{
    std::ostringstream o;
    o << std::hex;
    for (size_t i = 0; i < words.size(); ++i)
        o << (i ? "," : "") << words[i];
    return o.str();
}

} // namespace

TestPort::TestPort(Board& board) : mBoard(board)
{
    add_board_commands();
    board.each_model([this](const std::string&, Model& m) { m.port_commands(*this); });
}

TestPort::~TestPort() = default;

std::string TestPort::name(pid_t pid)
{
    return "voxbridge-simboard-" + std::to_string(pid);
}

bool TestPort::open(pid_t pid)
{
    Fd s(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    sockaddr_un a = {};
    a.sun_family = AF_UNIX;
    std::string n = name(pid);
    // An abstract name: a leading zero byte, no file.
    std::memcpy(a.sun_path + 1, n.data(), n.size());
    socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n.size());
    if (!s || ::bind(s.get(), reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(s.get(), 8) != 0) {
        std::cerr << "simulated board: test port " << n << " not served: " << std::strerror(errno) << std::endl;
        return false;
    }
    mListen.Bind("SimBoard::TestPort::OnAccept", &TestPort::OnAccept, this);
    mListen.Schedule(s, POLLIN);
    mPasses.Bind(this, &TestPort::OnPass);
    mPasses.Activate();
    return true;
}

void TestPort::OnAccept(int fd, short revents)
{
    if (!(revents & POLLIN))
        return;
    // Connections that ended are dropped here, outside their own handlers.
    mConnections.erase(std::remove_if(mConnections.begin(), mConnections.end(),
                                      [](const std::unique_ptr<Connection>& c) { return !c->event.fd; }),
                       mConnections.end());
    Fd c(::accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!c)
        return;
    auto conn = std::make_unique<Connection>();
    conn->port = this;
    conn->event.Bind("SimBoard::TestPort::OnCommand", &Connection::OnCommand, conn.get());
    conn->event.Schedule(c, POLLIN);
    mConnections.push_back(std::move(conn));
}

void TestPort::Connection::OnCommand(int fd, short revents)
{
    if (revents & POLLIN) {
        std::string buf(kMaxCommand, '\0');
        ssize_t n = ::recv(fd, &buf[0], buf.size(), 0);
        if (n > 0) {
            std::string answer = port->execute(buf.substr(0, static_cast<size_t>(n))) + "\n";
            ::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            return;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        event.Release();
        return;
    }
    if (revents & (POLLHUP | POLLERR | POLLNVAL))
        event.Release();
}

void TestPort::add(const std::string& word, size_t args, const std::string& usage, Command command)
{
    mCommands[word] = Entry{args, usage, std::move(command)};
}

std::string TestPort::execute(const std::string& line)
{
    Args words = words_of(line);
    if (words.empty())
        return error("empty command");
    auto it = mCommands.find(words[0]);
    if (it == mCommands.end())
        return error("unknown command " + words[0]);
    Args args(words.begin() + 1, words.end());
    const Entry& e = it->second;
    // An optional last word is counted by its usage, in brackets.
    bool optional = e.usage.find('[') != std::string::npos;
    if (args.size() != e.args && !(optional && args.size() == e.args + 1))
        return error("usage: " + words[0] + " " + e.usage);
    return e.command(args);
}

bool TestPort::number(const std::string& text, int64_t& value)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(text.c_str(), &end, 0);
    if (*end != '\0' || errno != 0)
        return false;
    value = v;
    return true;
}

bool TestPort::number(const std::string& text, uint32_t& value)
{
    int64_t v = 0;
    if (!number(text, v) || v < 0 || v > int64_t(UINT32_MAX))
        return false;
    value = static_cast<uint32_t>(v);
    return true;
}

bool TestPort::number(const std::string& text, int32_t& value)
{
    int64_t v = 0;
    if (!number(text, v) || v < INT32_MIN || v > INT32_MAX)
        return false;
    value = static_cast<int32_t>(v);
    return true;
}

std::string TestPort::ok(const std::string& text)
{
    return text.empty() ? "ok" : "ok " + text;
}

std::string TestPort::error(const std::string& text)
{
    return "error " + text;
}

void TestPort::add_board_commands()
{
    add("post", 2, "<device> <hex>", [this](const Args& a) {
        std::string bytes;
        if (!bytes_of(a[1], bytes) || bytes.empty())
            return error("bad hex " + a[1]);
        return ok(std::to_string(mBoard.post(a[0], bytes.data(), bytes.size())));
    });
    // The next such request fails, the next <count> of them, or every one.
    add("fail", 3, "<device> <open|read|write|request number> <errno> [always|<count>]", [this](const Args& a) {
        Op op;
        uint32_t request = 0;
        int32_t err = 0;
        uint32_t count = 1;
        if (!operation(a[1], op, request))
            return error("bad request " + a[1]);
        if (!number(a[2], err) || err < 0)
            return error("bad errno " + a[2]);
        const bool always = a.size() == 4 && a[3] == "always";
        if (a.size() == 4 && !always && (!number(a[3], count) || count == 0))
            return error("bad count " + a[3]);
        if (always && op == Op::ioctl)
            mBoard.fail(a[0], request, err, Board::Times::always);
        else if (always)
            mBoard.fail(a[0], op, err, Board::Times::always);
        else
            mBoard.fail_next(a[0], op, request, err, count);
        return ok();
    });
    // The device ends every open descriptor: POLLHUP for its holder.
    add("hangup", 1, "<device>", [this](const Args& a) {
        std::vector<Channel*> open = mBoard.channels(a[0]);
        for (Channel* ch : open)
            ch->hang_up();
        return ok(std::to_string(open.size()));
    });
    add("descriptors", 1, "<device>", [this](const Args& a) { return ok(std::to_string(mBoard.descriptors(a[0]))); });
    add("count", 2, "<device> <open|read|write|request>", [this](const Args& a) {
        Op op;
        uint32_t request = 0;
        if (a[1] == "request")
            op = Op::ioctl;
        else if (!operation(a[1], op, request) || op == Op::ioctl)
            return error("bad operation " + a[1]);
        return ok(std::to_string(mBoard.count(a[0], op)));
    });
    add("passes", 0, "", [this](const Args&) { return ok(std::to_string(mDpcRuns / 2)); });
    add("record", 1, "on|off", [this](const Args& a) {
        if (a[0] != "on" && a[0] != "off")
            return error("usage: record on|off");
        mBoard.set_recording(a[0] == "on");
        return ok();
    });
    // The count, then per request the words handed in and "=result" or "!errno".
    add("log", 2, "<device> <request>", [this](const Args& a) {
        uint32_t request = 0;
        if (!number(a[1], request))
            return error("bad request " + a[1]);
        std::vector<Request> found = mBoard.ioctls(a[0], request);
        std::ostringstream o;
        o << found.size();
        for (const Request& r : found)
            o << ' ' << hex_words(r.in) << (r.error ? "!" : "=") << (r.error ? r.error : r.result);
        return ok(o.str());
    });
}

} // namespace SimBoard
