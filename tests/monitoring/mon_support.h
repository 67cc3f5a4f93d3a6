// MON messages as an SNMP agent reads and writes them: frames cut from a
// TCP byte stream, each decoded message as one line of value notation or as
// the items of its snmp-set command, and an agent that listens on loopback.
// Header-only, for the tests and the stand-in agent program.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <initializer_list>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "asn1/avn_encoder.h"
#include "asn1/coder_env.h"
#include "server/schema/MON.h"

namespace vbtest {

// The payloads of the whole TPKT frames (RFC 1006) at the head of buffer,
// which keeps what is left of a frame not yet complete.
inline std::vector<std::string> take_frames(std::string& buffer)
{
    std::vector<std::string> frames;
    while (buffer.size() >= 4) {
        size_t len = uint8_t(buffer[2]) << 8 | uint8_t(buffer[3]);
        if (len < 4) {
            buffer.clear();
            frames.push_back(std::string());
            break;
        }
        if (buffer.size() < len)
            break;
        frames.push_back(buffer.substr(4, len - 4));
        buffer.erase(0, len);
    }
    return frames;
}

inline std::string mon_payload(const MON::Message& m)
{
    std::vector<char> out;
    ASN1::CoderEnv().encodeOctets(m, out);
    return std::string(out.begin(), out.end());
}

inline std::string mon_frame(const MON::Message& m)
{
    std::string payload = mon_payload(m);
    size_t n = payload.size() + 4;
    return std::string{3, 0, char(n >> 8), char(n & 0xFF)} + payload;
}

inline bool mon_decode(const std::string& payload, MON::Message& m)
{
    return ASN1::CoderEnv().decode(payload.data(), payload.data() + payload.size(), m, true);
}

// The value notation of a message on one line (runs of blanks made one).
inline std::string mon_line(const MON::Message& m)
{
    std::ostringstream value;
    value << m;
    std::string text;
    for (char c : value.str()) {
        if (c == '\n' || c == '\t')
            c = ' ';
        if (!(c == ' ' && (text.empty() || text.back() == ' ')))
            text += c;
    }
    return text;
}

inline std::string hex(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes)
        out += {digits[c >> 4], digits[c & 15]};
    return out;
}

// One item of an snmp-set command.
struct SetItem {
    int uniq;
    std::string section, name;
    int index;
    std::string value;
    // "powerStatus=2", "e1Connected[1]=0" (a row other than 0 in brackets).
    std::string text() const
    {
        return name + (index ? "[" + std::to_string(index) + "]" : std::string()) + "=" + value;
    }
};

// A received message in short: "ping", "trapsink a b", "set" with items,
// "undecodable" or the value notation of anything else.
struct MonReceived {
    std::string kind;
    std::vector<SetItem> items;
    size_t size = 0; // octets of the payload

    explicit MonReceived(const std::string& payload) : size(payload.size())
    {
        MON::Message m;
        if (!mon_decode(payload, m)) {
            kind = "undecodable";
            return;
        }
        const MON::PDU& pdu = m.get_pdu();
        if (!pdu.is_command()) {
            kind = mon_line(m);
            return;
        }
        const MON::Command& c = pdu.get_command();
        if (c.is_ping()) {
            kind = "ping";
        } else if (c.is_snmp_trapsink_set()) {
            kind = "trapsink";
            for (const MON::SnmpTrapsink& s : c.get_snmp_trapsink_set().get_trapsinks())
                kind += " " + std::string(s.get_host());
        } else if (c.is_snmp_set()) {
            kind = "set";
            for (const MON::SnmpSetCommand& s : c.get_snmp_set().get_commands()) {
                SetItem item{s.get_uniq().getValue(), "", "", 0, s.get_value()};
                if (s.get_id().is_name()) {
                    const MON::IniName& n = s.get_id().get_name();
                    item.section = n.get_section();
                    item.name = n.get_name();
                    item.index = n.get_index().getValue();
                } else {
                    item.name = s.get_id().get_oid();
                }
                items.push_back(item);
            }
        } else {
            kind = mon_line(m);
        }
    }
    std::vector<std::string> texts() const
    {
        std::vector<std::string> out;
        for (const SetItem& i : items)
            out.push_back(i.text());
        return out;
    }
};

// One set command for an item by name, or by object identifier.
inline MON::SnmpSetCommand set_command(int uniq, const std::string& section, const std::string& name, int index,
                                       const std::string& value)
{
    MON::SnmpSetCommand c;
    c.set_uniq(uniq);
    c.get_id().get_name().set_section(section);
    c.get_id().get_name().set_name(name);
    c.get_id().get_name().set_index(index);
    c.set_value(value);
    return c;
}

inline MON::SnmpSetCommand oid_command(int uniq, const std::string& oid, const std::string& value)
{
    MON::SnmpSetCommand c;
    c.set_uniq(uniq);
    c.get_id().set_oid(oid);
    c.set_value(value);
    return c;
}

inline MON::SnmpSetCommands set_commands(std::initializer_list<MON::SnmpSetCommand> list)
{
    MON::SnmpSetCommands commands;
    for (const MON::SnmpSetCommand& c : list)
        commands.get_commands().push_back(c);
    return commands;
}

// A ping answered with success.
inline MON::Message ping_answer()
{
    MON::Message m;
    m.get_pdu().get_response().get_ping().set_success();
    return m;
}

// A TCP listener on 127.0.0.1 (port 0: one of the kernel's choice).
inline int listen_loopback(uint16_t port, uint16_t& bound, int rcvbuf = 0)
{
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    // Before listen: the links accepted take it, window included.
    if (rcvbuf > 0)
        ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    socklen_t len = sizeof(a);
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || ::listen(s, 4) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        ::close(s);
        return -1;
    }
    bound = ntohs(a.sin_port);
    return s;
}

// Every entry under dir by its path below dir: a file with its text, a
// link as where it points, a folder (its path ending with a slash) as "".
// Hidden names are passed over.
inline void snapshot(const std::string& dir, const std::string& below, std::map<std::string, std::string>& files)
{
    DIR* d = ::opendir((dir + below).c_str());
    if (!d)
        return;
    while (dirent* e = ::readdir(d)) {
        std::string name = below + "/" + e->d_name;
        struct stat st;
        if (e->d_name[0] == '.' || ::lstat((dir + name).c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            files[name + "/"] = "";
            snapshot(dir, name, files);
        } else if (S_ISLNK(st.st_mode)) {
            char to[4096];
            ssize_t n = ::readlink((dir + name).c_str(), to, sizeof(to));
            files[name] = "-> " + std::string(to, n > 0 ? static_cast<size_t>(n) : 0);
        } else {
            std::ifstream in(dir + name, std::ios::binary);
            std::ostringstream text;
            text << in.rdbuf();
            files[name] = text.str();
        }
    }
    ::closedir(d);
}

} // namespace vbtest
