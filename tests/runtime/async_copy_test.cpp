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
#include "runtime/mux_time.h"
#include "tests/runtime/loop_support.h"
#include "tests/support/test_support.h"

using ASync::Copy;
using vbtest::FnDpc;
using vbtest::FnEvent;
using vbtest::Pipe;
using vbtest::run_until;
typedef Copy::Status S;

namespace {

std::string randomBytes(size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char& c : s)
        c = static_cast<char>(gen());
    return s;
}

Fd openFile(const std::string& path, int flags)
{
    return Fd(::open(path.c_str(), flags | O_CLOEXEC, 0644));
}

// Records each completion; `then` runs inside the completion handler.
struct Done {
    std::vector<S::Type> statuses;
    std::function<void(S::Type)> then;
    void On(S::Type s)
    {
        statuses.push_back(s);
        if (then)
            then(s);
    }
};

class CopyTest : public ::testing::Test {
protected:
    Mux::VirtualClock clock;
    Mux::ScopedClock useClock{clock};
    vbtest::TempDir dir;
    int fdsBefore = vbtest::settled_fd_count();
    struct sigaction oldPipe {};
    Done done;
    Copy copy;

    void SetUp() override
    {
        // As in the server: a write to a closed reader fails with EPIPE.
        struct sigaction ign {};
        ign.sa_handler = SIG_IGN;
        sigaction(SIGPIPE, &ign, &oldPipe);
        copy.Bind(&Done::On, &done);
    }

    void TearDown() override
    {
        sigaction(SIGPIPE, &oldPipe, nullptr);
        EXPECT_EQ(multiplexer.pending().size() + multiplexer.active().size(), 0u) << "handlers left attached";
        EXPECT_EQ(multiplexer.timers().size(), 0u);
    }

    void expectNoLeak() { EXPECT_EQ(vbtest::open_fd_count(), fdsBefore) << "descriptors leaked"; }

    std::string writeFile(const std::string& name, const std::string& data)
    {
        std::string path = dir.file(name);
        Fd f = openFile(path, O_WRONLY | O_CREAT | O_TRUNC);
        EXPECT_EQ(::write(f.get(), data.data(), data.size()), static_cast<ssize_t>(data.size()));
        return path;
    }

    void runToCompletion() { EXPECT_TRUE(run_until([&] { return !done.statuses.empty(); })); }
};

TEST_F(CopyTest, EmptySourceCompletesAfterFlushEventOrAtOnceWithoutOne)
{
    {
        Pipe src;
        src.w.reset();
        Fd null = openFile("/dev/null", O_WRONLY);
        copy.Start(src.r, null);
        EXPECT_TRUE(done.statuses.empty()) << "waits for the destination's flush event";
        EXPECT_EQ(copy.status(), S::Flushing);
        runToCompletion();
        EXPECT_EQ(done.statuses, std::vector<S::Type>{S::Completed});
    }
    done.statuses.clear();
    {
        Pipe src;
        src.w.reset();
        Copy::EventsParams ev;
        ev.flush = 0;
        copy.set_events(ev); // idle: stored, nothing reported
        EXPECT_TRUE(done.statuses.empty());
        copy.Start(src.r, openFile("/dev/null", O_WRONLY));
        EXPECT_EQ(done.statuses, std::vector<S::Type>{S::Completed});
    }
    EXPECT_EQ(copy.total(), 0u);
    expectNoLeak();
}

TEST_F(CopyTest, FileThroughSmallPipeArrivesWholeAndInOrder)
{
    // Chunks larger than the pipe: every write is partial and the rest must
    // go out before the next read.
    const std::string data = randomBytes(50000, 1);
    Pipe out;
    ASSERT_GE(::fcntl(out.w.get(), F_SETPIPE_SZ, 4096), 4096);
    NonBlockMode(out.w.get());
    NonBlockMode(out.r.get());
    std::string received;
    FnEvent reader("reader");
    reader.fn = [&](int fd, short r) {
        char buf[1000];
        ssize_t n;
        if ((r & POLLIN) && (n = ::read(fd, buf, sizeof(buf))) > 0)
            received.append(buf, static_cast<size_t>(n));
    };
    reader.watch(out.r);

    copy.set_bufsize(6000);
    copy.Start(openFile(writeFile("in", data), O_RDONLY), out.w);
    EXPECT_TRUE(run_until([&] { return !done.statuses.empty() && received.size() == data.size(); }));
    reader.ev.Release();
    EXPECT_EQ(done.statuses, std::vector<S::Type>{S::Completed});
    EXPECT_EQ(copy.total(), data.size());
    EXPECT_TRUE(received == data) << "copied bytes differ";
    EXPECT_EQ(copy.bufsize(), 6000u);
    out.close();
    expectNoLeak();
}

TEST_F(CopyTest, LargeFileIntoDevNullLeavesTheLoopRunning)
{
    const size_t size = 1 << 20;
    std::string path = writeFile("big", randomBytes(size, 2));
    unsigned dpcRuns = 0;
    FnDpc counter([&] { ++dpcRuns; });
    counter.dpc.Activate();
    copy.Start(openFile(path, O_RDONLY), openFile("/dev/null", O_WRONLY));
    EXPECT_EQ(copy.status(), S::Running) << "Start must not copy everything at once";
    EXPECT_LE(copy.total(), Copy::kBytesPerCallback + Copy::kDefaultBufSize);
    runToCompletion();
    counter.dpc.Deactivate();
    EXPECT_EQ(done.statuses, std::vector<S::Type>{S::Completed});
    EXPECT_EQ(copy.total(), size);
    // Two DPC runs per pass and at most one budget per pass.
    EXPECT_GE(dpcRuns, 2 * (size / Copy::kBytesPerCallback));
    expectNoLeak();
}

TEST_F(CopyTest, StopFinishesThePendingChunkThenFlushes)
{
    Pipe in, out;
    NonBlockMode(in.r.get());
    NonBlockMode(out.w.get());
    NonBlockMode(out.r.get());
    const std::string data = randomBytes(3000, 3);
    ASSERT_EQ(::write(in.w.get(), data.data(), data.size()), 3000);
    // A full destination: the first chunk is read and must wait.
    std::string filler(4096, 'f');
    size_t prefilled = 0;
    ssize_t n;
    while ((n = ::write(out.w.get(), filler.data(), filler.size())) > 0)
        prefilled += static_cast<size_t>(n);

    copy.Start(in.r, out.w);
    EXPECT_EQ(copy.status(), S::Running);
    copy.Stop();
    EXPECT_EQ(copy.status(), S::Draining);
    EXPECT_TRUE(done.statuses.empty());

    std::string received;
    char buf[4096];
    while ((n = ::read(out.r.get(), buf, sizeof(buf))) > 0)
        received.append(buf, static_cast<size_t>(n));
    runToCompletion();
    while ((n = ::read(out.r.get(), buf, sizeof(buf))) > 0)
        received.append(buf, static_cast<size_t>(n));
    EXPECT_EQ(done.statuses, std::vector<S::Type>{S::Completed});
    EXPECT_EQ(copy.total(), Copy::kDefaultBufSize);
    EXPECT_EQ(received.substr(prefilled), data.substr(0, Copy::kDefaultBufSize));
    copy.Stop(); // after the end: changes nothing
    EXPECT_EQ(done.statuses.size(), 1u);
}

TEST_F(CopyTest, FailuresReportFourWithTheWriteErrorKept)
{
    struct Case {
        const char* what;
        std::function<void()> start;
        int error;
    };
    Pipe waiting, deadEnd;
    std::string file = writeFile("f", "some bytes");
    std::vector<Case> cases = {
        {"source is a directory", [&] { copy.Start(openFile(dir.path(), O_RDONLY), openFile("/dev/null", O_WRONLY)); },
         EISDIR},
        {"destination not writable",
         [&] { copy.Start(openFile(file, O_RDONLY), openFile(file, O_RDONLY)); }, EBADF},
        {"destination reader gone",
         [&] {
             deadEnd.r.reset();
             copy.Start(openFile(file, O_RDONLY), deadEnd.w);
         },
         EPIPE},
        {"no source descriptor", [&] { copy.Start(Fd(), openFile("/dev/null", O_WRONLY)); }, EBADF},
    };
    for (const Case& c : cases) {
        done.statuses.clear();
        c.start();
        EXPECT_EQ(done.statuses, std::vector<S::Type>{S::Failed}) << c.what;
        EXPECT_EQ(copy.error(), c.error) << c.what;
    }

    // An error reported by poll on the destination while waiting for input.
    done.statuses.clear();
    NonBlockMode(waiting.r.get());
    Pipe out;
    copy.Start(waiting.r, out.w);
    EXPECT_TRUE(done.statuses.empty());
    out.r.reset();
    runToCompletion();
    EXPECT_EQ(done.statuses, std::vector<S::Type>{S::Failed});
    EXPECT_EQ(copy.error(), 0);
    waiting.close();
    deadEnd.close();
    out.close();
    expectNoLeak();
}

TEST_F(CopyTest, ReconfiguringAnActiveCopyReportsSixAndLeavesItIdle)
{
    Pipe in, out;
    NonBlockMode(in.r.get());
    copy.Start(in.r, out.w);
    copy.set_bufsize(100);
    EXPECT_EQ(done.statuses, std::vector<S::Type>{S::Reconfigured});
    EXPECT_EQ(copy.bufsize(), 100u);
    EXPECT_EQ(multiplexer.pending().size() + multiplexer.active().size(), 0u);

    copy.Start(in.r, out.w);
    Copy::EventsParams ev;
    ev.flush = 0;
    copy.set_events(ev);
    EXPECT_EQ(done.statuses, (std::vector<S::Type>{S::Reconfigured, S::Reconfigured}));
    copy.set_bufsize(200); // no longer active: nothing more is reported
    EXPECT_EQ(done.statuses.size(), 2u);

    // The new settings are used by the next copy.
    in.fill();
    in.w.reset();
    copy.Start(in.r, out.w);
    EXPECT_EQ(done.statuses.back(), S::Completed);
    EXPECT_EQ(copy.total(), 1u);
    in.close();
    out.close();
    expectNoLeak();
}

TEST_F(CopyTest, CompletionHandlerMayRestartOrDestroyTheEngine)
{
    Pipe first, second;
    Fd null = openFile("/dev/null", O_WRONLY);
    first.fill();
    first.w.reset();
    second.fill();
    second.fill();
    second.w.reset();
    done.then = [&](S::Type) {
        if (done.statuses.size() == 1)
            copy.Start(second.r, null);
    };
    copy.Start(first.r, null);
    EXPECT_TRUE(run_until([&] { return done.statuses.size() == 2; }));
    EXPECT_EQ(done.statuses, (std::vector<S::Type>{S::Completed, S::Completed}));
    EXPECT_EQ(copy.total(), 2u);

    // Destroyed from its own completion, from a loop callback and from Start.
    for (int flush : {POLLWRNORM, 0}) {
        auto owned = std::make_unique<Copy>();
        Done gone;
        gone.then = [&](S::Type) { owned.reset(); };
        owned->Bind(&Done::On, &gone);
        Copy::EventsParams ev;
        ev.flush = flush;
        owned->set_events(ev);
        Pipe p;
        p.w.reset();
        owned->Start(p.r, null);
        EXPECT_TRUE(run_until([&] { return !owned; }));
        EXPECT_EQ(gone.statuses, std::vector<S::Type>{S::Completed});
    }
    first.close();
    second.close();
    null.reset();
    expectNoLeak();
}

TEST_F(CopyTest, LoopbackSocketsEndNormallyOnFinAndFailOnReset)
{
    clock.set_settle_ms(2000); // a real peer: let poll wait for it
    vbtest::TcpListener listener;
    for (bool reset : {false, true}) {
        SCOPED_TRACE(reset ? "reset" : "fin");
        done.statuses.clear();
        Fd peer = listener.connect();
        Fd src = listener.accept();
        ASSERT_TRUE(src && peer);
        NonBlockMode(src.get());
        Pipe out;
        NonBlockMode(out.r.get());
        ASSERT_EQ(::write(peer.get(), "hello", 5), 5);
        copy.Start(src, out.w);
        src.reset();
        char buf[16];
        EXPECT_TRUE(run_until([&] { return copy.total() == 5; }));
        ASSERT_EQ(::read(out.r.get(), buf, sizeof(buf)), 5);
        if (reset) {
            linger l{1, 0};
            setsockopt(peer.get(), SOL_SOCKET, SO_LINGER, &l, sizeof(l));
        }
        peer.reset();
        runToCompletion();
        // Data already copied does not turn a reset into a normal end.
        EXPECT_EQ(done.statuses, std::vector<S::Type>{reset ? S::Failed : S::Completed});
        EXPECT_EQ(copy.total(), 5u);
    }
    listener.fd.reset();
    expectNoLeak();
}

} // namespace
