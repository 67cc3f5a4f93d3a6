#include "simboard/rtp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>
#include <sstream>

#include "simboard/test_port.h"

namespace SimBoard {

using namespace Device::Rtp;

namespace {

const size_t kHeader = 12; // RFC 3550 5.1, without CSRCs
const size_t kMaxPacket = 2048;
// Packets taken off a socket per loop pass, so one busy peer cannot hold the loop.
const int kPacketsPerPass = 64;

// The payload of an RTP packet of payload type pt, or false (RFC 3550 5.1:
// version 2, CSRC list, header extension, padding).
bool payload_of(const uint8_t* p, size_t size, uint8_t pt, const uint8_t*& payload, size_t& length)
{
    if (size < kHeader || (p[0] >> 6) != 2 || (p[1] & 0x7F) != pt)
        return false;
    size_t at = kHeader + 4 * (p[0] & 0x0F);
    if ((p[0] & 0x10) && at + 4 <= size)
        at += 4 + 4 * (size_t(p[at + 2]) << 8 | p[at + 3]);
    size_t end = size;
    if (p[0] & 0x20)
        end = p[size - 1] <= size ? size - p[size - 1] : 0;
    if (at > end)
        return false;
    payload = p + at;
    length = end - at;
    return true;
}

// The header extension of an RTP packet (RFC 3550 5.3.1): its profile and
// data, or false when it carries none.
bool extension_of(const uint8_t* p, size_t size, uint16_t& profile, const uint8_t*& data, size_t& length)
{
    if (size < kHeader || (p[0] >> 6) != 2 || !(p[0] & 0x10))
        return false;
    size_t at = kHeader + 4 * (p[0] & 0x0F);
    if (at + 4 > size)
        return false;
    profile = static_cast<uint16_t>(p[at] << 8 | p[at + 1]);
    length = 4 * (size_t(p[at + 2]) << 8 | p[at + 3]);
    if (at + 4 + length > size)
        return false;
    data = p + at + 4;
    return true;
}

std::string address(uint32_t addr, uint16_t port)
{
    in_addr a;
    a.s_addr = addr;
    return std::string(inet_ntoa(a)) + ":" + std::to_string(port);
}

} // namespace

RtpEngine::RtpEngine() : mRandom(std::random_device()())
{
    on(RTP_BEGIN_SESSION, [this](Session& s, Call& c) { return begin(s, c.record<rtp_connection_params>()); });
    on(RTP_ADD_CHANNEL, [this](Session& s, Call& c) { return add_channel(s, c.record<rtp_channel_info>()); });
    for (unsigned long n : {RTP_TEARDOWN_R3, RTP_TEARDOWN_R10, RTP_TEARDOWN_R11})
        on(n, [](Session&, Call&) { return 0; });
    for (bool start : {true, false})
        on(start ? RTP_INPUT_START : RTP_INPUT_STOP, [this, start](Session& s, Call&) {
            if (s.tdm < 0)
                return -EINVAL;
            mStates[s.tdm].input = start;
            return 0;
        });
    on(RTP_ATTACH_SESSION, [this](Session& s, Call& c) { return join(s, c.record<rtp_attach_session_params>()); });
    on(RTP_SET_EVENT, [](Session& s, Call& c) {
        auto& r = c.record<rtp_event>();
        if (r.type != kPacketDetection)
            return -EINVAL;
        s.detecting = true;
        s.detectTimeout = r.timeout;
        return 0;
    });
    on(RTP_RESET_EVENT, [](Session& s, Call& c) {
        if (c.record<uint32_t>() != kPacketDetection)
            return -EINVAL;
        s.detecting = false;
        return 0;
    });
}

void RtpEngine::on(unsigned long number, std::function<int(Session&, Call&)> handler)
{
    handle(number, [this, number, handler](Call& c) {
        auto it = mSessions.find(&c.channel);
        if (it == mSessions.end())
            return -ENODEV;
        int result = handler(*it->second, c);
        if (result == 0 && number != RTP_BEGIN_SESSION && number != RTP_ADD_CHANNEL)
            it->second->requests.push_back(number);
        return result;
    });
}

void RtpEngine::set_channels(unsigned channels)
{
    mCapacity = std::min(channels, kMaxChannels);
}

unsigned RtpEngine::free_channels() const
{
    sweep();
    unsigned used = 0;
    for (auto& t : mTaken)
        used += t.first < kFirstChannel + int32_t(mCapacity) ? 1 : 0;
    return mCapacity - used;
}

size_t RtpEngine::sessions() const
{
    sweep();
    return mSessions.size();
}

RtpEngine::Session* RtpEngine::lookup(int32_t tdm) const
{
    auto it = mTaken.find(tdm);
    return it == mTaken.end() ? nullptr : it->second;
}

const RtpEngine::Session* RtpEngine::session(int32_t tdm) const
{
    sweep();
    return lookup(tdm);
}

RtpEngine::ChannelState RtpEngine::channel_state(int32_t tdm) const
{
    auto it = mStates.find(tdm);
    return it == mStates.end() ? ChannelState() : it->second;
}

bool RtpEngine::post_event(int32_t tdm, const rtp_event& event)
{
    Session* s = const_cast<Session*>(session(tdm));
    return s && s->channel->post(&event, sizeof(event));
}

int RtpEngine::open(Channel& channel)
{
    auto s = std::make_unique<Session>();
    s->engine = this;
    s->channel = &channel;
    s->hangup.Bind("SimBoard::RtpEngine::OnHangUp", &Session::OnHangUp, s.get());
    s->hangup.Schedule(channel.peer, 0);
    mSessions[&channel] = std::move(s);
    return 0;
}

RtpEngine::Session* RtpEngine::session_of_descriptor(int fd) const
{
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0)
        return nullptr;
    for (auto& s : mSessions)
        if (s.first->ino == st.st_ino && s.first->dev == st.st_dev && s.first->open() && s.second->begun)
            return s.second.get();
    return nullptr;
}

int RtpEngine::join(Session& s, const rtp_attach_session_params& p)
{
    bool own = p.pid_rtp == -1 || p.pid_rtp == ::getpid();
    if (own ? !session_of_descriptor(p.fd_rtp) : !mRemotes.count({p.fd_rtp, p.pid_rtp}))
        return -EINVAL;
    s.joined = p;
    return 0;
}

void RtpEngine::closed(Channel& channel)
{
    auto it = mSessions.find(&channel);
    if (it == mSessions.end())
        return;
    Session& s = *it->second;
    for (ExtensionSink* sink : std::vector<ExtensionSink*>(s.sinks))
        sink->session_ended();
    if (s.tdm >= 0) {
        if (SwitchPath* p = path())
            p->detach(&s);
        mTaken.erase(s.tdm);
    }
    mSessions.erase(it);
}

int RtpEngine::begin(Session& s, const rtp_connection_params& p)
{
    if (s.begun)
        return -EBUSY;
    Fd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP));
    if (!sock)
        return -errno;
    int ttl = static_cast<int>(p.ttl), tos = static_cast<int>(p.tos);
    if (p.ttl != 0 && ::setsockopt(sock.get(), IPPROTO_IP, IP_TTL, &ttl, sizeof(ttl)) != 0)
        return -errno;
    if (p.tos != 0xFFFFFFFF && ::setsockopt(sock.get(), IPPROTO_IP, IP_TOS, &tos, sizeof(tos)) != 0)
        return -errno;
    sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = p.local_addr;
    local.sin_port = htons(p.local_port);
    if (::bind(sock.get(), reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0)
        return -errno;
    s.params = p;
    s.begun = true;
    s.socket = std::move(sock);
    s.event.Bind("SimBoard::RtpEngine::OnPacket", &Session::OnPacket, &s);
    s.event.Schedule(s.socket, POLLIN);
    return 0;
}

int RtpEngine::add_channel(Session& s, rtp_channel_info& info)
{
    if (!s.begun)
        return -EINVAL;
    if (s.tdm >= 0)
        return -EBUSY;
    int32_t tdm = info.tdm;
    if (tdm != -1 && mGiveNext != -1)
        tdm = std::exchange(mGiveNext, -1);
    if (tdm == -1) {
        tdm = kFirstChannel;
        while (tdm < kFirstChannel + int32_t(mCapacity) && mTaken.count(tdm))
            ++tdm;
        if (tdm == kFirstChannel + int32_t(mCapacity))
            return -ENOSPC;
        // A fresh channel: input stopped, numbering from a random start (RFC 3550 5.1).
        ChannelState& st = mStates[tdm];
        st = ChannelState();
        st.sequence = static_cast<uint16_t>(mRandom());
        st.timestamp = static_cast<uint32_t>(mRandom());
    } else if (tdm < kFirstChannel || tdm >= kFirstChannel + int32_t(mCapacity)) {
        return -EINVAL;
    } else if (mTaken.count(tdm)) {
        return -EBUSY;
    }
    mTaken[tdm] = &s;
    s.tdm = tdm;
    info.tdm = tdm;
    if (SwitchPath* p = path())
        p->attach(tdm, &s);
    return 0;
}

SwitchPath* RtpEngine::path() const
{
    return SwitchPath::of(board());
}

void RtpEngine::Session::OnPacket(int fd, short revents)
{
    if (!(revents & POLLIN))
        return;
    uint8_t buf[kMaxPacket];
    for (int i = 0; i < kPacketsPerPass; ++i) {
        sockaddr_in from = {};
        socklen_t fromLength = sizeof(from);
        ssize_t n = ::recvfrom(fd, buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n < 0)
            return;
        const uint8_t* payload = nullptr;
        size_t length = 0;
        uint16_t profile = 0;
        bool extended = extension_of(buf, static_cast<size_t>(n), profile, payload, length);
        if (extended) {
            uint32_t ssrc;
            std::memcpy(&ssrc, buf + 8, 4);
            for (ExtensionSink* sink : std::vector<ExtensionSink*>(sinks))
                if (sink->profile() == profile)
                    sink->extension(ntohl(ssrc), from.sin_addr.s_addr, payload, length);
        }
        if (!payload_of(buf, static_cast<size_t>(n), params.rx_pt & 0x7F, payload, length)) {
            ++dropped;
            continue;
        }
        // A packet that carries only signalling feeds no voice.
        if (extended && length == 0)
            continue;
        if (!admitted(from.sin_addr.s_addr))
            continue;
        ++received;
        SwitchPath* p = engine->path();
        if (p && tdm >= 0)
            p->send(tdm, payload, length);
    }
}

bool RtpEngine::Session::admitted(uint32_t addr)
{
    for (ExtensionSink* sink : sinks)
        if (!sink->admits(addr))
            return false;
    return true;
}

void RtpEngine::Session::OnHangUp(int, short revents)
{
    // The sweep ends this session: nothing of it is touched after.
    if (revents & (POLLHUP | POLLERR | POLLNVAL))
        engine->sweep();
}

bool RtpEngine::Session::receive(const void* data, size_t size)
{
    auto it = engine->mStates.find(tdm);
    if (it == engine->mStates.end() || !it->second.input || size > kMaxPacket - kHeader)
        return false;
    uint8_t packet[kMaxPacket];
    std::memcpy(packet + kHeader, data, size);
    if (!send_packet(packet, 0x80, kHeader + size))
        return false;
    it->second.timestamp += static_cast<uint32_t>(size);
    return true;
}

bool RtpEngine::Session::send_packet(uint8_t* packet, uint8_t first, size_t size)
{
    ChannelState& st = engine->mStates[tdm];
    packet[0] = first;
    packet[1] = params.tx_pt & 0x7F;
    uint16_t seq = htons(st.sequence);
    uint32_t ts = htonl(st.timestamp), ssrc = htonl(params.ssrc);
    std::memcpy(packet + 2, &seq, 2);
    std::memcpy(packet + 4, &ts, 4);
    std::memcpy(packet + 8, &ssrc, 4);
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = params.remote_addr;
    to.sin_port = htons(params.remote_port);
    if (::sendto(socket.get(), packet, size, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&to), sizeof(to)) < 0)
        return false;
    ++st.sequence;
    ++sent;
    return true;
}

bool RtpEngine::Session::send_extension(uint16_t profile, const void* data, size_t size)
{
    size_t words = (size + 3) / 4;
    if (!begun || tdm < 0 || kHeader + 4 + 4 * words > kMaxPacket)
        return false;
    uint8_t packet[kMaxPacket] = {};
    packet[kHeader] = static_cast<uint8_t>(profile >> 8);
    packet[kHeader + 1] = static_cast<uint8_t>(profile);
    packet[kHeader + 2] = static_cast<uint8_t>(words >> 8);
    packet[kHeader + 3] = static_cast<uint8_t>(words);
    std::memcpy(packet + kHeader + 4, data, size);
    return send_packet(packet, 0x90, kHeader + 4 + 4 * words);
}

std::string RtpEngine::describe(const Session& s) const
{
    const rtp_connection_params& p = s.params;
    std::ostringstream o;
    o << "local=" << address(p.local_addr, p.local_port) << " remote=" << address(p.remote_addr, p.remote_port)
      << " rx=" << p.rx_pt << " tx=" << p.tx_pt << " ssrc=0x" << std::hex << p.ssrc << std::dec << " ttl=" << p.ttl
      << " tos=0x" << std::hex << p.tos << std::dec << " input=" << channel_state(s.tdm).input
      << " detect=" << (s.detecting ? std::to_string(s.detectTimeout) : std::string("off"))
      << " received=" << s.received << " dropped=" << s.dropped << " sent=" << s.sent
      << " joined=" << s.joined.fd_rtp << "/" << s.joined.pid_rtp << " requests=";
    for (size_t i = 0; i < s.requests.size(); ++i)
        o << (i ? "," : "") << std::hex << s.requests[i] << std::dec;
    return o.str();
}

void RtpEngine::port_commands(TestPort& port)
{
    port.add("rtp-event", 4, "<channel> <type> <value> <timeout>", [this](const TestPort::Args& a) {
        int32_t tdm = 0;
        rtp_event e = {};
        if (!TestPort::number(a[0], tdm) || !TestPort::number(a[1], e.type) || !TestPort::number(a[2], e.value) ||
            !TestPort::number(a[3], e.timeout))
            return TestPort::error("bad number");
        return post_event(tdm, e) ? TestPort::ok() : TestPort::error("no session on channel " + a[0]);
    });
    port.add("rtp-remote", 2, "<fd> <pid>", [this](const TestPort::Args& a) {
        int32_t fd = 0, pid = 0;
        if (!TestPort::number(a[0], fd) || !TestPort::number(a[1], pid))
            return TestPort::error("bad number");
        register_remote(fd, pid);
        return TestPort::ok();
    });
    port.add("rtp-session", 1, "<channel>", [this](const TestPort::Args& a) {
        int32_t tdm = 0;
        if (!TestPort::number(a[0], tdm))
            return TestPort::error("bad channel " + a[0]);
        const Session* s = session(tdm);
        return s ? TestPort::ok(describe(*s)) : TestPort::error("no session on channel " + a[0]);
    });
}

} // namespace SimBoard
