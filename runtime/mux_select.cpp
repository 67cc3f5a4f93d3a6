#include "runtime/mux_select.h"

#include <sys/time.h>

namespace Mux {

namespace {

fd_set* active(Set* s)
{
    return s && s->max >= 0 ? &s->set : nullptr;
}

int highest(const Set* s)
{
    return s ? s->max : -1;
}

int doSelect(Set* r, Set* w, Set* e, const timeval* timeout)
{
    int top = highest(r);
    if (highest(w) > top)
        top = highest(w);
    if (highest(e) > top)
        top = highest(e);
    struct ::timeval tv;
    struct ::timeval* ptv = nullptr;
    if (timeout) {
        tv.tv_sec = timeout->sec;
        tv.tv_usec = timeout->usec;
        ptv = &tv;
    }
    return ::select(top + 1, active(r), active(w), active(e), ptv);
}

} // namespace

void Set::zero()
{
    FD_ZERO(&set);
    max = -1;
}

bool Set::add(int fd)
{
    if (fd < 0 || fd >= FD_SETSIZE)
        return false;
    FD_SET(fd, &set);
    if (fd > max)
        max = fd;
    return true;
}

void Set::remove(int fd)
{
    if (fd < 0 || fd >= FD_SETSIZE)
        return;
    FD_CLR(fd, &set);
    while (max >= 0 && !FD_ISSET(max, &set))
        --max;
}

bool Set::has(int fd) const
{
    return fd >= 0 && fd < FD_SETSIZE && FD_ISSET(fd, &set);
}

int max_fd(const Set& a, const Set& b)
{
    return a.max > b.max ? a.max : b.max;
}

int max_fd(const Set& a, const Set& b, const Set& c)
{
    int ab = max_fd(a, b);
    return ab > c.max ? ab : c.max;
}

int select(Set& r, Set& w, Set& e, const timeval& timeout) { return doSelect(&r, &w, &e, &timeout); }
int select(Set& r, Set& w, Set& e) { return doSelect(&r, &w, &e, nullptr); }
int select(Set& r, Set& w) { return doSelect(&r, &w, nullptr, nullptr); }
int select(Set& r) { return doSelect(&r, nullptr, nullptr, nullptr); }
int select_rd(Set& set, const timeval& timeout) { return doSelect(&set, nullptr, nullptr, &timeout); }
int select_wr(Set& set, const timeval& timeout) { return doSelect(nullptr, &set, nullptr, &timeout); }

} // namespace Mux
