// The authentication link of dial-in modem calls: a local helper connects
// over TCP and exchanges fixed-layout records of 32-bit big-endian words,
// one record per message. Each record starts with its size (header
// included), its type and its session, the modem number of the call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>

#include "runtime/fd.h"
#include "runtime/inet4_addr.h"
#include "runtime/multiplexer.h"

class ModemFactory;

namespace Auth {

enum Type : uint32_t { voauth = 1, accept = 2, ip = 3, voacct = 4 };

constexpr size_t kSizeWord = 4;
// Records one connection has handled in a loop pass: a helper that writes
// without pause waits for the next pass, and the rest of the loop goes on.
constexpr unsigned kRecordsPerPass = 16;
constexpr size_t kHeaderSize = 12;
constexpr size_t kMaxSize = 512;
constexpr size_t kVoauthSize = 140;
constexpr size_t kVoacctSize = 64;
constexpr size_t kAcceptSize = 16;
constexpr size_t kIpSize = 36;
// voauth: user name and password, 64 bytes each.
constexpr size_t kUserOffset = 12;
constexpr size_t kPasswordOffset = 76;
constexpr size_t kTextSize = 64;
// voacct: the 64-bit counters and the session time.
constexpr size_t kOctetsOut = 24, kOctetsIn = 32, kPacketsOut = 40, kPacketsIn = 48, kSessionTime = 56;

// Whether every byte is an IA5 (ITU-T T.50) character: seven bits.
bool ia5(const std::string& text);

// What one connection has logged of the run of records it is in: a helper
// that repeats a bad record gets one line, not one per record.
struct Runs {
    // The records since the last that found its slot found none.
    bool unknown = false;
    // The records since the last that a slot took were refused.
    bool refused = false;
};

} // namespace Auth

// One whole record as received: a view of its bytes.
class attr {
public:
    attr(const uint8_t* bytes, size_t size) : mBytes(bytes), mSize(size) {}

    size_t size() const { return mSize; }
    uint32_t type() const { return word(4); }
    int32_t session() const { return static_cast<int32_t>(word(8)); }
    // The word or double word at offset; 0 beyond the record.
    uint32_t word(size_t offset) const;
    uint64_t dword(size_t offset) const;
    // The text of a fixed field: up to the first NUL, else all of it.
    std::string text(size_t offset, size_t size) const;

    // A record of the given type and session followed by the words.
    static std::string make(uint32_t type, int32_t session, std::initializer_list<uint32_t> words);

private:
    const uint8_t* mBytes;
    size_t mSize;
};

// One accepted connection of the helper.
class AuthClient {
public:
    AuthClient(Fd fd, const INet4::Addr& peer, ModemFactory& factory);
    AuthClient(const AuthClient&) = delete;
    AuthClient& operator=(const AuthClient&) = delete;

    // Watches the socket for records.
    void Activate();
    // True when the whole record was written.
    bool Send(const std::string& record);

    bool closed() const { return !mEvent.fd; }
    // Whether a record of this connection was taken (it reached the
    // controller): only then is it counted as the helper. Any bytes can
    // make a whole record, so one that was refused proves nothing.
    bool spoken() const { return mSpoken; }
    // The session of the last whole record, -1 before the first.
    int32_t session() const { return mSession; }
    const INet4::Addr& peer() const { return mPeer; }
    void PutHeader(std::ostream& out) const;

private:
    void OnSocketEvent(int fd, short revents);
    // Reads what the socket holds; false when the connection ended.
    bool Receive(int fd);
    // The part awaited is complete; false when the connection must end.
    bool Complete();
    void Disconnect();
    // The busy counter down; a closed connection goes at 0 (this object too).
    void Leave();

    Event mEvent;
    INet4::Addr mPeer;
    int mBusy = 0;
    uint8_t mBuffer[Auth::kMaxSize];
    size_t mPos = 0;
    size_t mAwait = Auth::kSizeWord;
    ModemFactory& mFactory;
    bool mSpoken = false;
    int32_t mSession = -1;
    Auth::Runs mRuns;
    unsigned mRecordsThisPass = 0;
};
