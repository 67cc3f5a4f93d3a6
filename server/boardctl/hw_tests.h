// Backplane bus tests (testBpc): a run of shared-bus channels is written or
// read through the TDM switch and compared with the pseudo-random bytes of
// a seed, the low bytes of the C library's random() after srandom(seed).
// The generator state is the test's own, so the process-wide one is left
// alone. A test runs to its end inside its command.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <iosfwd>

#include "server/control/ctrl_server.h"

class HwTests : public CtrlSrv::Service {
public:
    static HwTests& instance();

    // The process uses instance(); tests build their own.
    HwTests();
    ~HwTests() override = default;
    HwTests(const HwTests&) = delete;
    HwTests& operator=(const HwTests&) = delete;

    void OnConnect() override {}
    void OnDisconnect() override {}
    // Takes testBpc, with or without a slot.
    bool OnCommand(const LGCP::Command& cmd) override;

    void OnTestBpc(const LGCP::BpcTestParams& params);
    void TestRead();
    void TestWrite();
    void TestDisconnect();

    void PutHeader(std::ostream& out) const;

private:
    // The low byte of the generator's next number.
    unsigned char NextByte();
    void Reseed() { srandom_r(mSeed, &mRandom); }
    // Reads the run back against the sequence; false after logging the
    // first difference and answering busError.
    bool Verify(const char* failed, const char* expectedAs, const char* gotAs);

    uint32_t mBus = 0;
    int mFirst = 0;
    int mEnd = 0; // exclusive
    uint32_t mSeed = 0;
    // The C library's default generator (degree 31) in a state of our own.
    int32_t mState[32] = {};
    random_data mRandom{};
};
