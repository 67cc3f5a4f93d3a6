// vb_standin: what the tests link in place of the PPP daemon, the fax
// programs and the T.38 engine. It notes how it was started in
// $VB_STANDIN_DIR/<pid>.run (argv one per line, then "dev:inode" of its
// descriptor 0), then behaves as $VB_STANDIN_<NAME> says, NAME being PPPD,
// FAX, FAXRECV (a fax program under a bin folder) or T38, from argv[0].
// Comma-separated words:
//   exit=N       exit with N at once
//   sleep=MS     exit with 0 after MS
//   hup=MS       exit with 0 MS after SIGHUP; hup=ignore ignores it
//   term=ignore  ignore SIGTERM
//   instances=N  answer --num-of-instances with "N"; "none" answers
//                nothing, "hang" never ends
//   say=TEXT     first write TEXT and a newline on the standard error;
//                "\0" in TEXT writes a NUL
//   noise=N      then write N bytes of lines on the standard error;
//                "forever" writes lines there for ever
//   partial=TEXT with --num-of-instances, first write TEXT with no
//                newline on the standard output
//   flood=1      write empty lines on the standard output for ever, as
//                yes "" does (not with --num-of-instances)
// Without exit or sleep it waits for a signal. How it ended goes to
// <pid>.end: "exit N" or "signal N". It dies with the program that
// started it.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string gDir;
// "<dir>/<pid>.end", made before any handler is set; empty without a dir.
char gEndPath[512];
volatile sig_atomic_t gHungUp = 0;

// Runs in the handlers of fatal signals, which may interrupt the program
// inside malloc or stdio: system calls only, or the handler could wait
// for a lock that the interrupted code holds, and never end.
void note_end(const char* how, int value)
{
    if (!gEndPath[0])
        return;
    char text[64];
    size_t n = 0;
    while (*how && n < 32)
        text[n++] = *how++;
    text[n++] = ' ';
    // An exit code or a signal number: never negative.
    char digits[12];
    size_t d = 0;
    unsigned v = unsigned(value);
    do
        digits[d++] = char('0' + v % 10);
    while ((v /= 10) != 0);
    while (d > 0)
        text[n++] = digits[--d];
    text[n++] = '\n';
    int fd = open(gEndPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    if (write(fd, text, n) < 0) {
    }
    close(fd);
}

[[noreturn]] void finish(int code)
{
    note_end("exit", code);
    std::fflush(nullptr);
    _exit(code);
}

void on_fatal(int sig)
{
    note_end("signal", sig);
    signal(sig, SIG_DFL);
    raise(sig);
}

void on_hup(int)
{
    gHungUp = 1;
}

void sleep_ms(long ms)
{
    timespec t{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0) {
    }
}

std::string name_of(const char* argv0)
{
    std::string path(argv0);
    std::string base = path.substr(path.rfind('/') + 1);
    if (base == "fax" && path.find("/bin/") != std::string::npos && path.find("/sbin/") == std::string::npos)
        return "FAXRECV";
    for (char& c : base)
        c = char(std::toupper(static_cast<unsigned char>(c)));
    return base;
}

// The value of word in the comma-separated list, "" when absent.
std::string directive(const std::string& list, const std::string& word)
{
    size_t at = 0;
    while (at <= list.size()) {
        size_t end = list.find(',', at);
        std::string item = list.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (item.compare(0, word.size() + 1, word + "=") == 0)
            return item.substr(word.size() + 1);
        if (end == std::string::npos)
            break;
        at = end + 1;
    }
    return std::string();
}

void note_start(int argc, char** argv)
{
    if (gDir.empty())
        return;
    std::string text;
    for (int i = 0; i < argc; ++i)
        text += std::string(argv[i]) + "\n";
    struct stat st;
    if (fstat(0, &st) == 0)
        text += std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + "\n";
    std::string path = gDir + "/" + std::to_string(getpid());
    // Written whole under another name, so a reader never sees half of it.
    if (FILE* f = std::fopen((path + ".tmp").c_str(), "w")) {
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
        std::rename((path + ".tmp").c_str(), (path + ".run").c_str());
    }
}

} // namespace

int main(int argc, char** argv)
{
    // Never outlives the program that started it, even one killed outright.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (const char* dir = std::getenv("VB_STANDIN_DIR")) {
        gDir = dir;
        std::snprintf(gEndPath, sizeof(gEndPath), "%s/%d.end", dir, int(getpid()));
    }
    const char* own = std::getenv(("VB_STANDIN_" + name_of(argv[0])).c_str());
    std::string how = own ? own : "";

    // Every signal takes the behaviour asked for before the start is noted:
    // a test that saw the note may signal at once. SIGHUP stays held back
    // but inside sigsuspend below, so none is missed.
    std::string hup = directive(how, "hup");
    sigset_t hupOnly, waiting;
    sigemptyset(&hupOnly);
    sigaddset(&hupOnly, SIGHUP);
    sigprocmask(SIG_BLOCK, &hupOnly, &waiting);
    sigdelset(&waiting, SIGHUP);
    signal(SIGHUP, hup == "ignore" ? SIG_IGN : hup.empty() ? on_fatal : on_hup);
    signal(SIGTERM, directive(how, "term") == "ignore" ? SIG_IGN : on_fatal);
    note_start(argc, argv);
    std::string say = directive(how, "say");
    for (size_t at; (at = say.find("\\0")) != std::string::npos;)
        say.replace(at, 2, 1, '\0');
    if (!say.empty())
        say += "\n";
    const std::string noiseWord = directive(how, "noise");
    const bool forever = noiseWord == "forever";
    long noise = forever ? 0 : std::atol(noiseWord.c_str());
    for (long n = 0; n < noise; n += 64)
        say += std::string(size_t(std::min(noise - n, 64L)) - 1, 'n') + "\n";
    for (size_t at = 0; at < say.size();) {
        ssize_t n = write(STDERR_FILENO, say.data() + at, say.size() - at);
        if (n <= 0)
            break;
        at += size_t(n);
    }
    const std::string line = std::string(63, 'n') + "\n";
    while (forever && write(STDERR_FILENO, line.data(), line.size()) > 0) {
    }

    if (argc > 1 && std::strcmp(argv[1], "--num-of-instances") == 0) {
        std::string partial = directive(how, "partial");
        if (!partial.empty() && write(STDOUT_FILENO, partial.data(), partial.size()) < 0) {
        }
        std::string count = directive(how, "instances");
        if (count == "hang")
            for (;;)
                pause();
        if (!count.empty() && count != "none")
            std::printf("%s\n", count.c_str());
        finish(0);
    }

    if (directive(how, "flood") == "1") {
        const std::string lines(4096, '\n');
        while (write(STDOUT_FILENO, lines.data(), lines.size()) > 0) {
        }
    }

    std::string code = directive(how, "exit");
    if (!code.empty())
        finish(std::atoi(code.c_str()));
    std::string sleep = directive(how, "sleep");
    if (!sleep.empty()) {
        sleep_ms(std::atol(sleep.c_str()));
        finish(0);
    }
    while (!gHungUp)
        sigsuspend(&waiting);
    sleep_ms(std::atol(hup.c_str()));
    finish(0);
}
