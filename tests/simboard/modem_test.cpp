// The simulated DSP modem driver and the board's HDLC interfaces: modems
// held per descriptor and freed at its last close, records checked against
// the descriptor's modem, the words of plain requests in the log, and
// interface requests that reach the board or the kernel by name.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "board/modem_requests.h"
#include "runtime/fd.h"
#include "simboard/modem.h"
#include "tests/simboard/sim_board.h"

using namespace vbtest;
using testing::ElementsAre;
namespace Mdm = Device::Modem;
namespace If = Device::NetIf;

namespace {

struct ModemDeviceTest : ::testing::Test, SimulatedBoard {
    SimBoard::ModemControl& mctl() { return *board.find<SimBoard::ModemControl>(Mdm::kDevice); }
    int call(const Fd& fd, unsigned long request, long value)
    {
        int r = Device::ioctl_value(fd.get(), request, static_cast<unsigned long>(value));
        return r < 0 ? -errno : r;
    }
};

TEST_F(ModemDeviceTest, ModemsAreHeldPerDescriptorUntilItsLastClose)
{
    mctl().set_modems(2);
    Fd a(Device::open(Mdm::kDevice, O_RDWR)), b(Device::open(Mdm::kDevice, O_RDWR)), c(Device::open(Mdm::kDevice, O_RDWR));
    EXPECT_EQ(call(a, Mdm::MDM_TIMESLOT, 0), -EINVAL);
    EXPECT_EQ(call(a, Mdm::MDM_ALLOCATE, 0), 0);
    EXPECT_EQ(call(a, Mdm::MDM_ALLOCATE, 0), -EBUSY);
    EXPECT_EQ(call(b, Mdm::MDM_ALLOCATE, 0), 1);
    EXPECT_EQ(call(c, Mdm::MDM_ALLOCATE, 0), -EBUSY);
    EXPECT_EQ(call(b, Mdm::MDM_TIMESLOT, 0), 3073);
    EXPECT_EQ(Fd(Device::open("/dev/mdm1", O_RDWR)).get() >= 0, true);
    EXPECT_EQ(Device::open("/dev/mdm2", O_RDWR), -1);
    EXPECT_EQ(errno, ENODEV);

    Fd copy(a);
    a.close();
    EXPECT_NE(mctl().allocated(0), nullptr);
    copy.close();
    EXPECT_EQ(mctl().allocated(0), nullptr);
    EXPECT_EQ(Device::open("/dev/mdm0", O_RDWR), -1);
    EXPECT_EQ(errno, ENXIO);
    EXPECT_EQ(call(c, Mdm::MDM_ALLOCATE, 0), 0); // the lowest free one

    // Enumeration walks the modems present.
    EXPECT_EQ(call(c, Mdm::MDM_ENUMERATE, -1), 0);
    EXPECT_EQ(call(c, Mdm::MDM_ENUMERATE, 0), 1);
    EXPECT_EQ(call(c, Mdm::MDM_ENUMERATE, 1), -ENODEV);
}

TEST_F(ModemDeviceTest, RecordsNameTheDescriptorsModem)
{
    Fd a(Device::open(Mdm::kDevice, O_RDWR)), b(Device::open(Mdm::kDevice, O_RDWR));
    call(a, Mdm::MDM_ALLOCATE, 0);
    call(b, Mdm::MDM_ALLOCATE, 0);
    struct Row {
        unsigned long request;
        std::vector<int32_t> words;
        int result;
    } rows[] = {
        {Mdm::MDM_SET_DDM, {0, 5}, 0},         {Mdm::MDM_SET_DDM, {0, 8}, -EINVAL},
        {Mdm::MDM_SET_DDM, {1, 1}, -EINVAL},   {Mdm::MDM_RESET_PARAMS, {0, -1}, 0},
        {Mdm::MDM_RESET_PARAMS, {0, 0}, -EINVAL}, {Mdm::MDM_SET_PARAM, {0, 4, 9}, 0},
        {Mdm::MDM_SET_PARAM, {0, -1, 9}, -EINVAL}, {Mdm::MDM_ANSWER, {1, -1}, -EINVAL},
        {Mdm::MDM_ORIGINATE, {0, -1}, 0},
    };
    for (const Row& row : rows) {
        std::vector<int32_t> record = row.words;
        EXPECT_EQ(Device::ioctl(a.get(), row.request, record.data()) < 0 ? -errno : 0, row.result)
            << std::hex << row.request << " " << row.words[0];
    }
    const SimBoard::ModemControl::State* s = mctl().allocated(0);
    EXPECT_EQ(s->ddm, 5u);
    EXPECT_EQ(s->params, (std::map<int32_t, int32_t>{{4, 9}}));
    EXPECT_EQ(s->mode, SimBoard::ModemControl::Mode::originate);
    // Plain numbers carry no size; the log still shows the record's words.
    std::vector<SimBoard::Request> log = board.ioctls(Mdm::kDevice, Mdm::MDM_SET_PARAM);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_THAT(log[0].in, ElementsAre(0u, 4u, 9u));
    EXPECT_THAT(board.ioctls(Mdm::kDevice, Mdm::MDM_ALLOCATE)[0].in, ElementsAre(0u));
}

TEST_F(ModemDeviceTest, InterfaceRequestsReachTheBoardByName)
{
    Fd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    If::Request r{};
    std::string("hdlc1").copy(r.name, If::kNameSize);
    ASSERT_EQ(Device::ioctl(sock.get(), If::kGetFlags, &r), 0);
    EXPECT_EQ(r.flags, If::kPointToPoint);
    char iface[If::kIfaceSize];
    r.settings = If::Settings{If::kGetIface, sizeof(iface), iface};
    ASSERT_EQ(Device::ioctl(sock.get(), If::kWanDev, &r), 0);
    int32_t channel;
    std::memcpy(&channel, iface + If::kChannelOffset, 4);
    EXPECT_EQ(channel, board.interfaces()->find("hdlc1")->channel);
    r.settings = If::Settings{If::kGetIface, 64, iface};
    EXPECT_EQ(Device::ioctl(sock.get(), If::kWanDev, &r), -1);
    EXPECT_EQ(errno, ENOBUFS);

    // The kernel answers for its own interfaces and knows no hdlc7.
    If::Request lo{};
    std::string("lo").copy(lo.name, If::kNameSize);
    ASSERT_EQ(Device::ioctl(sock.get(), If::kGetFlags, &lo), 0);
    EXPECT_TRUE(lo.flags & If::kLoopback);
    std::string("hdlc7").copy(lo.name, If::kNameSize);
    EXPECT_EQ(Device::ioctl(sock.get(), If::kGetIndex, &lo), -1);
    EXPECT_EQ(errno, ENODEV);
}

} // namespace
