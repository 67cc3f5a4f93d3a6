// What the helper programs write on their standard output and error. Each
// helper writes into a pipe of its own that the loop reads; every line
// becomes one line of the server's own log stream, named after the helper
// ("pppd[1234]: ..."). A helper never writes to the system log itself, so
// a log daemon that stops reading holds no helper (the pipe's buffer is
// the only limit left), and no helper's text lands inside a record of the
// server. Lines the log cannot take are dropped and counted with the
// server's own. A NUL in a line is shown as "\0": the log's records are
// C strings, which would end there.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <iosfwd>
#include <string>

#include "runtime/fd.h"

namespace ChildOutput {

// The longest piece of a line that goes out as one line: a longer one is
// cut into several, leaving room in a log record for its head and names.
constexpr size_t kLineBytes = 768;
// Lines all helpers together may log in one loop pass: each costs the
// loop about as much, an empty one as a long one. What is not read waits
// in the pipes, which hold the helpers back, not the loop.
constexpr size_t kPassRecords = 1024;

// Reads readEnd in the loop until every writer has closed it (the helper
// and any child of it that kept it); each line goes to out as
// "<name>[<pid>]: <line>", and a last line without its newline goes at
// the end all the same.
void Follow(Fd readEnd, const std::string& name, pid_t pid, std::ostream& out);
// The same into std::cout: the log in daemon mode, the terminal otherwise.
void Follow(Fd readEnd, const std::string& name, pid_t pid);

} // namespace ChildOutput
