#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <random>
#include <sstream>

#include "runtime/ini_file.h"
#include "runtime/paths.h"
#include "runtime/trace_ctl.h"
#include "tests/support/test_support.h"

namespace {

// The whole tree in one line: [section]@line key=value@line ...
std::string flatten(const IniFile::File& file)
{
    std::ostringstream out;
    for (const IniFile::Section& s : file)
        for (const IniFile::SubSection& b : s) {
            out << "[" << s.Name() << "]@" << b.LineNo();
            for (const IniFile::Key& k : b)
                for (const IniFile::SubKey& v : k)
                    out << " " << k.Name() << "=" << v.Value() << "@" << v.LineNo();
            out << ";";
        }
    return out.str();
}

std::string parse(const std::string& text)
{
    IniFile::File file;
    std::istringstream in(text);
    in >> file;
    return flatten(file);
}

using namespace std::string_literals;

struct ParseCase {
    const char* what;
    std::string text;
    const char* tree;
};

const ParseCase kParseCases[] = {
    {"last line without newline", "[s]\nk=v", "[s]@1 k=v@2;"},
    {"lines before the first header", "k=v\n# c\n[s]\n", "[s]@3;"},
    {"comment lines and blank lines", "[s]\n# k=1\n\n   \nk=2\n", "[s]@1 k=2@5;"},
    {"line without = dropped", "[s]\nnoequals\n[t]\nk=1", "[s]@1;[t]@3 k=1@4;"},
    {"repeated section is a second block", "[traces]\na=1\n[x]\n[traces]\nb=2\n",
     "[traces]@1 a=1@2;[traces]@4 b=2@5;[x]@3;"},
    {"blanks trimmed, inner kept, comment after blank", "[s]\na b = c d  # note\n", "[s]@1 a b=c d@2;"},
    {"inner runs of blanks kept", "[s]\na  b   =   c  d   \n", "[s]@1 a  b=c  d@2;"},
    {"# glued to the value is text", "[s]\nurl=x#y\n", "[s]@1 url=x#y@2;"},
    {"comment right after =", "[s]\nk = # note\n", "[s]@1 k=@2;"},
    {"empty value at end of input", "[s]\nk=", "[s]@1 k=@2;"},
    {"comment at end of input keeps the value", "[s]\nk=v #c", "[s]@1 k=v@2;"},
    {"key without = at end of input", "[s]\nk", "[s]@1;"},
    {"leading tabs skipped, inner tabs kept", "[s]\n\t\tk\tx = \tv\ty\n", "[s]@1 k\tx=\tv\ty@2;"},
    {"value may hold =", "[s]\nk=a=b\n", "[s]@1 k=a=b@2;"},
    {"# and [ inside a key", "[s]\na#b=1\nc[d=2\n", "[s]@1 a#b=1@2 c[d=2@3;"},
    {"header name taken as written", "[ my sec ]\nk=v\n", "[ my sec ]@1 k=v@2;"},
    {"[ and # inside a header name", "[a[b#c]\n", "[a[b#c]@1;"},
    {"text after the header ignored", "[s] junk k=v # c\nk=v\n", "[s]@1 k=v@2;"},
    {"header cut by line end drops lines until the next header",
     "[s]\na=1\n[bad\nb=2\n[t]\nc=3\n", "[s]@1 a=1@2;[t]@5 c=3@6;"},
    {"key repeated in a block keeps both", "[s]\nk=1\nj=0\nk=2\n", "[s]@1 k=1@2 k=2@4 j=0@3;"},
    {"carriage returns dropped everywhere", "[s]\r\nk=a\rb\r\n", "[s]@1 k=ab@2;"},
    // So a value is never cut short where it is read as a C string.
    {"a NUL reads as a blank", "[s]\nk = 2\0x\0 \nh\0k=\0v\n"s, "[s]@1 k=2 x@2 h k=v@3;"},
    {"empty input", "", ""},
};

TEST(IniParse, CharacterStateTable)
{
    for (const ParseCase& c : kParseCases)
        EXPECT_EQ(c.tree, parse(c.text)) << c.what;
}

TEST(IniFileTest, OpenResolvesThroughPathsAndCloseEmpties)
{
    vbtest::TempDir dir;
    Paths::ScopedRoot root(dir.path());
    ::mkdir(dir.file("etc").c_str(), 0700);
    std::ofstream(dir.file("etc/server.conf")) << "[traces]\nsignalling.hdlc = yes\n";
    IniFile::File file("/etc/server.conf");
    EXPECT_TRUE(file.IsOpened());
    EXPECT_EQ("[traces]@1 signalling.hdlc=yes@2;", flatten(file));
    file.Close();
    EXPECT_EQ(0, file.SectionCount());
    EXPECT_FALSE(file.Open("/etc/missing.conf"));
    EXPECT_EQ(0, file["traces"].SubSectionCount());
}

// Only a regular file of at most 1 MiB is read, and nothing waits for
// input: anything else says why and leaves every section empty.
TEST(IniFileTest, OnlyARegularFileUpToItsBoundIsRead)
{
    vbtest::TempDir dir;
    const size_t bound = 1 << 20;
    // The key is the last line, its block's header the first.
    const std::string text = "[s]\n#" + std::string(bound - 10, 'x') + "\nk=v\n";
    std::ofstream(dir.file("bound")) << text;
    std::ofstream(dir.file("over")) << " " << text;
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    const struct {
        const char* name;
        const char* why;
        const char* tree;
    } cases[] = {
        {"bound", "", "[s]@1 k=v@3;"},
        {"over", "larger than 1048576 bytes", ""},
        {"fifo", "not a regular file", ""},
        {"missing", "No such file or directory", ""},
    };
    for (const auto& c : cases) {
        IniFile::File file;
        EXPECT_EQ(file.Open(dir.file(c.name)), !*c.why) << c.name;
        EXPECT_EQ(file.OpenError(), c.why) << c.name;
        EXPECT_EQ(file.Missing(), std::string(c.name) == "missing") << c.name;
        EXPECT_EQ(flatten(file), c.tree) << c.name;
    }
}

TEST(IniSubKey, LenientTypedAccess)
{
    for (const char* t : {"true", "yes", "1", "on"})
        EXPECT_TRUE(IniFile::SubKey(t, 1).GetBool(false)) << t;
    for (const char* f : {"false", "no", "0", "off"})
        EXPECT_FALSE(IniFile::SubKey(f, 1).GetBool(true)) << f;
    EXPECT_TRUE(IniFile::SubKey("Yes", 1).GetBool(true)) << "anything else: the default";
    EXPECT_EQ(42, IniFile::SubKey("42abc", 1).GetInt(7));
    EXPECT_EQ(7, IniFile::SubKey("abc", 1).GetInt(7));
    EXPECT_EQ(7, IniFile::SubKey("99999999999", 1).GetInt(7));
    EXPECT_FLOAT_EQ(2.5f, IniFile::SubKey("2.5x", 1).GetFloat(1.0f));
}

// ------------------------------------------------------------------ Reader

enum Mode { Off = 0, Slow = 1, Fast = 2, Big = 16 };
const IniFile::Symbol<Mode> kModes[] = {{"off", Off}, {"slow", Slow}, {"fast", Fast}, {nullptr, Off}};

class IniReaderTest : public ::testing::Test {
protected:
    IniFile::SubSection& block(const std::string& text)
    {
        std::istringstream in(text);
        in >> mFile;
        return *mFile["s"].begin();
    }

    IniFile::File mFile;
    std::ostringstream mOut;
    IniFile::Reader mReader{"cfg: ", mOut};
};

TEST_F(IniReaderTest, RequiredKeyMessagesStopTheParse)
{
    struct Case {
        const char* text;
        const char* messages;
    } cases[] = {
        {"[s]\nother=1\n", "cfg: required key \"host\" not present, line 1\n"},
        {"[s]\nhost=h\nport=fast!\n", "cfg: required key \"port\" has invalid value=\"fast!\", line 3\n"},
        {"[s]\nhost=a\n\nhost=b\n",
         "cfg: required key \"host\" is duplicated!\n"
         "cfg:  first occurence at 2 line.\n"
         "cfg:  second occurence at 4 line.\n"},
        {"[s]\nhost=a\nhost=b\nhost=c\n", "cfg: required key \"host\" specified more than once: 2 3 4 lines\n"},
        // The first failure ends the parse: the repeated port is not looked at.
        {"[s]\nport=1\nport=2\n", "cfg: required key \"host\" not present, line 1\n"},
    };
    for (const Case& c : cases) {
        std::ostringstream out;
        IniFile::Reader r("cfg: ", out);
        std::string host = "default";
        Mode port = Off;
        r.mRequired.add(&host, "host");
        r.mRequired.add(&port, "port", kModes);
        EXPECT_FALSE(r.parse(block(c.text))) << c.text;
        EXPECT_EQ(c.messages, out.str()) << c.text;
    }
}

TEST_F(IniReaderTest, OptionalKeyMessagesDoNotFailAndUnboundKeysAreIgnored)
{
    bool flag = true;
    Mode mode = Slow;
    std::string name = "keep", host;
    bool& flagFound = mReader.mOptional.add(&flag, "flag");
    bool& modeFound = mReader.mOptional.add(&mode, "mode", kModes);
    bool& nameFound = mReader.mOptional.add(&name, "name");
    bool& hostFound = mReader.mRequired.add(&host, "host");
    EXPECT_TRUE(mReader.parse(block("[s]\nflag=on\nmode=fast\nmode=off\nname=a\nname=b\nname=c\nhost = a b\nstray=1\n")));
    EXPECT_EQ("cfg: optional key \"flag\" has invalid value=\"on\", line 2. Key will be ignored.\n"
              "cfg: optional key \"mode\" is duplicated!\n"
              "cfg:  first occurence at 3 line.\n"
              "cfg:  second occurence at 4 line. Both keys will be ignored.\n"
              "cfg: optional key \"name\" specified more than once: 5 6 7 lines. All keys will be ignored.\n",
              mOut.str());
    EXPECT_TRUE(flag && mode == Slow && name == "keep");
    EXPECT_FALSE(flagFound || modeFound || nameFound);
    EXPECT_EQ("a b", host);
    EXPECT_TRUE(hostFound);
}

TEST_F(IniReaderTest, TypedValues)
{
    struct Case {
        const char* value;
        bool accepted;
        Mode result;
    } modes[] = {
        {"fast", true, Fast}, {"0x10", true, Big}, {"020", true, Big}, {"2", true, Fast}, {"0x100000000", false, Slow},
        {"12abc", false, Slow}, {"", false, Slow}, {"FAST", false, Slow}, {"99999999999999999999", false, Slow},
    };
    for (const Case& c : modes) {
        Mode m = Slow;
        IniFile::Private::TKeyValue<Mode> kv(&m, "m", kModes);
        EXPECT_EQ(c.accepted, kv.do_parse(c.value)) << c.value;
        EXPECT_EQ(c.result, m) << c.value;
    }
    Mode m = Slow;
    IniFile::Private::TKeyValue<Mode> noTable(&m, "m", nullptr);
    EXPECT_FALSE(noTable.do_parse("fast"));
    EXPECT_TRUE(noTable.do_parse("2"));
    EXPECT_EQ(Fast, m);

    struct Word {
        const char* text;
        bool accepted, value;
    } words[] = {{"enabled", true, true}, {"disable", true, false}, {"0", true, false}, {"yes", true, true},
                 {"on", false, true}, {"off", false, true}, {"Yes", false, true}};
    for (const Word& w : words) {
        bool b = true;
        EXPECT_EQ(w.accepted, IniFile::Private::TKeyValue<bool>(&b, "b", nullptr).do_parse(w.text)) << w.text;
        EXPECT_EQ(w.value, b) << w.text;
    }
}

// ------------------------------------------------------------ random input

// Properties that hold for any input: no crash, carriage returns never
// matter, names and values never carry the blanks around them, and every
// line number lies within the input.
TEST(IniFuzz, RandomInputKeepsInvariants)
{
    auto trimmed = [](const std::string& t) {
        return t.find_first_of("\r\n") == std::string::npos && (t.empty() || (t.front() != ' ' && t.back() != ' '));
    };
    std::mt19937 rng(20250516);
    const std::string alphabet = "[]#= \t\r\n\nab=[]";
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        size_t len = rng() % 160;
        for (size_t i = 0; i < len; ++i)
            text += (rng() % 8) ? alphabet[rng() % alphabet.size()] : static_cast<char>(rng() & 0xFF);

        IniFile::File file;
        std::istringstream in(text);
        in >> file;
        std::ostringstream dump;
        file.Dump(dump);

        std::string bare;
        for (char c : text)
            if (c != '\r')
                bare += c;
        ASSERT_EQ(flatten(file), parse(bare)) << testing::PrintToString(text);

        int lines = 1;
        for (char c : bare)
            lines += c == '\n';
        for (const IniFile::Section& s : file)
            for (const IniFile::SubSection& b : s) {
                ASSERT_TRUE(b.LineNo() >= 1 && b.LineNo() <= lines);
                for (const IniFile::Key& k : b) {
                    // Only a line's first character may be "=" in a key.
                    ASSERT_TRUE(!k.Name().empty() && trimmed(k.Name()) && k.Name().find('=', 1) == std::string::npos)
                        << testing::PrintToString(text);
                    for (const IniFile::SubKey& v : k) {
                        ASSERT_TRUE(v.LineNo() > b.LineNo() && v.LineNo() <= lines);
                        ASSERT_TRUE(trimmed(v.Value())) << testing::PrintToString(text);
                    }
                }
            }
    }
}

// ------------------------------------------------------------ trace switches

TEST(TraceCtlTest, SwitchesComeFromTheLastTracesBlock)
{
    const struct {
        const char* text;
        const char* on; // switches left on: Hdlc, Lemzgw, Events, Isdn, Monitoring
        const char* errors;
    } cases[] = {
        {"[traces]\nsignalling.hdlc=yes\nsignalling.lemzgw=true\nsignalling.events=1\n"
         "signalling.isdn=enabled\nmonitoring.internal=enable\n",
         "HLEIM", ""},
        {"[traces]\nsignalling.events=1\n", "E", ""},
        {"[traces]\nsignalling.hdlc = yes\n[other]\n[traces]\nsignalling.isdn = 1\n", "I", ""},
        // Invalid and repeated keys: reported (as by any reader) and left off.
        {"[traces]\nsignalling.hdlc = on\nsignalling.isdn=1\nsignalling.isdn=1\n", "",
         "traces: optional key \"signalling.hdlc\" has invalid value=\"on\", line 2. Key will be ignored.\n"
         "traces: optional key \"signalling.isdn\" is duplicated!\n"
         "traces:  first occurence at 3 line.\n"
         "traces:  second occurence at 4 line. Both keys will be ignored.\n"},
        {"", "HLEIM", ""}, // no block: the switches keep what they had
    };
    for (const auto& c : cases) {
        IniFile::File file;
        std::istringstream in(c.text);
        in >> file;
        TraceCtl t;
        t.signallingHdlc = t.signallingLemzgw = t.signallingEvents = t.signallingIsdn = t.monitoringInternal = true;
        vbtest::CaptureStream err(std::cerr);
        t.Configure(file["traces"]);
        std::string on;
        for (auto sw : {std::make_pair(t.signallingHdlc, 'H'), std::make_pair(t.signallingLemzgw, 'L'),
                        std::make_pair(t.signallingEvents, 'E'), std::make_pair(t.signallingIsdn, 'I'),
                        std::make_pair(t.monitoringInternal, 'M')})
            if (sw.first)
                on += sw.second;
        EXPECT_EQ(c.on, on) << c.text;
        EXPECT_EQ(c.errors, err.str()) << c.text;
    }
}

} // namespace
