/*
 * A D-channel peer played by libpri, for the data link's oracle tests.
 * Linked to libpri only; it runs as a separate process.
 *
 * Usage: libpri_peer pri-net | pri-cpe | bri-nt | bri-te9
 *
 * bri-te9 plays nine point-to-multipoint BRI terminals on one S bus: each
 * frame read is handed to all nine, each terminal's frames are written.
 * Its event lines name the terminal (0..8): "tei I N", "denied I",
 * "up I", "ring I cr=N", "connect_ack I", and "rx I ..."/"tx I ..." as
 * above. A line "answer I" on stdin makes terminal I answer its call.
 *
 * Frames travel on descriptor 3 (SOCK_SEQPACKET, one frame a message),
 * without check sequence: libpri writes two trailing FCS octets, which are
 * cut, and drops two from every frame it reads, which are added. Events
 * are lines on stdout: "up", "down", "tei N" (an identity assigned that
 * libpri sent), "rx cr=N type=T" and "tx cr=N type=T" (the call reference
 * value and message type of every Q.931 message received or sent).
 * libpri's own texts go to stderr. The peer ends when stdin closes.
 */
#include <errno.h>
#include <libpri.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <stdint.h>
#include <stdlib.h>
#include <unistd.h>

enum { kFrameFd = 3, kMax = 1024, kTerminals = 9 };

static void to_stderr(struct pri *pri, char *text)
{
    (void)pri;
    fputs(text, stderr);
}

/* The call reference and type of a Q.931 message in an I or UI frame. */
static void report_message(const char *dir, const unsigned char *f, int n)
{
    int start;
    if (n < 3 || (f[0] >> 2) != 0)
        return;
    if ((f[2] & 1) == 0)
        start = 4;
    else if ((f[2] & 0xEF) == 0x03)
        start = 3;
    else
        return;
    if (n < start + 3 || f[start] != 0x08)
        return;
    int crlen = f[start + 1] & 0x0F;
    if (n < start + 3 + crlen)
        return;
    unsigned cr = 0;
    for (int i = 0; i < crlen; ++i)
        cr = cr << 8 | f[start + 2 + i];
    unsigned flagMask = crlen ? 0x80u << (8 * (crlen - 1)) : 0;
    printf("%s cr=%u flag=%d type=%02x\n", dir, cr & ~flagMask, (cr & flagMask) != 0, f[start + 2 + crlen]);
}

static int io_read(struct pri *pri, void *buf, int buflen)
{
    (void)pri;
    if (buflen < 3)
        return -1;
    ssize_t n = recv(kFrameFd, buf, (size_t)buflen - 2, 0);
    if (n <= 0)
        return n == 0 ? 0 : -1;
    report_message("rx", buf, (int)n);
    memset((char *)buf + n, 0, 2);
    return (int)n + 2;
}

static int io_write(struct pri *pri, void *buf, int buflen)
{
    (void)pri;
    const unsigned char *f = buf;
    int n = buflen - 2;
    if (n <= 0)
        return buflen;
    /* Identity assigned: SAPI 63, TEI 127, UI, management entity, type 2. */
    if (n >= 8 && f[0] >> 2 == 63 && f[1] == 0xFF && f[3] == 0x0F && f[6] == 2)
        printf("tei %d\n", f[7] >> 1);
    report_message("tx", f, n);
    fflush(stdout);
    if (send(kFrameFd, buf, (size_t)n, MSG_NOSIGNAL) < 0)
        return -1;
    return buflen;
}

static void handle(pri_event *e)
{
    if (!e)
        return;
    if (e->e == PRI_EVENT_DCHAN_UP)
        printf("up\n");
    else if (e->e == PRI_EVENT_DCHAN_DOWN)
        printf("down\n");
    fflush(stdout);
}

/* ------------------------------------------------------ nine terminals */

static struct pri *terminals[kTerminals];
static q931_call *calls[kTerminals];
static unsigned requestRi[kTerminals];
static unsigned char busFrame[kMax];
static int busLength = -1; /* the frame being handed round, -1 none */

static int terminal_of(struct pri *pri)
{
    return (int)(intptr_t)pri_get_userdata(pri);
}

static int bus_read(struct pri *pri, void *buf, int buflen)
{
    char dir[16];
    if (busLength < 0 || busLength + 2 > buflen)
        return -1;
    memcpy(buf, busFrame, (size_t)busLength);
    memset((char *)buf + busLength, 0, 2);
    snprintf(dir, sizeof(dir), "rx %d", terminal_of(pri));
    report_message(dir, busFrame, busLength);
    return busLength + 2;
}

static int bus_write(struct pri *pri, void *buf, int buflen)
{
    const unsigned char *f = buf;
    int n = buflen - 2, t = terminal_of(pri);
    char dir[16];
    if (n <= 0)
        return buflen;
    /* Identity request: the terminal's reference, by position. */
    if (n >= 8 && f[0] >> 2 == 63 && f[1] == 0xFF && f[3] == 0x0F && f[6] == 1)
        requestRi[t] = (unsigned)(f[4] | f[5] << 8);
    snprintf(dir, sizeof(dir), "tx %d", t);
    report_message(dir, f, n);
    fflush(stdout);
    if (send(kFrameFd, buf, (size_t)n, MSG_NOSIGNAL) < 0)
        return -1;
    return buflen;
}

static void bus_event(int t, pri_event *e)
{
    if (!e)
        return;
    if (e->e == PRI_EVENT_DCHAN_UP)
        printf("up %d\n", t);
    else if (e->e == PRI_EVENT_RING) {
        calls[t] = e->ring.call;
        printf("ring %d cr=%d\n", t, e->ring.cref);
    } else if (e->e == PRI_EVENT_CONNECT_ACK)
        printf("connect_ack %d\n", t);
    fflush(stdout);
}

/* Identity assigned or denied for a terminal's last request. */
static void bus_identity(const unsigned char *f, int n)
{
    if (n < 8 || f[0] >> 2 != 63 || f[1] != 0xFF || f[3] != 0x0F || (f[6] != 2 && f[6] != 3))
        return;
    unsigned ri = (unsigned)(f[4] | f[5] << 8);
    for (int t = 0; t < kTerminals; ++t)
        if (requestRi[t] == ri) {
            if (f[6] == 2)
                printf("tei %d %d\n", t, f[7] >> 1);
            else
                printf("denied %d\n", t);
        }
    fflush(stdout);
}

/* Commands on stdin, one a line; false at its end. */
static int bus_command(void)
{
    static char line[256];
    static size_t used;
    ssize_t n = read(0, line + used, sizeof(line) - 1 - used);
    if (n <= 0)
        return 0;
    used += (size_t)n;
    line[used] = 0;
    char *end;
    while ((end = strchr(line, '\n')) != NULL) {
        *end = 0;
        int t;
        if (sscanf(line, "answer %d", &t) == 1 && t >= 0 && t < kTerminals && calls[t])
            pri_answer(terminals[t], calls[t], 0, 1);
        used -= (size_t)(end + 1 - line);
        memmove(line, end + 1, used + 1);
    }
    if (used == sizeof(line) - 1)
        used = 0;
    return 1;
}

static int run_bus(void)
{
    for (int t = 0; t < kTerminals; ++t) {
        terminals[t] = pri_new_bri_cb(kFrameFd, 0, PRI_CPE, PRI_SWITCH_EUROISDN_E1, bus_read, bus_write,
                                      (void *)(intptr_t)t);
        if (!terminals[t]) {
            fprintf(stderr, "libpri_peer: cannot start terminal %d\n", t);
            return 1;
        }
        pri_set_debug(terminals[t], 0);
        pri_connect_ack_enable(terminals[t], 1);
    }
    for (;;) {
        long timeout = -1;
        struct timeval now;
        gettimeofday(&now, NULL);
        for (int t = 0; t < kTerminals; ++t) {
            struct timeval *next = pri_schedule_next(terminals[t]);
            if (!next)
                continue;
            long ms = (next->tv_sec - now.tv_sec) * 1000 + (next->tv_usec - now.tv_usec) / 1000;
            if (ms < 0)
                ms = 0;
            if (timeout < 0 || ms < timeout)
                timeout = ms;
        }
        struct pollfd fds[2] = {{kFrameFd, POLLIN, 0}, {0, POLLIN, 0}};
        int n = poll(fds, 2, (int)timeout);
        if (n < 0 && errno != EINTR)
            return 1;
        if (n > 0 && (fds[1].revents & (POLLIN | POLLHUP)) && !bus_command())
            return 0;
        if (n > 0 && (fds[0].revents & POLLIN)) {
            ssize_t got = recv(kFrameFd, busFrame, sizeof(busFrame) - 2, 0);
            if (got <= 0)
                return 0;
            busLength = (int)got;
            bus_identity(busFrame, busLength);
            for (int t = 0; t < kTerminals; ++t)
                bus_event(t, pri_check_event(terminals[t]));
            busLength = -1;
        } else if (n > 0 && (fds[0].revents & (POLLHUP | POLLERR))) {
            return 0;
        }
        gettimeofday(&now, NULL);
        for (int t = 0; t < kTerminals; ++t) {
            struct timeval *next = pri_schedule_next(terminals[t]);
            if (next && (next->tv_sec < now.tv_sec || (next->tv_sec == now.tv_sec && next->tv_usec <= now.tv_usec)))
                bus_event(t, pri_schedule_run(terminals[t]));
        }
    }
}

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: libpri_peer pri-net|pri-cpe|bri-nt|bri-te9\n");
        return 2;
    }
    pri_set_message(to_stderr);
    pri_set_error(to_stderr);
    if (!strcmp(argv[1], "bri-te9"))
        return run_bus();
    struct pri *pri;
    if (!strcmp(argv[1], "pri-net"))
        pri = pri_new_cb(kFrameFd, PRI_NETWORK, PRI_SWITCH_EUROISDN_E1, io_read, io_write, NULL);
    else if (!strcmp(argv[1], "pri-cpe"))
        pri = pri_new_cb(kFrameFd, PRI_CPE, PRI_SWITCH_EUROISDN_E1, io_read, io_write, NULL);
    else if (!strcmp(argv[1], "bri-nt"))
        pri = pri_new_bri_cb(kFrameFd, 0, PRI_NETWORK, PRI_SWITCH_EUROISDN_E1, io_read, io_write, NULL);
    else
        pri = NULL;
    if (!pri) {
        fprintf(stderr, "libpri_peer: cannot start %s\n", argv[1]);
        return 1;
    }
    pri_set_debug(pri, 0);
    for (;;) {
        int timeout = -1;
        struct timeval *next = pri_schedule_next(pri);
        if (next) {
            struct timeval now;
            gettimeofday(&now, NULL);
            long ms = (next->tv_sec - now.tv_sec) * 1000 + (next->tv_usec - now.tv_usec) / 1000;
            timeout = ms < 0 ? 0 : (int)ms;
        }
        struct pollfd fds[2] = {{kFrameFd, POLLIN, 0}, {0, POLLIN, 0}};
        int n = poll(fds, 2, timeout);
        if (n < 0 && errno != EINTR)
            return 1;
        if (n > 0 && (fds[1].revents & (POLLIN | POLLHUP))) {
            char c;
            if (read(0, &c, 1) <= 0)
                return 0;
        }
        if (n > 0 && (fds[0].revents & POLLIN))
            handle(pri_check_event(pri));
        else if (n > 0 && (fds[0].revents & (POLLHUP | POLLERR)))
            return 0;
        else if (n == 0)
            handle(pri_schedule_run(pri));
    }
}
