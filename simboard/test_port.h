// The simulated board's test port: what lets a test drive the board behind
// a running program. The program built with the simulated board serves an
// abstract UNIX seqpacket socket named "voxbridge-simboard-" and its pid,
// on its loop; a test sends one text command per packet and reads one
// answer line, "ok ..." or "error ...".
//
// The board's own commands:
//   post <device> <hex>                       a record to every open descriptor
//   fail <device> <open|read|write|number> <errno> [always]   a request by its
//                                             number, e.g. fail /dev/mixer 0x80104d07 5
//                                             (errno 0: no longer)
//   hangup <device>                           the device ends every open descriptor
//   record on|off                             the request log
//   log <device> <request>                    the requests of that number
//   count <device> <open|read|write|request>  how many came, failed ones too
//   passes                                    loop passes since the port opened
// and each device model adds its own words (see Model::port_commands), for
// example "switch <channel>" of "/dev/hal": what a switch output does.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "runtime/fd.h"
#include "runtime/multiplexer.h"
#include "runtime/timer.h"

namespace SimBoard {

class Board;

class TestPort {
public:
    using Args = std::vector<std::string>;
    // The answer line to the command's words after its first.
    using Command = std::function<std::string(const Args& args)>;

    explicit TestPort(Board& board);
    ~TestPort();
    TestPort(const TestPort&) = delete;
    TestPort& operator=(const TestPort&) = delete;

    // The abstract socket name of the port of process pid.
    static std::string name(pid_t pid);
    // Serves the port of this process on the loop; false when the name is
    // taken or no socket can be made.
    bool open(pid_t pid);

    void add(const std::string& word, size_t args, const std::string& usage, Command command);
    // Runs one command line; its answer.
    std::string execute(const std::string& line);

    // Numbers as the commands take them: decimal, 0x hexadecimal, leading-0 octal.
    static bool number(const std::string& text, int64_t& value);
    static bool number(const std::string& text, uint32_t& value);
    static bool number(const std::string& text, int32_t& value);
    static std::string ok(const std::string& text = std::string());
    static std::string error(const std::string& text);

private:
    struct Entry {
        size_t args;
        std::string usage;
        Command command;
    };
    struct Connection {
        TestPort* port;
        Event event;
        void OnCommand(int fd, short revents);
    };

    void add_board_commands();
    void OnAccept(int fd, short revents);
    void OnPass() { ++mDpcRuns; }
    void drop(Connection* c);

    Board& mBoard;
    std::map<std::string, Entry> mCommands;
    Event mListen;
    std::vector<std::unique_ptr<Connection>> mConnections;
    // Deferred calls run twice per loop pass.
    Dpc mPasses;
    uint64_t mDpcRuns = 0;
};

} // namespace SimBoard
