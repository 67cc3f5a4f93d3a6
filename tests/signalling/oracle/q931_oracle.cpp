// Wireshark's Q.931 dissector judges the trace decoder: seeded well-formed
// messages and a fixed set are decoded by dlogframe, written as a LAPD
// capture with text2pcap and read back with tshark; message type, call
// reference and flag, the multi-octet element identifiers in order, the
// cause value and the called number's digits must agree.
//
// Usage: q931_oracle TEXT2PCAP TSHARK WORKDIR SEED COUNT
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "signalling/q931_trace.h"

namespace {

using Octets = std::vector<uint8_t>;

// The fields compared, as text.
struct Fields {
    std::string sapi, tei, callref, flag, type, elements, cause, digits;

    std::string line() const
    {
        return sapi + "|" + tei + "|" + callref + "|" + flag + "|" + type + "|" + elements + "|" + cause + "|" +
               digits;
    }
};

void add(Octets& o, std::initializer_list<int> bytes)
{
    for (int b : bytes)
        o.push_back(static_cast<uint8_t>(b));
}

void add_element(Octets& o, int id, const Octets& contents)
{
    o.push_back(static_cast<uint8_t>(id));
    o.push_back(static_cast<uint8_t>(contents.size()));
    o.insert(o.end(), contents.begin(), contents.end());
}

std::string digits(std::mt19937& rng, size_t n)
{
    std::string s;
    for (size_t i = 0; i < n; ++i)
        s += static_cast<char>('0' + rng() % 10);
    return s;
}

Octets with_digits(std::initializer_list<int> head, const std::string& d)
{
    Octets o(head.begin(), head.end());
    o.insert(o.end(), d.begin(), d.end());
    return o;
}

// One message in an I frame or a broadcast UI frame. No shift octets: the
// dissector would change code sets where the decoder keeps its tables.
Octets random_message(std::mt19937& rng)
{
    Octets f;
    bool broadcast = rng() % 5 == 0;
    int cr = static_cast<int>(rng() % 2) << 1;
    if (broadcast)
        add(f, {cr, 0xff, 0x03});
    else
        add(f, {cr, static_cast<int>((rng() % 127) << 1 | 1), static_cast<int>((rng() % 128) << 1),
                static_cast<int>(rng() % 256)});
    const ISDN::Trace::MessageType& type = ISDN::Trace::mtlist[rng() % std::size(ISDN::Trace::mtlist)];
    int crLength = 1 + static_cast<int>(rng() % 2);
    add(f, {0x08, crLength});
    for (int i = 0; i < crLength; ++i)
        f.push_back(static_cast<uint8_t>(rng()));
    f.push_back(type.code);
    if (rng() % 3 == 0)
        add_element(f, 0x04, Octets{0x80, 0x90, 0xa3});
    if (rng() % 3 == 0) {
        const ISDN::Trace::CauseText& c = ISDN::Trace::cvlist[rng() % std::size(ISDN::Trace::cvlist)];
        add_element(f, 0x08, Octets{static_cast<uint8_t>(0x80 | rng() % 6), static_cast<uint8_t>(0x80 | c.value)});
    }
    if (rng() % 3 == 0)
        add_element(f, 0x18, rng() % 2 ? Octets{0x89} : Octets{0xa9, 0x83, static_cast<uint8_t>(0x81 + rng() % 30)});
    if (rng() % 4 == 0)
        add_element(f, 0x1e, Octets{0x82, 0x88});
    if (rng() % 4 == 0)
        add_element(f, 0x28, with_digits({}, "call " + digits(rng, rng() % 8)));
    if (rng() % 4 == 0)
        add_element(f, 0x2c, with_digits({}, digits(rng, 1 + rng() % 6)));
    if (rng() % 3 == 0)
        add_element(f, 0x6c, rng() % 2 ? with_digits({0x21, 0x83}, digits(rng, 1 + rng() % 10))
                                       : with_digits({0x81}, digits(rng, 1 + rng() % 10)));
    if (rng() % 2 == 0)
        add_element(f, 0x70, with_digits({0x81}, digits(rng, 1 + rng() % 12)));
    if (rng() % 4 == 0)
        f.push_back(0xa1);
    if (rng() % 5 == 0)
        add_element(f, 0x7e, with_digits({0x04}, digits(rng, 1 + rng() % 5)));
    return f;
}

std::vector<Octets> golden_frames()
{
    return {
        {0x02, 0xff, 0x03, 0x08, 0x01, 0x05, 0x05},
        {0x00, 0x01, 0x00, 0x00, 0x08, 0x02, 0x81, 0x05, 0x45, 0x08, 0x02, 0x80, 0x90},
        {0x02, 0x01, 0x00, 0x02, 0x08, 0x01, 0x85, 0x5a, 0x08, 0x05, 0x81, 0xe6, 0x33, 0x30, 0x33},
        {0x00, 0x01, 0x02, 0x00, 0x08, 0x01, 0x01, 0x05, 0xa1, 0x04, 0x03, 0x80, 0x90, 0xa3, 0x18, 0x01, 0x89,
         0x28, 0x03, 0x41, 0x42, 0x43, 0x6c, 0x05, 0x01, 0x80, 0x33, 0x34, 0x35, 0x70, 0x04, 0x81, 0x31, 0x32, 0x33},
        {0x02, 0x01, 0x04, 0x04, 0x08, 0x01, 0x81, 0x7d, 0x08, 0x02, 0x80, 0x9e, 0x14, 0x01, 0x0a},
    };
}

// The fields as the decoder's text tells them.
Fields ours(const Octets& frame)
{
    char text[ISDN::kLogbufSize];
    ISDN::dlogframe(frame.data(), static_cast<int>(frame.size()), 0, text, sizeof(text));
    Fields f;
    std::istringstream in(text);
    std::string line, element;
    unsigned value;
    int number;
    char name[128], flag[16];
    while (std::getline(in, line)) {
        if (std::sscanf(line.c_str(), "frame user->network IFrame tei = %d", &number) == 1) {
            f.sapi = "0";
            f.tei = std::to_string(number);
        } else if (line == "frame user->network broadcast") {
            f.sapi = "0";
            f.tei = "127";
        } else if (std::sscanf(line.c_str(), "callref %u %15s size %*d message type %127[^\n]", &value, flag,
                               name) == 3) {
            f.callref = std::to_string(value);
            f.flag = std::strcmp(flag, "called") == 0 ? "1" : "0";
            for (const auto& m : ISDN::Trace::mtlist)
                if (std::strcmp(m.name, name) == 0)
                    f.type = std::to_string(m.code);
        } else if (std::sscanf(line.c_str(), "  cause value %x", &value) == 1) {
            f.cause = std::to_string(value);
        } else if (line.rfind("    number digits ", 0) == 0 && element == "Called party number") {
            f.digits = line.substr(18);
        } else if (line.size() > 2 && line[2] != ' ' && line.rfind("  ", 0) == 0) {
            element = line.substr(2);
            for (const auto& e : ISDN::Trace::ielist)
                if (element == e.name)
                    f.elements += (f.elements.empty() ? "" : ",") + std::to_string(e.id);
        }
    }
    return f;
}

std::vector<std::string> split(const std::string& s, char sep)
{
    std::vector<std::string> out;
    std::string item;
    std::istringstream in(s);
    while (std::getline(in, item, sep))
        out.push_back(item);
    if (!s.empty() && s.back() == sep)
        out.push_back("");
    return out;
}

// One line of tshark's fields.
Fields theirs(const std::string& line)
{
    std::vector<std::string> c = split(line, '\t');
    c.resize(10);
    Fields f;
    f.sapi = c[0];
    f.tei = c[1];
    f.callref = c[3].empty() ? "0" : std::to_string(std::strtoul(c[3].c_str(), nullptr, 16));
    f.flag = c[4].empty() ? "0" : c[4];
    f.type = c[5].empty() ? "" : std::to_string(std::strtoul(c[5].c_str(), nullptr, 0));
    f.elements = c[6];
    f.cause = c[7];
    f.digits = c[8];
    return f;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 6) {
        std::cerr << "usage: q931_oracle TEXT2PCAP TSHARK WORKDIR SEED COUNT" << std::endl;
        return 2;
    }
    std::string dir = argv[3];
    std::mt19937 rng(static_cast<unsigned>(std::strtoul(argv[4], nullptr, 10)));
    std::vector<Octets> frames = golden_frames();
    for (long i = std::strtol(argv[5], nullptr, 10); i > 0; --i)
        frames.push_back(random_message(rng));

    std::ofstream dump(dir + "/frames.txt");
    for (const Octets& f : frames) {
        dump << "0000";
        for (uint8_t b : f) {
            char hex[4];
            std::snprintf(hex, sizeof(hex), " %02x", b);
            dump << hex;
        }
        dump << "\n";
    }
    dump.close();
    std::string cmd = std::string(argv[1]) + " -q -l 203 " + dir + "/frames.txt " + dir + "/frames.pcap && " +
                      argv[2] + " -n -r " + dir + "/frames.pcap -T fields -E separator=/t -e lapd.sapi -e lapd.tei" +
                      " -e lapd.cr -e q931.call_ref -e q931.call_ref_flag -e q931.message_type" +
                      " -e q931.information_element -e q931.cause_value -e q931.called_party_number.digits" +
                      " -e _ws.expert.message > " + dir + "/fields.tsv 2> " + dir + "/tshark.err";
    if (std::system(cmd.c_str()) != 0) {
        std::cerr << "text2pcap or tshark failed: " << cmd << std::endl;
        return 1;
    }
    std::ifstream fields(dir + "/fields.tsv");
    std::string line;
    size_t index = 0, bad = 0;
    while (std::getline(fields, line) && index < frames.size()) {
        Fields a = ours(frames[index]), b = theirs(line);
        if (a.line() != b.line()) {
            if (++bad <= 10)
                std::cerr << "frame " << index << ":\n  ours   " << a.line() << "\n  tshark " << b.line()
                          << "\n  line   " << line << std::endl;
        }
        ++index;
    }
    if (index != frames.size()) {
        std::cerr << "tshark gave " << index << " lines for " << frames.size() << " frames" << std::endl;
        return 1;
    }
    std::cout << frames.size() << " frames, " << bad << " disagree" << std::endl;
    return bad == 0 ? 0 : 1;
}
