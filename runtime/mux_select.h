// select() wrappers for the few users that still need select; the loop
// itself uses poll().
#pragma once

#include <sys/select.h>

#include "runtime/mux_time.h"

namespace Mux {

// A descriptor set that remembers its highest member (-1 when empty), so
// the count passed to select never has to be worked out by the caller.
struct Set {
    fd_set set;
    int max = -1;

    Set() { zero(); }
    void zero();
    // False for a descriptor fd_set cannot hold (negative or >= FD_SETSIZE).
    bool add(int fd);
    void remove(int fd);
    bool has(int fd) const;
};

int max_fd(const Set& a, const Set& b);
int max_fd(const Set& a, const Set& b, const Set& c);

// Sets whose highest descriptor is below 0 are passed as null. Without a
// time-out the call blocks. The sets hold the ready descriptors afterwards.
int select(Set& r, Set& w, Set& e, const timeval& timeout);
int select(Set& r, Set& w, Set& e);
int select(Set& r, Set& w);
int select(Set& r);
int select_rd(Set& set, const timeval& timeout);
int select_wr(Set& set, const timeval& timeout);

} // namespace Mux
