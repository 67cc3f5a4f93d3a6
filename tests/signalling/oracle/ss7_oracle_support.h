// MTP3 link tests (Q.707 2.2) and the tshark check of the SS7 oracle.
#pragma once

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

const uint8_t kSltm = 0x11, kSlta = 0x21;

struct Mtp3Message {
    uint8_t sio = 0;
    unsigned dpc = 0, opc = 0, sls = 0;
    uint8_t heading = 0;
    std::string pattern;
};

// A link test message or its acknowledgement: service information octet,
// ITU routing label (DPC, OPC, SLS; low octet first), heading, the
// pattern's length in the upper half of the next octet, the pattern.
inline std::string sltm(uint8_t sio, unsigned dpc, unsigned opc, unsigned sls, const std::string& pattern,
                        uint8_t heading)
{
    uint32_t label = (dpc & 0x3fff) | (opc & 0x3fff) << 14 | (sls & 15) << 28;
    std::string m(1, static_cast<char>(sio));
    for (int i = 0; i < 4; ++i)
        m += static_cast<char>(label >> (8 * i));
    m += static_cast<char>(heading);
    m += static_cast<char>(pattern.size() << 4);
    return m + pattern;
}

// Traffic restart allowed (Q.704 15.14): network management, heading 0x17.
inline bool is_tra(const std::string& msu)
{
    return msu.size() == 6 && (msu[0] & 15) == 0 && uint8_t(msu[5]) == 0x17;
}

inline std::string tra(unsigned dpc, unsigned opc, unsigned sls)
{
    std::string m = sltm(0x80, dpc, opc, sls, "", 0x17);
    m.pop_back(); // no length octet
    return m;
}

// A network test message (service indicator 1) with its label and
// heading; false for anything else.
inline bool parse(const std::string& msu, Mtp3Message& m)
{
    if (msu.size() < 7 || (msu[0] & 15) != 1)
        return false;
    uint32_t label = 0;
    for (int i = 0; i < 4; ++i)
        label |= uint32_t(uint8_t(msu[1 + i])) << (8 * i);
    m.sio = uint8_t(msu[0]);
    m.dpc = label & 0x3fff;
    m.opc = label >> 14 & 0x3fff;
    m.sls = label >> 28;
    m.heading = uint8_t(msu[5]);
    size_t n = uint8_t(msu[6]) >> 4;
    if (msu.size() < 7 + n)
        return false;
    m.pattern = msu.substr(7, n);
    return true;
}

// Writes the units as a capture of linktype 140 (MTP2, no pseudo-header,
// no check octets) and has tshark read the sequence fields back; every
// line must match the unit's own octets and carry no expert item.
inline void check_with_tshark(const std::string& tshark, const std::string& file, const std::vector<std::string>& units,
                              const std::function<void(bool, const std::string&)>& check)
{
    std::ofstream out(file, std::ios::binary);
    auto u32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    u32(0xa1b2c3d4);
    u32(0x00040002);
    u32(0);
    u32(0);
    u32(65535);
    u32(140);
    for (size_t i = 0; i < units.size(); ++i) {
        u32(static_cast<uint32_t>(i / 1000));
        u32(static_cast<uint32_t>(i % 1000 * 1000));
        u32(static_cast<uint32_t>(units[i].size()));
        u32(static_cast<uint32_t>(units[i].size()));
        out << units[i];
    }
    out.close();
    std::string cmd = tshark + " -n -r " + file +
                      " -T fields -E separator=, -e mtp2.bsn -e mtp2.bib -e mtp2.fsn -e mtp2.fib -e mtp2.li"
                      " -e _ws.expert 2>/dev/null";
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) {
        check(false, "tshark runs");
        return;
    }
    std::vector<std::string> lines;
    char buf[512];
    while (std::fgets(buf, sizeof buf, p)) {
        std::string l(buf);
        while (!l.empty() && (l.back() == '\n' || l.back() == '\r'))
            l.pop_back();
        lines.push_back(l);
    }
    ::pclose(p);
    check(lines.size() == units.size(), "tshark read every unit (" + std::to_string(lines.size()) + " of " +
                                            std::to_string(units.size()) + ")");
    int reported = 0;
    for (size_t i = 0; i < units.size() && i < lines.size(); ++i) {
        const std::string& u = units[i];
        auto o = [&](size_t k) { return unsigned(uint8_t(u[k])); };
        std::string want = std::to_string(o(0) & 127) + "," + std::to_string(o(0) >> 7) + "," +
                           std::to_string(o(1) & 127) + "," + std::to_string(o(1) >> 7) + "," +
                           std::to_string(o(2) & 63) + ",";
        if (lines[i] != want && reported++ < 5)
            check(false, "unit " + std::to_string(i) + ": tshark says \"" + lines[i] + "\", we sent \"" + want + "\"");
    }
    check(reported == 0, std::to_string(reported) + " units read otherwise by tshark");
}
