#include "server/boardctl/hw_tests.h"

#include <unistd.h>

#include <iostream>

#include "runtime/ext.h"
#include "server/switch/hw_mux.h"

namespace {
// Time the switch takes to put written bytes on the bus, and to let go of it.
const useconds_t kWriteSettleUs = 500;
const useconds_t kDisableSettleUs = 250;
} // namespace

HwTests& HwTests::instance()
{
    static HwTests tests;
    return tests;
}

HwTests::HwTests()
{
    initstate_r(1, reinterpret_cast<char*>(mState), sizeof(mState), &mRandom);
}

void HwTests::PutHeader(std::ostream& out) const
{
    out << "bus " << mBus << ": ";
}

bool HwTests::OnCommand(const LGCP::Command& cmd)
{
    if (!cmd.is_testBpc())
        return false;
    OnTestBpc(cmd.get_testBpc());
    return true;
}

unsigned char HwTests::NextByte()
{
    int32_t value = 0;
    random_r(&mRandom, &value);
    return static_cast<unsigned char>(value & 0xFF);
}

void HwTests::OnTestBpc(const LGCP::BpcTestParams& params)
{
    mBus = params.get_bus().getValue();
    long long first =
        HwMux::kBusFirst + static_cast<long long>(HwMux::kBusWidth) * mBus + params.get_timeslot_start().getValue();
    long long end = first + params.get_timeslot_length().getValue();
    mSeed = static_cast<uint32_t>(params.get_seed().getValue());
    Reseed();
    // A run may go on into the next bus, but not past the last one: the
    // channels beyond are no backplane time slots.
    if (end > HwMux::kBusFirst + HwMux::kBusChannels) {
        std::cerr << ext::header(this) << "test leaves the shared bus" << std::endl;
        Error(LGCP::ErrorCause::invalidParams);
        return;
    }
    mFirst = static_cast<int>(first);
    mEnd = static_cast<int>(end);
    const LGCP::BpcTestMode& mode = params.get_mode();
    if (mode.is_read())
        TestRead();
    else if (mode.is_write())
        TestWrite();
    else if (mode.is_disconnect())
        TestDisconnect();
    else
        Error(LGCP::ErrorCause::invalidParams);
}

bool HwTests::Verify(const char* failed, const char* expectedAs, const char* gotAs)
{
    for (int channel = mFirst; channel < mEnd; ++channel) {
        unsigned char expected = NextByte();
        unsigned char got = HwMux::instance()->Read(channel);
        if (got != expected) {
            std::cerr << ext::header(this) << failed << " on channel " << (channel & (HwMux::kBusWidth - 1)) << expectedAs
                      << ext::OutBufInHex(&expected, 1) << gotAs << ext::OutBufInHex(&got, 1) << std::endl;
            Error(LGCP::ErrorCause::busError);
            return false;
        }
    }
    return true;
}

void HwTests::TestRead()
{
    if (Verify("test failed", " expected ", " read "))
        Success();
}

// The test drives the outputs by raw requests, past the claims of the
// slots and links: its bytes stay for the other board's read until the
// test's disconnect, which gives each output back to its claims.
void HwTests::TestWrite()
{
    for (int channel = mFirst; channel < mEnd; ++channel)
        HwMux::instance()->Write(channel, NextByte());
    ::usleep(kWriteSettleUs);
    Reseed();
    if (Verify("write failed", " write ", " written "))
        Success();
}

void HwTests::TestDisconnect()
{
    for (int channel = mFirst; channel < mEnd; ++channel)
        HwMux::instance()->Disable(channel);
    ::usleep(kDisableSettleUs);
    for (int channel = mFirst; channel < mEnd; ++channel)
        HwMux::instance()->Restore(channel);
    Success();
}
