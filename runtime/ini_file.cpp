#include "runtime/ini_file.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <iostream>
#include <sstream>

#include "runtime/fd.h"
#include "runtime/paths.h"

namespace IniFile {

namespace {
const char kQuote = '"';
// Far beyond any real configuration.
const size_t kMaxFileSize = 1 << 20;

// The character-at-a-time parser. A blank is the space character (or a NUL)
// only; a tab counts as a blank only at the start of a line.
class Parser {
public:
    explicit Parser(File& file) : mFile(file) {}

    void feed(char c);
    void finish();

private:
    enum State { BeforeHeader, HeaderName, HeaderRest, LineStart, KeyText, AfterEquals, ValueText };

    void header_name(char c);
    void line_start(char c);
    void key_text(char c);
    void after_equals(char c);
    void value_text(char c);
    void store();
    void flush_blanks(std::string& text)
    {
        text.append(mBlanks, ' ');
        mBlanks = 0;
    }

    File& mFile;
    State mState = BeforeHeader;
    int mLine = 1;
    bool mComment = false;
    size_t mBlanks = 0;
    std::string mHeader;
    std::string mKey;
    std::string mValue;
    SubSection* mBlock = nullptr;
};

void Parser::feed(char c)
{
    if (c == '\r')
        return;
    // A NUL would cut the value wherever it is read as a C string, and the
    // rest would be taken without a word: it reads as a blank, so the value
    // is checked whole.
    if (c == '\0')
        c = ' ';
    if (mComment) {
        if (c != '\n')
            return;
        mComment = false;
    }
    switch (mState) {
    case BeforeHeader:
        if (c == '#')
            mComment = true;
        else if (c == '[') {
            mHeader.clear();
            mState = HeaderName;
        }
        break;
    case HeaderName:
        header_name(c);
        break;
    case HeaderRest:
        if (c == '\n')
            mState = LineStart;
        else if (c == '#')
            mComment = true;
        break;
    case LineStart:
        line_start(c);
        break;
    case KeyText:
        key_text(c);
        break;
    case AfterEquals:
        after_equals(c);
        break;
    case ValueText:
        value_text(c);
        break;
    }
    if (c == '\n')
        ++mLine;
}

void Parser::header_name(char c)
{
    if (c == '\n') {
        // A header cut short by the line end: the lines up to the next
        // header belong to no block.
        mBlock = nullptr;
        mState = BeforeHeader;
    } else if (c == ']') {
        mBlock = &mFile.NewSubSection(mHeader, mLine);
        mState = HeaderRest;
    } else {
        mHeader += c;
    }
}

void Parser::line_start(char c)
{
    if (c == '#') {
        mComment = true;
    } else if (c == ' ' || c == '\t' || c == '\n') {
        // skipped
    } else if (c == '[') {
        mHeader.clear();
        mState = HeaderName;
    } else {
        mKey.assign(1, c);
        mBlanks = 0;
        mState = KeyText;
    }
}

void Parser::key_text(char c)
{
    if (c == ' ') {
        ++mBlanks;
    } else if (c == '=') {
        mValue.clear();
        mBlanks = 0;
        mState = AfterEquals;
    } else if (c == '\n') {
        mKey.clear();
        mBlanks = 0;
        mState = LineStart;
    } else {
        flush_blanks(mKey);
        mKey += c;
    }
}

void Parser::after_equals(char c)
{
    if (c == ' ') {
        // skipped
    } else if (c == '#') {
        mComment = true;
    } else if (c == '\n') {
        store();
        mState = LineStart;
    } else {
        mValue.assign(1, c);
        mBlanks = 0;
        mState = ValueText;
    }
}

void Parser::value_text(char c)
{
    if (c == ' ') {
        ++mBlanks;
    } else if (c == '\n') {
        mBlanks = 0;
        store();
        mState = LineStart;
    } else if (c == '#' && mBlanks > 0) {
        mBlanks = 0;
        mComment = true;
    } else {
        flush_blanks(mValue);
        mValue += c;
    }
}

void Parser::store()
{
    if (mBlock)
        mBlock->NewSubKey(mKey, mValue, mLine);
    mKey.clear();
    mValue.clear();
}

void Parser::finish()
{
    if (mState == AfterEquals || mState == ValueText)
        store();
}

// Read whole before parsing: a file that opens but cannot be read leaves
// the tree empty, as a missing one does, and no stream exception can leave
// here. Only a regular file is read, and only up to a bound: a fifo or a
// terminal would wait for ever, a device such as /dev/zero never ends.
// Nothing here blocks. Gives why the file cannot be used, "" when it can.
std::string read_regular(const std::string& path, std::string& text, bool& missing)
{
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    struct stat st;
    if (!fd || ::fstat(fd.get(), &st) != 0) {
        missing = errno == ENOENT;
        return std::strerror(errno);
    }
    if (S_ISDIR(st.st_mode))
        return std::strerror(EISDIR);
    if (!S_ISREG(st.st_mode))
        return "not a regular file";
    char chunk[4096];
    for (;;) {
        ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
        if (n > 0) {
            text.append(chunk, static_cast<size_t>(n));
            if (text.size() > kMaxFileSize)
                return "larger than " + std::to_string(kMaxFileSize) + " bytes";
        } else if (n == 0) {
            return "";
        } else if (errno != EINTR) {
            return std::strerror(errno);
        }
    }
}

void dump_quoted(std::ostream& out, const char* label, const std::string& text)
{
    out << label << kQuote << text << kQuote << std::endl;
}
} // namespace

// ------------------------------------------------------------------ SubKey

bool SubKey::GetBool(bool def) const
{
    if (mValue == "true" || mValue == "yes" || mValue == "1" || mValue == "on")
        return true;
    if (mValue == "false" || mValue == "no" || mValue == "0" || mValue == "off")
        return false;
    return def;
}

int SubKey::GetInt(int def) const
{
    // A leading number as "%d" would take it; one that does not fit an int
    // leaves the default rather than some truncated value.
    const char* text = mValue.c_str();
    char* end = nullptr;
    errno = 0;
    long n = std::strtol(text, &end, 10);
    if (end == text || errno == ERANGE || n < INT_MIN || n > INT_MAX)
        return def;
    return static_cast<int>(n);
}

float SubKey::GetFloat(float def) const
{
    float value = def;
    std::sscanf(mValue.c_str(), "%f", &value);
    return value;
}

void SubKey::SetBool(bool value) { mValue = value ? "yes" : "no"; }

void SubKey::SetInt(int value) { mValue = std::to_string(value); }

void SubKey::SetFloat(float value)
{
    std::ostringstream text;
    text << value;
    mValue = text.str();
}

void SubKey::Dump(std::ostream& out) const
{
    out << "dumping IniFile::SubKey" << std::endl;
    dump_quoted(out, "mValue=", mValue);
    out << "mLineNo=" << mLineNo << std::endl;
}

// --------------------------------------------------------------------- Key

SubKey& Key::NewSubKey(const std::string& value, int line)
{
    return mSubKeys.append(new SubKey(value, line));
}

void Key::CheckEmpty()
{
    if (mSubKeys.size() == 0)
        NewSubKey(std::string(), -1);
}

void Key::Dump(std::ostream& out) const
{
    out << "dumping IniFile::Key" << std::endl;
    dump_quoted(out, "mName=", mName);
    out << "mSubKeyCount=" << SubKeyCount() << std::endl;
    for (const SubKey& k : *this)
        k.Dump(out);
}

// -------------------------------------------------------------- SubSection

Key& SubSection::operator[](const std::string& name)
{
    return NewKey(name);
}

Key& SubSection::NewKey(const std::string& name)
{
    auto it = mIndex.find(name);
    if (it != mIndex.end())
        return *it->second;
    Key& key = mKeys.append(new Key(name));
    mIndex[name] = &key;
    return key;
}

SubKey& SubSection::NewSubKey(const std::string& name, const std::string& value, int line)
{
    return NewKey(name).NewSubKey(value, line);
}

void SubSection::CleanKeys()
{
    mIndex.clear();
    mKeys.clear();
}

void SubSection::Dump(std::ostream& out) const
{
    out << "dumping IniFile::SubSection" << std::endl;
    out << "mLineNo=" << kQuote << mLineNo << kQuote << std::endl;
    out << "mKeyCount=" << KeyCount() << std::endl;
    for (const Key& k : *this)
        k.Dump(out);
}

// ----------------------------------------------------------------- Section

SubSection& Section::NewSubSection(int line)
{
    return mSubSections.append(new SubSection(line));
}

void Section::CheckEmpty()
{
    if (mSubSections.size() == 0)
        NewSubSection(-1);
}

void Section::Dump(std::ostream& out) const
{
    out << "dumping IniFile::Section" << std::endl;
    dump_quoted(out, "mName=", mName);
    out << "mSubSectionCount=" << SubSectionCount() << std::endl;
    for (const SubSection& b : *this)
        b.Dump(out);
}

// -------------------------------------------------------------------- File

File::File(const std::string& name)
{
    Open(name);
}

bool File::Open(const std::string& name)
{
    Close();
    mFileName = name;
    mMissing = false;
    std::string text;
    mError = read_regular(Paths::resolve(name), text, mMissing);
    if (!mError.empty())
        return false;
    std::istringstream in(text);
    IntOpenStream(in);
    return mOpened;
}

void File::Close()
{
    if (!mOpened)
        return;
    CleanSections();
    mOpened = false;
}

Section& File::operator[](const std::string& name)
{
    return NewSection(name);
}

Section& File::NewSection(const std::string& name)
{
    auto it = mIndex.find(name);
    if (it != mIndex.end())
        return *it->second;
    Section& section = mSections.append(new Section(name));
    mIndex[name] = &section;
    return section;
}

SubSection& File::NewSubSection(const std::string& name, int line)
{
    return NewSection(name).NewSubSection(line);
}

void File::CleanSections()
{
    mIndex.clear();
    mSections.clear();
}

void File::IntOpenStream(std::istream& in)
{
    mOpened = true;
    Parser parser(*this);
    std::streambuf* buf = in.rdbuf();
    for (int c = buf->sbumpc(); c != std::char_traits<char>::eof(); c = buf->sbumpc())
        parser.feed(static_cast<char>(c));
    parser.finish();
}

void File::Dump(std::ostream& out) const
{
    out << "dumping IniFile::File" << std::endl;
    dump_quoted(out, "mFileName=", mFileName);
    out << std::endl;
    out << "mSectionCount=" << SectionCount() << std::endl;
    for (const Section& s : *this)
        s.Dump(out);
}

std::istream& operator>>(std::istream& in, File& f)
{
    f.Close();
    f.mFileName.clear();
    if (in.rdbuf())
        f.IntOpenStream(in);
    in.setstate(std::ios::eofbit);
    return in;
}

// ------------------------------------------------------------- conversions

namespace Private {

bool parse_value(const char* text, bool& target)
{
    static const Symbol<bool> kWords[] = {
        {"true", true},     {"false", false},     {"yes", true},    {"no", false},
        {"enabled", true},  {"disabled", false},  {"enable", true}, {"disable", false},
        {"1", true},        {"0", false},         {nullptr, false},
    };
    for (const Symbol<bool>* w = kWords; w->name; ++w) {
        if (std::strcmp(w->name, text) == 0) {
            target = w->value;
            return true;
        }
    }
    return false;
}

bool parse_value(const char* text, std::string& target)
{
    target = text;
    return true;
}

bool parse_number(const char* text, long& value)
{
    if (!*text)
        return false;
    char* end = nullptr;
    errno = 0;
    long n = std::strtol(text, &end, 0);
    if (end == text || *end != '\0' || errno == ERANGE)
        return false;
    value = n;
    return true;
}

} // namespace Private

// ------------------------------------------------------------------ Reader

Reader::Field::~Field()
{
    for (Private::KeyValue* b : mBindings)
        delete b;
}

bool& Reader::Field::add(Private::KeyValue* binding)
{
    mBindings.push_back(binding);
    return binding->mFound;
}

std::ostream& Reader::line()
{
    return *mOut << mPrefix;
}

void Reader::report_repeats(const char* kind, const Key& key, const char* tail2, const char* tailN)
{
    if (key.SubKeyCount() == 2) {
        GenericIterator<SubKey> k = key.begin();
        line() << kind << " key " << kQuote << key.Name() << kQuote << " is duplicated!" << std::endl;
        line() << " first occurence at " << k->LineNo() << " line." << std::endl;
        ++k;
        line() << " second occurence at " << k->LineNo() << " line." << tail2 << std::endl;
        return;
    }
    std::ostream& out = line();
    out << kind << " key " << kQuote << key.Name() << kQuote << " specified more than once:";
    for (const SubKey& k : key)
        out << " " << k.LineNo();
    out << " lines" << tailN << std::endl;
}

bool Reader::parse_required(SubSection& block, Private::KeyValue& binding)
{
    Key& key = block[binding.name()];
    switch (key.SubKeyCount()) {
    case 0:
        line() << "required key " << kQuote << binding.name() << kQuote << " not present, line "
               << block.LineNo() << std::endl;
        return false;
    case 1: {
        const SubKey& value = *key.begin();
        binding.mFound = binding.do_parse(value.Value().c_str());
        if (binding.mFound)
            return true;
        line() << "required key " << kQuote << binding.name() << kQuote << " has invalid value=" << kQuote
               << value.Value() << kQuote << "," << " line " << value.LineNo() << std::endl;
        return false;
    }
    default:
        report_repeats("required", key, "", "");
        return false;
    }
}

void Reader::parse_optional(SubSection& block, Private::KeyValue& binding)
{
    binding.mFound = false;
    Key& key = block[binding.name()];
    switch (key.SubKeyCount()) {
    case 0:
        return;
    case 1: {
        const SubKey& value = *key.begin();
        binding.mFound = binding.do_parse(value.Value().c_str());
        if (!binding.mFound)
            line() << "optional key " << kQuote << binding.name() << kQuote << " has invalid value=" << kQuote
                   << value.Value() << kQuote << "," << " line " << value.LineNo() << ". Key will be ignored."
                   << std::endl;
        return;
    }
    default:
        report_repeats("optional", key, " Both keys will be ignored.", ". All keys will be ignored.");
        return;
    }
}

bool Reader::parse(SubSection& block)
{
    for (Private::KeyValue* b : mRequired)
        if (!parse_required(block, *b))
            return false;
    for (Private::KeyValue* b : mOptional)
        parse_optional(block, *b);
    return true;
}

} // namespace IniFile
