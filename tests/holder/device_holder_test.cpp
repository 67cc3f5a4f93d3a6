// The life of a board device as a holder sees it: opens that fail, a
// device that goes under its first requests, the return line, the retry
// that runs while a state is untold, and owed ends told at every request.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <sstream>
#include <string>

#include "holder/device_holder.h"
#include "runtime/multiplexer.h"
#include "runtime/mux_time.h"

namespace {

// A device that opens (or not) and answers each request with the next
// planned error, 0 when none is planned.
class FakeDriver : public Device::Driver {
public:
    int open(const std::string&, int) override
    {
        ++opens;
        if (openError) {
            errno = openError;
            return -1;
        }
        return ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    }
    int ioctl(int, unsigned long, void*) override
    {
        ++requests;
        int error = errors.empty() ? always : errors.front();
        if (!errors.empty())
            errors.pop_front();
        if (error) {
            errno = error;
            return -1;
        }
        return 0;
    }
    ssize_t read(int, void*, size_t) override { return 0; }
    ssize_t write(int, const void*, size_t count) override { return static_cast<ssize_t>(count); }

    int openError = 0;
    int always = 0;
    std::deque<int> errors;
    unsigned opens = 0;
    unsigned requests = 0;
};

// One setting that should be on the device: told by one request.
struct OneSetting : Device::Holder::State {
    explicit OneSetting(Device::Holder& h) : holder(h) {}
    bool untold(uint64_t present) override { return held.untold(present); }
    void reconcile(Device::Tally& made) override
    {
        made.count("setting(s) made again",
                   held.restore([this] { return holder.present(); },
                                [this](bool) { return holder.ioctl_value(1, 0) >= 0; },
                                [this] { return holder.refusal(); }));
    }
    Device::Outcome ask(bool on, Device::Policy policy)
    {
        holder.device();
        Device::Outcome outcome = held.change(
            on, policy, [this] { return holder.present(); }, [this](bool) { return holder.ioctl_value(1, 0) >= 0; },
            [this] { return holder.refusal(); });
        holder.changed();
        return outcome;
    }
    bool set(bool on, Device::Policy policy) { return Device::done(ask(on, policy)); }

    Device::Holder& holder;
    Device::Held<> held;
};

struct HolderTest : ::testing::Test {
    HolderTest(bool transient = false)
        : holder([](std::ostream& o) { o << "dev: "; }, setup(transient, log)), setting(holder)
    {
        holder.attach(setting);
    }
    static Device::Holder::Setup setup(bool transient, std::ostream& log)
    {
        Device::Holder::Setup s("/dev/fake", O_RDWR, "can't open: ");
        s.lostLine = true;
        s.transient = transient;
        s.log = &log;
        return s;
    }
    void advance(unsigned ms)
    {
        clock.advance_ms(ms);
        multiplexer.timers_schedule();
    }
    std::string lines()
    {
        std::string s = log.str();
        log.str("");
        return s;
    }

    Mux::VirtualClock clock;
    Mux::ScopedClock clockInstalled{clock};
    FakeDriver driver;
    Device::ScopedDriver installed{driver};
    std::ostringstream log;
    Device::Holder holder;
    OneSetting setting;
};

TEST_F(HolderTest, ADeviceGoneUnderItsFirstRequestsIsOpenedOnlyByTheRetryAndBackOnceARequestWorks)
{
    ASSERT_GE(holder.device(), 0);
    EXPECT_EQ(lines(), "");
    // Opens, but every request finds it gone.
    driver.always = ENODEV;
    EXPECT_FALSE(setting.set(true, Device::Policy::told));
    EXPECT_LT(holder.fd(), 0);
    // Only the retry opens it again: requests meanwhile do not.
    unsigned opens = driver.opens;
    EXPECT_LT(holder.device(), 0);
    EXPECT_LT(holder.device(), 0);
    EXPECT_EQ(driver.opens, opens);
    EXPECT_TRUE(holder.retrying());
    advance(1000);
    EXPECT_EQ(driver.opens, opens + 1);
    // Opened by the retry, and gone again under the request: no line yet.
    EXPECT_FALSE(setting.set(true, Device::Policy::told));
    EXPECT_EQ(lines().find("device back"), std::string::npos);
    driver.always = 0;
    advance(1000);
    EXPECT_TRUE(setting.set(true, Device::Policy::told));
    EXPECT_EQ(lines(), "dev: device back after 2 failed open(s)\n");
    EXPECT_FALSE(holder.retrying());
}

TEST_F(HolderTest, TheRetryRunsWhileSomethingIsUntoldAndTheReturnSaysWhatWasMadeAgain)
{
    ASSERT_TRUE(setting.set(true, Device::Policy::told));
    // The device goes under a request; what is held is untold.
    driver.errors = {ENODEV};
    holder.ioctl_value(2, 0);
    EXPECT_EQ(lines(), "dev: device lost: No such device\n");
    driver.openError = ENOENT;
    EXPECT_TRUE(holder.retrying());
    advance(1000);
    advance(1000);
    EXPECT_EQ(lines(), "dev: can't open: No such file or directory\n");
    driver.openError = 0;
    advance(1000);
    EXPECT_EQ(lines(), "dev: device back after 2 failed open(s), 1 setting(s) made again\n");
    EXPECT_TRUE(setting.held.carried(holder.present()));
    EXPECT_FALSE(holder.retrying());

    // A second outage that needs no failed open says none.
    driver.errors = {ENODEV};
    holder.ioctl_value(2, 0);
    advance(1000);
    EXPECT_EQ(lines(), "dev: device lost: No such device\ndev: device back, 1 setting(s) made again\n");
}

TEST_F(HolderTest, AnOffTheDeviceRefusedIsOwedAndToldAtTheNextRequest)
{
    ASSERT_TRUE(setting.set(true, Device::Policy::told));
    driver.errors = {EIO};
    // Refused, yet done: the off is owed.
    EXPECT_TRUE(setting.set(false, Device::Policy::told));
    EXPECT_TRUE(setting.held.untold(holder.present()));
    unsigned requests = driver.requests;
    // Any request on the device tells it first.
    holder.device();
    EXPECT_EQ(driver.requests, requests + 1);
    EXPECT_FALSE(setting.held.untold(holder.present()));
    EXPECT_EQ(lines(), "dev: 1 setting(s) made again\n");
    // A refused on answers the refusal and keeps nothing.
    driver.errors = {EIO};
    EXPECT_FALSE(setting.set(true, Device::Policy::told));
    EXPECT_FALSE(setting.held.untold(holder.present()));
    // Held, it is kept and told by the retry.
    driver.errors = {EIO, EIO};
    EXPECT_TRUE(setting.set(true, Device::Policy::held));
    advance(1000);
    EXPECT_TRUE(setting.held.untold(holder.present()));
    advance(1000);
    EXPECT_FALSE(setting.held.untold(holder.present()));
    EXPECT_FALSE(holder.retrying());
}

TEST_F(HolderTest, ARunOfFailuresEndsWithItsCountWhenTheDeviceIsBack)
{
    holder.device();
    holder.ioctl_value(2, 0);
    driver.always = EIO;
    for (int i = 0; i < 3; ++i)
        if (holder.ioctl_value(2, 0) < 0 && holder.runs().failed("request", EIO))
            log << "dev: request fail\n";
    driver.always = 0;
    driver.errors = {ENODEV};
    holder.ioctl_value(2, 0);
    lines();
    holder.device();
    holder.ioctl_value(2, 0);
    EXPECT_EQ(lines(), "dev: device back\ndev: request fail: 2 more time(s)\n");
}

struct TransientHolderTest : HolderTest {
    TransientHolderTest() : HolderTest(true) {}
};

TEST_F(TransientHolderTest, EachRequestOpensTheDeviceAndWhatIsOwedWaitsForOneThatWorks)
{
    EXPECT_GE(holder.ioctl_value(1, 0), 0);
    EXPECT_LT(holder.fd(), 0);
    EXPECT_EQ(driver.opens, 1u);
    ASSERT_TRUE(setting.set(true, Device::Policy::told));
    driver.openError = ENODEV;
    // An off while the device cannot open: the device keeps what it was
    // told, so the off is owed.
    EXPECT_TRUE(setting.set(false, Device::Policy::told));
    EXPECT_TRUE(holder.retrying());
    advance(1000);
    EXPECT_EQ(lines(), "dev: can't open: No such device\n");
    driver.openError = 0;
    advance(1000);
    EXPECT_EQ(lines(), "dev: device back after 2 failed open(s)\ndev: 1 setting(s) made again\n");
    EXPECT_FALSE(holder.retrying());
}

} // namespace

namespace {

// What one change did, by what it asked and how the device answered: the
// one value that every asker answers and keeps by.
TEST_F(HolderTest, EveryChangeSaysWhatItDidInOneValue)
{
    using Device::Outcome;
    using Device::Policy;
    const struct {
        const char* what;
        bool on; // asked
        Policy policy;
        int error; // of the request; -1: no device to ask
        Outcome outcome;
        // Then the device comes back with a fresh descriptor, and the
        // retry's request of what it does not carry meets this error (0: no
        // retry).
        int retry;
        bool untold; // the holder tells it by itself afterwards
    } rows[] = {
        {"on taken", true, Policy::told, 0, Outcome::made, 0, false},
        {"on refused", true, Policy::told, EIO, Outcome::refused, 0, false},
        {"on refused as invalid", true, Policy::told, EINVAL, Outcome::invalid, 0, false},
        {"on refused, held", true, Policy::held, EIO, Outcome::held, 0, true},
        {"on refused as invalid, held", true, Policy::held, EINVAL, Outcome::invalid, 0, false},
        {"on without a device, held", true, Policy::held, -1, Outcome::held, 0, true},
        {"on refused, shown", true, Policy::shown, EIO, Outcome::refused, 0, false},
        {"on held, refused at a retry", true, Policy::held, -1, Outcome::held, EIO, true},
        {"on held, refused as invalid at a retry", true, Policy::held, -1, Outcome::held, EINVAL, false},
        {"on told, refused as invalid at a retry", true, Policy::told, 0, Outcome::made, EINVAL, false},
        {"off taken", false, Policy::told, 0, Outcome::made, 0, false},
        {"off refused", false, Policy::told, EIO, Outcome::owed, 0, true},
        {"off refused, held", false, Policy::held, EIO, Outcome::owed, 0, true},
        {"off refused as invalid", false, Policy::told, EINVAL, Outcome::invalid, 0, false},
        {"off without a device", false, Policy::told, -1, Outcome::made, 0, false},
        {"off gone under the request", false, Policy::told, ENODEV, Outcome::made, 0, false},
        {"off refused, shown", false, Policy::shown, EIO, Outcome::refused, 0, false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        driver.always = 0;
        driver.openError = 0;
        advance(1000);
        // Off is asked of what is on, on of what is off.
        setting.held.forget();
        if (!r.on) {
            ASSERT_EQ(setting.ask(true, Policy::told), Outcome::made);
        }
        if (r.error < 0) {
            holder.lost();
            driver.openError = ENOENT;
        } else
            driver.errors = {r.error};
        EXPECT_EQ(setting.ask(r.on, r.policy), r.outcome);
        if (r.retry) {
            holder.lost();
            driver.openError = 0;
            driver.errors = {r.retry};
            unsigned requests = driver.requests;
            advance(1000);
            EXPECT_EQ(driver.requests, requests + 1) << "the retry asks once";
        }
        EXPECT_EQ(setting.held.untold(holder.present()), r.untold);
        driver.errors.clear();
    }
}

// A change refused as invalid, an off or an on, leaves what the device has
// unknown: the next change of the setting, the same again or the other,
// goes to the device.
TEST_F(HolderTest, AfterAChangeRefusedAsInvalidTheNextChangeGoesToTheDevice)
{
    for (bool refused : {false, true})
        for (bool next : {false, true}) {
            SCOPED_TRACE(std::to_string(refused) + " refused, then " + std::to_string(next));
            setting.held.forget();
            if (!refused) {
                ASSERT_EQ(setting.ask(true, Device::Policy::told), Device::Outcome::made);
            }
            driver.errors = {EINVAL};
            ASSERT_EQ(setting.ask(refused, Device::Policy::told), Device::Outcome::invalid);
            EXPECT_FALSE(holder.retrying());
            unsigned requests = driver.requests;
            EXPECT_EQ(setting.ask(next, Device::Policy::told), Device::Outcome::made);
            EXPECT_EQ(driver.requests, requests + 1);
        }
}

// The decision table, cell by cell, as a setting of each policy sees it:
// what the change or retry answers, and that the setting keeps by it.
TEST(HeldTest, EachAnswerOfTheDeviceComesToOneOutcomeThatTheSettingKeeps)
{
    using namespace Device;
    const Answer answers[] = {Answer::took, Answer::invalid, Answer::refused, Answer::absent};
    const struct {
        Policy policy;
        Ask ask;
        Outcome outcome[4]; // by answer, as above
    } rows[] = {
        {Policy::told, Ask::on, {Outcome::made, Outcome::invalid, Outcome::refused, Outcome::refused}},
        {Policy::told, Ask::off, {Outcome::made, Outcome::invalid, Outcome::owed, Outcome::made}},
        {Policy::held, Ask::on, {Outcome::made, Outcome::invalid, Outcome::held, Outcome::held}},
        {Policy::held, Ask::off, {Outcome::made, Outcome::invalid, Outcome::owed, Outcome::made}},
        {Policy::shown, Ask::on, {Outcome::made, Outcome::invalid, Outcome::refused, Outcome::held}},
        {Policy::shown, Ask::off, {Outcome::made, Outcome::invalid, Outcome::refused, Outcome::made}},
        {Policy::told, Ask::again, {Outcome::made, Outcome::invalid, Outcome::refused, Outcome::refused}},
        {Policy::held, Ask::again, {Outcome::made, Outcome::invalid, Outcome::refused, Outcome::refused}},
        {Policy::shown, Ask::again, {Outcome::made, Outcome::invalid, Outcome::refused, Outcome::refused}},
    };
    for (const auto& r : rows)
        for (int i = 0; i < 4; ++i) {
            SCOPED_TRACE(std::to_string(static_cast<int>(r.policy)) + "/" + std::to_string(static_cast<int>(r.ask)) +
                         "/" + std::to_string(i));
            Outcome expected = r.outcome[i];
            ASSERT_EQ(decide(r.policy, r.ask, answers[i]).outcome, expected);
            // On is asked of what is off, off of what the device carries;
            // the retry tells an on the device was never told.
            uint64_t present = 1;
            Held<> held(r.policy);
            if (r.ask == Ask::off)
                held.took(true, present);
            if (r.ask == Ask::again)
                held.hold(true);
            const Held<> before = held;
            auto tell = [&](bool) {
                present = answers[i] == Answer::absent ? 0 : present;
                return answers[i] == Answer::took;
            };
            auto refusal = [&] { return answers[i] == Answer::invalid ? EINVAL : EIO; };
            auto now = [&] { return present; };
            if (r.ask == Ask::again)
                EXPECT_EQ(held.restore(now, tell, refusal), expected == Outcome::made);
            else
                EXPECT_EQ(held.change(r.ask == Ask::on, now, tell, refusal), expected);
            bool untold = held.untold(present);
            switch (expected) {
            case Outcome::made:
                EXPECT_TRUE(held.known() && !untold);
                break;
            case Outcome::owed:
                EXPECT_TRUE(!held.on() && untold);
                break;
            case Outcome::held:
                EXPECT_TRUE(held.on() && untold);
                break;
            case Outcome::refused:
                EXPECT_TRUE(held.on() == before.on() && held.known() == before.known() &&
                            untold == before.untold(present));
                break;
            case Outcome::invalid:
                EXPECT_TRUE(!held.known() && !untold);
                break;
            }
        }
}

} // namespace
