#include "media/auth_client.h"

#include <unistd.h>

#include <cerrno>
#include <iostream>

#include "media/modem_factory.h"
#include "runtime/ext.h"

bool Auth::ia5(const std::string& text)
{
    for (char c : text)
        if (static_cast<unsigned char>(c) > 0x7F)
            return false;
    return true;
}

// ------------------------------------------------------------------- attr

uint32_t attr::word(size_t offset) const
{
    if (offset + 4 > mSize)
        return 0;
    const uint8_t* p = mBytes + offset;
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

uint64_t attr::dword(size_t offset) const
{
    return uint64_t(word(offset)) << 32 | word(offset + 4);
}

std::string attr::text(size_t offset, size_t size) const
{
    if (offset >= mSize)
        return std::string();
    size = std::min(size, mSize - offset);
    const char* begin = reinterpret_cast<const char*>(mBytes + offset);
    size_t n = 0;
    while (n < size && begin[n] != '\0')
        ++n;
    return std::string(begin, n);
}

std::string attr::make(uint32_t type, int32_t session, std::initializer_list<uint32_t> words)
{
    std::string r;
    auto put = [&r](uint32_t w) {
        for (int shift = 24; shift >= 0; shift -= 8)
            r += static_cast<char>((w >> shift) & 0xff);
    };
    put(static_cast<uint32_t>(Auth::kHeaderSize + 4 * words.size()));
    put(type);
    put(static_cast<uint32_t>(session));
    for (uint32_t w : words)
        put(w);
    return r;
}

// ------------------------------------------------------------- AuthClient

AuthClient::AuthClient(Fd fd, const INet4::Addr& peer, ModemFactory& factory) : mPeer(peer), mFactory(factory)
{
    mEvent.Bind("AuthClient::OnSocketEvent", &AuthClient::OnSocketEvent, this);
    mEvent.fd = std::move(fd);
}

void AuthClient::PutHeader(std::ostream& out) const
{
    mFactory.PutHeader(out);
}

// The Event watches the accepted descriptor itself: at the descriptor
// limit, a copy would fail and leave the connection unserved.
void AuthClient::Activate()
{
    mEvent.Schedule(mEvent.fd, POLLIN);
}

void AuthClient::OnSocketEvent(int fd, short revents)
{
    ++mBusy;
    if (revents & (POLLERR | POLLHUP))
        Disconnect();
    else if ((revents & POLLIN) && !Receive(fd))
        Disconnect();
    Leave();
}

bool AuthClient::Receive(int fd)
{
    mRecordsThisPass = 0;
    while (!closed() && mRecordsThisPass < Auth::kRecordsPerPass) {
        ssize_t n = ::read(fd, mBuffer + mPos, mAwait - mPos);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        if (n <= 0)
            return false;
        mPos += static_cast<size_t>(n);
        if (mPos == mAwait && !Complete())
            return false;
    }
    return true;
}

bool AuthClient::Complete()
{
    attr record(mBuffer, mPos);
    uint32_t size = record.word(0);
    if (size < Auth::kSizeWord || size > Auth::kMaxSize)
        return false;
    if (mPos < size) {
        mAwait = size;
        return true;
    }
    mPos = 0;
    mAwait = Auth::kSizeWord;
    ++mRecordsThisPass;
    // Without its own type and session a record would be read from the
    // bytes of the one before.
    if (size < Auth::kHeaderSize) {
        if (!mRuns.refused)
            std::cerr << ext::header(this) << "auth record too short: " << size << ", dropped." << std::endl;
        mRuns.refused = true;
        return true;
    }
    mSession = record.session();
    if (mFactory.OnAuth(attr(mBuffer, size), &mRuns))
        mSpoken = true;
    return true;
}

bool AuthClient::Send(const std::string& record)
{
    ++mBusy;
    bool sent = !closed();
    for (size_t at = 0; sent && at < record.size();) {
        ssize_t n = ::write(mEvent.fd.get(), record.data() + at, record.size() - at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            Disconnect();
            sent = false;
        } else {
            at += static_cast<size_t>(n);
        }
    }
    Leave();
    return sent;
}

void AuthClient::Disconnect()
{
    mEvent.Release();
}

void AuthClient::Leave()
{
    if (--mBusy == 0 && closed())
        mFactory.RemoveClient(this);
}
