/* An SS7 signalling point of libss7 on the far end of a line, for the
 * oracle tests. libss7 runs its link on one end of a SOCK_SEQPACKET pair,
 * as it would on a D channel; this program plays the line between that
 * end and descriptor 3, one signal unit per message:
 *   - units from fd 3 get two check octets (libss7 strips them) and are
 *     given to libss7 again every 100 ms, as a line repeats the last unit;
 *   - units libss7 writes lose their two check octets, and only a unit
 *     unlike the one before goes on to fd 3 (repeated FISUs and LSSUs say
 *     nothing new);
 *   - libss7 may write at most once per millisecond, as a line would let it.
 * Events go to stdout, one line each: "MTP2 link up", "MTP2 link down",
 * "SS7 up", "SS7 down", and "MTP2 state " with each state libss7's link
 * enters ("PROVING", "ALIGNEDREADY", ...).
 *
 * Usage: ss7_peer POINT_CODE ADJACENT_POINT_CODE SLC
 */
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <libss7.h>

enum { kLine = 3, kMaxUnit = 512 };

static long long now_ms(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

static int verbose;

/* libss7 tells its link's state only in its MTP2 trace. */
static void on_message(struct ss7 *ss7, char *text)
{
    (void)ss7;
    const char *change = strstr(text, "Link state change: ");
    const char *to = change ? strstr(change, " -> ") : NULL;
    char state[32];
    if (to && sscanf(to + 4, "%31[A-Z]", state) == 1) {
        printf("MTP2 state %s\n", state);
        fflush(stdout);
    }
    if (verbose)
        fprintf(stderr, "libss7: %s", text);
}

static void report(struct ss7 *ss7)
{
    ss7_event *e;
    while ((e = ss7_check_event(ss7)) != NULL) {
        switch (e->e) {
        case MTP2_LINK_UP: puts("MTP2 link up"); break;
        case MTP2_LINK_DOWN: puts("MTP2 link down"); break;
        case SS7_EVENT_UP: puts("SS7 up"); break;
        case SS7_EVENT_DOWN: puts("SS7 down"); break;
        default: break;
        }
        fflush(stdout);
    }
}

int main(int argc, char **argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: ss7_peer POINT_CODE ADJACENT_POINT_CODE SLC\n");
        return 2;
    }
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair) != 0) {
        perror("socketpair");
        return 1;
    }
    ss7_set_message(on_message);
    ss7_set_error(on_message);
    struct ss7 *ss7 = ss7_new(SS7_ITU);
    if (!ss7) {
        fprintf(stderr, "ss7_new failed\n");
        return 1;
    }
    ss7_set_network_ind(ss7, SS7_NI_NAT);
    ss7_set_pc(ss7, (unsigned)atoi(argv[1]));
    ss7_add_link(ss7, SS7_TRANSPORT_DAHDIDCHAN, pair[0], atoi(argv[3]), (unsigned)atoi(argv[2]));
    verbose = getenv("SS7_PEER_DEBUG") != NULL;
    ss7_set_debug(ss7, SS7_DEBUG_MTP2 | (verbose ? SS7_DEBUG_MTP3 : 0));
    ss7_start(ss7);
    report(ss7);

    unsigned char toPeer[kMaxUnit + 2], fromPeer[kMaxUnit + 2], lastOut[kMaxUnit];
    ssize_t toPeerLen = 0, lastOutLen = -1;
    long long lastRepeat = now_ms(), lastWrite = 0;
    for (;;) {
        int flags = ss7_pollflags(ss7, pair[0]);
        long long t = now_ms();
        int timeout = 100 - (int)(t - lastRepeat);
        struct timeval *next = ss7_schedule_next(ss7);
        if (next) {
            struct timeval tv;
            gettimeofday(&tv, NULL);
            long long ms = ((long long)next->tv_sec - tv.tv_sec) * 1000 + (next->tv_usec - tv.tv_usec) / 1000;
            if (ms < timeout)
                timeout = ms < 0 ? 0 : (int)ms;
        }
        short ssEvents = (short)(flags & POLLIN);
        if ((flags & POLLOUT) && t > lastWrite)
            ssEvents |= POLLOUT;
        else if (flags & POLLOUT)
            timeout = timeout > 1 ? 1 : timeout;
        struct pollfd fds[3] = {
            {pair[0], ssEvents, 0}, {pair[1], POLLIN, 0}, {kLine, POLLIN, 0}};
        if (poll(fds, 3, timeout < 0 ? 0 : timeout) < 0 && errno != EINTR)
            return 1;
        if (fds[2].revents & (POLLHUP | POLLERR))
            return 0;
        if (fds[0].revents & POLLIN)
            ss7_read(ss7, pair[0]);
        if (fds[0].revents & POLLOUT) {
            ss7_write(ss7, pair[0]);
            lastWrite = now_ms();
        }
        if (fds[1].revents & POLLIN) {
            ssize_t n = read(pair[1], fromPeer, sizeof fromPeer);
            if (n > 2) {
                n -= 2;
                if (n != lastOutLen || memcmp(lastOut, fromPeer, (size_t)n) != 0) {
                    memcpy(lastOut, fromPeer, (size_t)n);
                    lastOutLen = n;
                    if (write(kLine, fromPeer, (size_t)n) < 0 && errno != EAGAIN)
                        return 0;
                }
            }
        }
        if (fds[2].revents & POLLIN) {
            ssize_t n = read(kLine, toPeer, kMaxUnit);
            if (n <= 0)
                return 0;
            toPeerLen = n;
            toPeer[n] = toPeer[n + 1] = 0;
            (void)!write(pair[1], toPeer, (size_t)n + 2);
            lastRepeat = now_ms();
        }
        if (toPeerLen > 0 && now_ms() - lastRepeat >= 100) {
            (void)!write(pair[1], toPeer, (size_t)toPeerLen + 2);
            lastRepeat = now_ms();
        }
        ss7_schedule_run(ss7);
        report(ss7);
    }
}
