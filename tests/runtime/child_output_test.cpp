// A helper's output read from its pipe in the loop: one named line for each
// line it wrote, however the bytes came, until its last writer lets go.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <random>
#include <sstream>

#include "runtime/child_output.h"
#include "tests/runtime/loop_support.h"

using namespace vbtest;

namespace {

TEST(ChildOutput, LinesComeOutWholeAndNamedInWhateverPiecesTheyArrive)
{
    const std::string full(ChildOutput::kLineBytes, 'a');
    const std::string longer(2 * ChildOutput::kLineBytes + 100, 'b');
    // A NUL is shown as two characters, never cut between two pieces.
    const std::string nearlyFull(ChildOutput::kLineBytes - 1, 'c');
    const std::string text = "first\n\n" + full + "\n" + longer + "\nx\r\n" + std::string("A\0B\0\n", 5) +
                             nearlyFull + std::string("\0d\n", 3) + "no newline";
    const std::string name = "t38[1234]: ";
    const std::string lines = name + "first\n" + name + "\n" + name + full + "\n" +
                              name + longer.substr(0, ChildOutput::kLineBytes) + "\n" +
                              name + longer.substr(ChildOutput::kLineBytes, ChildOutput::kLineBytes) + "\n" +
                              name + longer.substr(2 * ChildOutput::kLineBytes) + "\n" + name + "x\r\n" +
                              name + "A\\0B\\0\n" + name + nearlyFull + "\n" + name + "\\0d\n";
    std::mt19937 random(7);
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        one_pass();
        const int before = open_fd_count();
        std::ostringstream out;
        Pipe pipe;
        ChildOutput::Follow(Fd(pipe.r.dup()), "t38", 1234, out);
        pipe.r.close();
        // A child of the helper that still holds the pipe.
        Fd grandchild(pipe.w.dup());
        for (size_t at = 0; at < text.size();) {
            size_t n = std::min<size_t>(text.size() - at, 1 + random() % 900);
            ASSERT_EQ(::write(pipe.w.get(), text.data() + at, n), ssize_t(n));
            at += n;
            if (random() % 2)
                one_pass();
        }
        pipe.w.close();
        EXPECT_TRUE(run_until([&] { return out.str() == lines; }, 2000)) << out.str();
        one_pass();
        EXPECT_EQ(lines, out.str()) << "the last line waits while a writer holds the pipe";
        grandchild.close();
        EXPECT_TRUE(run_until([&] { return out.str() == lines + name + "no newline\n"; }, 2000)) << out.str();
        // The reader let go of its end.
        EXPECT_EQ(before, open_fd_count());
    }
}

// Helpers that write faster than the log takes share one count of lines
// per loop pass, and take turns: what waits stays in their pipes.
TEST(ChildOutput, HelpersShareOnePassOfLinesAndTakeTurns)
{
    const size_t each = 3000;
    one_pass();
    const int fds = open_fd_count();
    std::ostringstream out[3];
    Pipe pipes[3];
    for (int i = 0; i < 3; ++i) {
        ChildOutput::Follow(Fd(pipes[i].r.dup()), "yes", 100 + i, out[i]);
        pipes[i].r.close();
        ASSERT_EQ(::write(pipes[i].w.get(), std::string(each, '\n').data(), each), ssize_t(each));
    }
    auto lines = [&](int i) {
        const std::string t = out[i].str();
        return std::count(t.begin(), t.end(), '\n');
    };
    size_t before = 0;
    for (int pass = 1; pass <= 20; ++pass) {
        one_pass();
        size_t now = lines(0) + lines(1) + lines(2);
        EXPECT_LE(now - before, ChildOutput::kPassRecords) << "pass " << pass;
        before = now;
        for (int i = 0; pass == 3 && i < 3; ++i)
            EXPECT_GT(lines(i), 0) << "helper " << i << " had no turn";
    }
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(size_t(lines(i)), each);
        pipes[i].w.close();
    }
    EXPECT_TRUE(run_until([&] { return open_fd_count() == fds; }, 2000));
}

} // namespace
