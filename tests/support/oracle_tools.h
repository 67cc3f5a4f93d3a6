// Independent tools run as separate processes by the oracle tests: a shell
// command's output, and packets as the hex dump that text2pcap reads.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <iomanip>
#include <sstream>
#include <string>
#include <vector>

namespace vbtest {

// The standard output of a shell command; its exit status in status.
inline std::string run(const std::string& command, int& status)
{
    std::string out;
    FILE* p = ::popen((command + " 2>/dev/null").c_str(), "r");
    if (!p) {
        status = -1;
        return out;
    }
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof(buf), p)) > 0;)
        out.append(buf, n);
    status = ::pclose(p);
    return out;
}

inline std::string run(const std::string& command)
{
    int status = 0;
    std::string out = run(command, status);
    EXPECT_EQ(status, 0) << command;
    return out;
}

inline void require(const char* tool)
{
    int status = 0;
    run(std::string("command -v ") + tool, status);
    ASSERT_EQ(status, 0) << tool << " is missing: run scripts/deps.sh";
}

inline std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

// One packet per UDP datagram, in the hex dump text2pcap reads.
inline std::string hexdump(const std::vector<std::string>& packets)
{
    std::ostringstream o;
    o << std::hex << std::setfill('0');
    for (const std::string& p : packets) {
        for (size_t at = 0; at < p.size(); at += 16) {
            o << std::setw(6) << at;
            for (size_t i = at; i < p.size() && i < at + 16; ++i)
                o << ' ' << std::setw(2) << unsigned(uint8_t(p[i]));
            o << '\n';
        }
    }
    return o.str();
}

} // namespace vbtest
