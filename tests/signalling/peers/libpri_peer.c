/*
 * A D-channel peer played by libpri, for the data link's oracle tests.
 * Linked to libpri only; it runs as a separate process.
 *
 * Usage: libpri_peer pri-net | pri-cpe | bri-nt
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
#include <unistd.h>

enum { kFrameFd = 3, kMax = 1024 };

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

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: libpri_peer pri-net|pri-cpe|bri-nt\n");
        return 2;
    }
    pri_set_message(to_stderr);
    pri_set_error(to_stderr);
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
