#include "simboard/rtp_ext.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "simboard/test_port.h"

namespace SimBoard {

using namespace Device::RtpExt;

void RtpExtDevice::Session::extension(uint32_t ssrc, uint32_t addr, const uint8_t* data, size_t size)
{
    device->queue(*this, ssrc, addr, std::string(reinterpret_cast<const char*>(data), size));
}

void RtpExtDevice::Session::detach()
{
    if (attached) {
        auto& sinks = attached->sinks;
        sinks.erase(std::remove(sinks.begin(), sinks.end(), this), sinks.end());
    }
    attached = nullptr;
}

RtpExtDevice::RtpExtDevice()
{
    handle(RTP_EXT_INIT, [this](Call& c) {
        Session* s = session(c.channel);
        if (!s || s->inited)
            return -EINVAL;
        s->init = c.record<rtp_ext_init_params>();
        s->inited = true;
        return 0;
    });
    on(RTP_EXT_ATTACH, [this](Session& s, Call& c) { return attach(s, c.record<rtp_ext_attach_session_params>()); });
    on(RTP_EXT_DETACH, [](Session& s, Call&) {
        if (!s.attached)
            return -EINVAL;
        s.detach();
        return 0;
    }, Arg::value);
    on(RTP_EXT_SOURCE, [](Session& s, Call& c) {
        if (s.sources.empty())
            return -EAGAIN;
        c.record<rtp_ext_source>() = s.sources.front();
        return static_cast<int>(s.sources.size());
    });
    on(RTP_EXT_SET_FILTER, [](Session& s, Call& c) {
        s.filter = c.record<rtp_ext_filter>().addr;
        s.filtering = true;
        return 0;
    });
    on(RTP_EXT_RESET_FILTER, [](Session& s, Call&) {
        s.filter = 0;
        s.filtering = false;
        return 0;
    }, Arg::value);
}

void RtpExtDevice::on(unsigned long number, std::function<int(Session&, Call&)> handler, Arg arg)
{
    handle(number, [this, handler](Call& c) {
        Session* s = session(c.channel);
        return s && s->inited ? handler(*s, c) : -EINVAL;
    }, arg);
}

RtpExtDevice::Session* RtpExtDevice::session(Channel& channel) const
{
    auto it = mSessions.find(&channel);
    return it == mSessions.end() ? nullptr : it->second.get();
}

RtpEngine* RtpExtDevice::engine() const
{
    return board() ? board()->find<RtpEngine>(Device::Rtp::kDevice) : nullptr;
}

int RtpExtDevice::attach(Session& s, const rtp_ext_attach_session_params& p)
{
    RtpEngine* e = engine();
    RtpEngine::Session* rtp = nullptr;
    if (e && (p.pid_rtp == -1 || p.pid_rtp == ::getpid()))
        rtp = e->session_of_descriptor(p.fd_rtp);
    if (!rtp)
        return -EINVAL;
    s.detach();
    s.attached = rtp;
    rtp->sinks.push_back(&s);
    return 0;
}

std::vector<RtpExtDevice::Session*> RtpExtDevice::sessions() const
{
    sweep();
    std::vector<Session*> out;
    for (auto& s : mSessions)
        if (s.first->open())
            out.push_back(s.second.get());
    return out;
}

bool RtpExtDevice::Session::admits(uint32_t addr)
{
    // A session whose last descriptor was closed filters nothing, also
    // before a sweep has told the device.
    if (!filtering || addr == filter || !channel->open())
        return true;
    ++dropped;
    return false;
}

bool RtpExtDevice::queue(Session& s, uint32_t ssrc, uint32_t addr, const std::string& payload)
{
    // An empty extension carries nothing to read: as a record it would
    // read as the session's end.
    if (payload.empty() || payload.size() > kMaxPayload || !s.channel->post(payload.data(), payload.size()))
        return false;
    s.sources.push_back(rtp_ext_source{ssrc, addr, 0});
    return true;
}

int RtpExtDevice::open(Channel& channel)
{
    auto s = std::make_unique<Session>();
    s->device = this;
    s->channel = &channel;
    mSessions[&channel] = std::move(s);
    return 0;
}

void RtpExtDevice::closed(Channel& channel)
{
    auto it = mSessions.find(&channel);
    if (it == mSessions.end())
        return;
    it->second->detach();
    mSessions.erase(it);
}

ssize_t RtpExtDevice::read(Channel& channel, int fd, void* buf, size_t count)
{
    Session* s = session(channel);
    // What waited when the device ended the session is still read.
    if (!s)
        return Model::read(channel, fd, buf, count);
    if (!s->inited)
        return -EINVAL;
    ssize_t n = Model::read(channel, fd, buf, count);
    if (n > 0 && channel.readOffset == 0 && !s->sources.empty())
        s->sources.pop_front();
    return n;
}

ssize_t RtpExtDevice::write(Channel& channel, int, const void* buf, size_t count)
{
    Session* s = session(channel);
    if (!s || !s->inited)
        return -EINVAL;
    if (count > kMaxPayload)
        return -EMSGSIZE;
    s->written.emplace_back(static_cast<const char*>(buf), count);
    if (s->attached && !s->attached->send_extension(s->init.etype, buf, count))
        return -EIO;
    return static_cast<ssize_t>(count);
}

void RtpExtDevice::port_commands(TestPort& port)
{
    // To every extension session riding the RTP session on the channel.
    port.add("rtp-ext", 4, "<channel> <ssrc> <addr> <hex>", [this](const TestPort::Args& a) {
        int32_t tdm = 0;
        uint32_t ssrc = 0;
        in_addr addr;
        std::string bytes;
        if (!TestPort::number(a[0], tdm) || !TestPort::number(a[1], ssrc) || ::inet_pton(AF_INET, a[2].c_str(), &addr) != 1)
            return TestPort::error("bad channel, ssrc or address");
        if (a[3].size() % 2 || a[3].find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
            return TestPort::error("bad hex " + a[3]);
        for (size_t i = 0; i < a[3].size(); i += 2)
            bytes.push_back(static_cast<char>(std::stoul(a[3].substr(i, 2), nullptr, 16)));
        RtpEngine* e = engine();
        const RtpEngine::Session* rtp = e ? e->session(tdm) : nullptr;
        if (!rtp)
            return TestPort::error("no session on channel " + a[0]);
        size_t queued = 0;
        for (Session* s : sessions())
            if (s->attached == rtp)
                queued += queue(*s, ssrc, addr.s_addr, bytes) ? 1 : 0;
        return TestPort::ok(std::to_string(queued));
    });
}

} // namespace SimBoard
