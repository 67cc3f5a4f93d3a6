// Looking up a running process by its command name.
#pragma once

// The pid of a process whose command name (as in /proc/<pid>/stat) is
// exactly name, or -1. A pid above 0 is tried first, so repeating a search
// for a known process costs one read.
int find_proc_by_name(const char* name, int pid);
