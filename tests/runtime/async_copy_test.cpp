// Copying between descriptors in the loop: data integrity, back-pressure,
// every completion status, exactly one report, and no leaked descriptor.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "runtime/async_copy.h"
#include "runtime/ipc_signal.h"
#include "runtime/mux_time.h"
#include "tests/runtime/loop_support.h"
#include "tests/support/test_support.h"

using ASync::Copy;
using vbtest::Pipe;
using vbtest::run_until;
typedef Copy::Status S;
typedef std::vector<S::Type> Reports;

namespace {

Fd openFile(const std::string& path, int flags)
{
    return Fd(::open(path.c_str(), flags | O_CLOEXEC, 0644));
}

struct Done {
    Reports statuses;
    std::function<void()> then; // runs inside the completion handler
    void On(S::Type s)
    {
        statuses.push_back(s);
        if (then)
            then();
    }
};

class CopyTest : public ::testing::Test {
protected:
    Mux::VirtualClock clock;
    Mux::ScopedClock useClock{clock};
    vbtest::TempDir dir;
    int fdsBefore = vbtest::settled_fd_count();
    Done done;
    Copy copy;

    void SetUp() override
    {
        IPC::Signal::ignore(SIGPIPE); // as in the server: EPIPE instead
        copy.Bind(&Done::On, &done);
    }
    void TearDown() override
    {
        IPC::Signal::system(SIGPIPE);
        EXPECT_EQ(vbtest::open_fd_count(), fdsBefore) << "descriptors leaked";
    }

    std::string writeFile(const std::string& data)
    {
        std::string path = dir.file("in");
        Fd f = openFile(path, O_WRONLY | O_CREAT | O_TRUNC);
        EXPECT_EQ(::write(f.get(), data.data(), data.size()), static_cast<ssize_t>(data.size()));
        return path;
    }
    void runToCompletion() { EXPECT_TRUE(run_until([&] { return !done.statuses.empty(); })); }
};

TEST_F(CopyTest, FileThroughASmallPipeArrivesWholeAndInOrder)
{
    // Chunks larger than the pipe: every write is partial, and the rest must
    // go out before the next read.
    std::string data(50000, '\0');
    std::mt19937 gen(1);
    for (char& c : data)
        c = static_cast<char>(gen());
    Pipe out;
    ASSERT_GE(::fcntl(out.w.get(), F_SETPIPE_SZ, 4096), 4096);
    NonBlockMode(out.w.get());
    std::string received;
    vbtest::FnEvent reader;
    reader.fn = [&](int fd, short r) {
        char buf[1000];
        ssize_t n;
        if ((r & POLLIN) && (n = ::read(fd, buf, sizeof(buf))) > 0)
            received.append(buf, static_cast<size_t>(n));
    };
    reader.watch(out.r);
    copy.set_bufsize(6000);
    copy.Start(openFile(writeFile(data), O_RDONLY), out.w);
    EXPECT_TRUE(run_until([&] { return !done.statuses.empty() && received.size() == data.size(); }));
    reader.ev.Release();
    EXPECT_EQ(done.statuses, Reports{S::Completed});
    EXPECT_EQ(copy.total(), data.size());
    EXPECT_TRUE(received == data) << "copied bytes differ";
}

TEST_F(CopyTest, LargeFileIntoDevNullLeavesTheLoopTurning)
{
    const unsigned size = 1 << 20;
    unsigned dpcRuns = 0;
    vbtest::FnDpc counter([&] { ++dpcRuns; });
    counter.dpc.Activate();
    copy.Start(openFile(writeFile(std::string(size, 'x')), O_RDONLY), openFile("/dev/null", O_WRONLY));
    EXPECT_EQ(copy.status(), S::Running) << "Start must not copy everything at once";
    runToCompletion();
    EXPECT_EQ(copy.total(), size);
    EXPECT_GE(dpcRuns, 2 * size / Copy::kBytesPerCallback); // two runs per pass
}

TEST_F(CopyTest, StopWritesThePendingChunkThenFlushes)
{
    Pipe in, out;
    NonBlockMode(in.r.get());
    NonBlockMode(out.w.get());
    ASSERT_EQ(::write(in.w.get(), std::string(3000, 'd').data(), 3000), 3000);
    std::string buf(65536, 'f');
    size_t prefilled = 0; // a full destination: the first chunk must wait
    for (ssize_t n; (n = ::write(out.w.get(), buf.data(), buf.size())) > 0;)
        prefilled += static_cast<size_t>(n);
    copy.Start(in.r, out.w);
    copy.Stop();
    EXPECT_EQ(copy.status(), S::Draining);
    ASSERT_EQ(::read(out.r.get(), &buf[0], prefilled), static_cast<ssize_t>(prefilled));
    runToCompletion();
    EXPECT_EQ(done.statuses, Reports{S::Completed});
    EXPECT_EQ(copy.total(), Copy::kDefaultBufSize) << "nothing read after Stop";
    copy.Stop(); // ended: changes nothing
    EXPECT_EQ(done.statuses.size(), 1u);
}

TEST_F(CopyTest, FailuresReportFourAndKeepTheError)
{
    std::string file = writeFile("some bytes");
    Pipe dead;
    dead.r.reset();
    const struct {
        Fd src, dst;
        int error;
    } cases[] = {
        {openFile(dir.path(), O_RDONLY), openFile("/dev/null", O_WRONLY), EISDIR},
        {openFile(file, O_RDONLY), openFile(file, O_RDONLY), EBADF},
        {openFile(file, O_RDONLY), Fd(dead.w), EPIPE},
        {Fd(), openFile("/dev/null", O_WRONLY), EBADF},
    };
    for (const auto& c : cases) {
        done.statuses.clear();
        copy.Start(c.src, c.dst);
        EXPECT_EQ(done.statuses, Reports{S::Failed}) << c.error;
        EXPECT_EQ(copy.error(), c.error);
    }
    // The destination's reader goes away while the copy waits for input.
    Pipe waiting, out;
    NonBlockMode(waiting.r.get());
    done.statuses.clear();
    copy.Start(waiting.r, out.w);
    out.r.reset();
    runToCompletion();
    EXPECT_EQ(done.statuses, Reports{S::Failed});
    EXPECT_EQ(copy.error(), 0);
}

TEST_F(CopyTest, CompletionHandlerMayRestartReconfigureOrDestroy)
{
    Pipe first, second;
    Fd null = openFile("/dev/null", O_WRONLY);
    first.w.reset();
    NonBlockMode(second.r.get());
    done.then = [&] {
        if (done.statuses.size() == 1)
            copy.Start(second.r, null);
    };
    copy.Start(first.r, null); // empty: ends on the destination's flush event
    EXPECT_EQ(copy.status(), S::Flushing);
    runToCompletion();
    EXPECT_EQ(copy.status(), S::Running) << "the restarted copy waits for input";
    copy.set_bufsize(100);
    copy.set_bufsize(200); // no longer active: no second report
    EXPECT_EQ(done.statuses, (Reports{S::Completed, S::Reconfigured}));

    // Destroyed from a loop callback, then (no flush step) from Start.
    for (int flush : {POLLWRNORM, 0}) {
        auto owned = std::make_unique<Copy>();
        Done gone;
        gone.then = [&] { owned.reset(); };
        owned->Bind(&Done::On, &gone);
        owned->set_events(Copy::EventsParams{POLLIN, POLLOUT, flush});
        owned->Start(first.r, null);
        EXPECT_TRUE(run_until([&] { return !owned; }));
        EXPECT_EQ(gone.statuses, Reports{S::Completed});
    }
}

TEST_F(CopyTest, LoopbackSourceEndsNormallyOnFinAndFailsOnResetAfterData)
{
    clock.set_settle_ms(2000); // a real peer: let poll wait for it
    vbtest::TcpListener listener;
    for (bool reset : {false, true}) {
        done.statuses.clear();
        Fd peer = listener.connect();
        Fd src = listener.accept();
        NonBlockMode(src.get());
        Pipe out;
        ASSERT_EQ(::write(peer.get(), "hello", 5), 5);
        copy.Start(std::move(src), out.w);
        EXPECT_TRUE(run_until([&] { return copy.total() == 5; }));
        if (reset) {
            linger l{1, 0};
            setsockopt(peer.get(), SOL_SOCKET, SO_LINGER, &l, sizeof(l));
        }
        peer.reset();
        runToCompletion();
        EXPECT_EQ(done.statuses, Reports{reset ? S::Failed : S::Completed}) << "reset " << reset;
    }
}

} // namespace
