#include "runtime/child_output.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <list>
#include <memory>

#include "runtime/multiplexer.h"
#include "runtime/mux_time.h"

namespace ChildOutput {

namespace {

class Reader {
public:
    Reader(const Fd& readEnd, const std::string& name, pid_t pid, std::ostream& out)
        : mPid(pid), mName(name + "[" + std::to_string(pid) + "]: "), mOut(out)
    {
        mEvent.Bind("ChildOutput::OnInput " + name + "[" + std::to_string(pid) + "]", &Reader::OnInput, this);
        mEvent.Schedule(readEnd, POLLIN);
        NonBlockMode(mEvent.fd.get());
    }
    bool watching() const { return static_cast<bool>(mEvent.fd); }
    pid_t pid() const { return mPid; }
    int fd() const { return mEvent.fd.get(); }
    // Logs what the pipe holds, at most budget lines of it, taking off
    // what it logged; true once every writer has let go of the pipe.
    bool pump(size_t& budget);

private:
    void OnInput(int fd, short revents);
    // Cuts the bytes into lines; a line longer than kLineBytes goes out in
    // pieces. The number of lines that went out.
    size_t take(const char* p, const char* end);
    void emit();

    Event mEvent;
    pid_t mPid;
    std::string mName;
    // The start of a line whose newline has not come yet.
    std::string mLine;
    std::ostream& mOut;
};

// Made on first use, so it goes at exit before the loop it is attached to.
std::list<std::unique_ptr<Reader>>& readers()
{
    static std::list<std::unique_ptr<Reader>> list;
    return list;
}

// Deletes the Reader, its Event included.
void drop(Reader* reader)
{
    readers().remove_if([reader](const std::unique_ptr<Reader>& r) { return r.get() == reader; });
}

// The lines left to every helper in the current pass.
size_t& pass_budget()
{
    static uint64_t pass = 0;
    static size_t left = 0;
    if (multiplexer.passes() != pass) {
        pass = multiplexer.passes();
        left = kPassRecords;
    }
    return left;
}

void Reader::OnInput(int, short revents)
{
    if (!(revents & (POLLIN | POLLHUP | POLLERR)))
        return;
    size_t& budget = pass_budget();
    if (budget == 0)
        return;
    if (pump(budget))
        return drop(this);
    // Cut short: it goes last in the next pass, so the helpers take turns.
    if (budget == 0)
        mEvent.Schedule(mEvent.fd, POLLIN);
}

bool Reader::pump(size_t& budget)
{
    char chunk[4096];
    bool ended = false;
    while (budget > 0) {
        // Every line takes one byte at least: no read overruns the budget.
        ssize_t n = ::read(fd(), chunk, std::min(sizeof(chunk), budget));
        if (n > 0) {
            budget -= std::min(budget, take(chunk, chunk + n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        ended = n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
        break;
    }
    if (ended && !mLine.empty())
        emit();
    // One flush for the lines of a pass: they go to the log together.
    mOut.flush();
    return ended;
}

size_t Reader::take(const char* p, const char* end)
{
    size_t lines = 0;
    auto special = [](char c) { return c == '\n' || c == '\0'; };
    while (p < end) {
        size_t room = kLineBytes - mLine.size();
        const char* stop = std::find_if(p, p + std::min(room, static_cast<size_t>(end - p)), special);
        mLine.append(p, stop);
        p = stop;
        if (p == end)
            break;
        // A newline just after a full line still ends that line; a NUL
        // shown as two characters never straddles two pieces.
        if (*p == '\0' && kLineBytes - mLine.size() >= 2) {
            mLine += "\\0";
            ++p;
            continue;
        }
        if (*p == '\n')
            ++p;
        emit();
        ++lines;
    }
    return lines;
}

void Reader::emit()
{
    mOut << mName << mLine << '\n';
    mLine.clear();
}

} // namespace

void Follow(Fd readEnd, const std::string& name, pid_t pid, std::ostream& out)
{
    std::unique_ptr<Reader> reader(new Reader(readEnd, name, pid, out));
    if (reader->watching())
        readers().push_back(std::move(reader));
}

void Follow(Fd readEnd, const std::string& name, pid_t pid)
{
    Follow(std::move(readEnd), name, pid, std::cout);
}

} // namespace ChildOutput
