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

namespace ChildOutput {

namespace {

class Reader {
public:
    Reader(const Fd& readEnd, const std::string& name, pid_t pid, std::ostream& out)
        : mName(name + "[" + std::to_string(pid) + "]: "), mOut(out)
    {
        mEvent.Bind("ChildOutput::OnInput " + name + "[" + std::to_string(pid) + "]", &Reader::OnInput, this);
        mEvent.Schedule(readEnd, POLLIN);
        NonBlockMode(mEvent.fd.get());
    }
    bool watching() const { return static_cast<bool>(mEvent.fd); }

private:
    void OnInput(int fd, short revents);
    // Cuts the bytes into lines; a line longer than kLineBytes goes out in
    // pieces.
    void take(const char* p, const char* end);
    void emit();

    Event mEvent;
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

void Reader::OnInput(int fd, short revents)
{
    if (!(revents & (POLLIN | POLLHUP | POLLERR)))
        return;
    char chunk[4096];
    bool ended = false;
    for (size_t total = 0; total < kPassBytes;) {
        ssize_t n = ::read(fd, chunk, sizeof(chunk));
        if (n > 0) {
            take(chunk, chunk + n);
            total += static_cast<size_t>(n);
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
    if (!ended)
        return;
    // Last: this deletes the Reader, its Event included.
    readers().remove_if([this](const std::unique_ptr<Reader>& r) { return r.get() == this; });
}

void Reader::take(const char* p, const char* end)
{
    while (p < end) {
        size_t room = kLineBytes - mLine.size();
        size_t left = static_cast<size_t>(end - p);
        // A newline just after a full line still ends that line.
        const char* nl = static_cast<const char*>(std::memchr(p, '\n', std::min(room + 1, left)));
        if (nl) {
            mLine.append(p, nl);
            emit();
            p = nl + 1;
            continue;
        }
        size_t n = std::min(room, left);
        mLine.append(p, n);
        p += n;
        if (mLine.size() >= kLineBytes)
            emit();
    }
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
