#include "tools/stat_html.h"

#include <istream>
#include <ostream>

namespace Stat {
namespace Html {

namespace {

// Stands in for a section that is left out: it knows no names, so every
// nested section is left out as well.
class NoObject : public Object {
public:
    Value statistics_value(const std::string&) const override { return Value(); }
    Object* statistics_object(const std::string&) const override { return nullptr; }
    std::unique_ptr<IteratorBase> statistics_iterator(const std::string&) const override { return nullptr; }
};

const char kEndSection[] = "end";

} // namespace

bool generateV1(Object& root, std::ostream& out, std::istream& in)
{
    GeneratorV1 generator(root, out, in);
    return generator.generate();
}

GeneratorV1::GeneratorV1(Object& root, std::ostream& out, std::istream& in)
    : mRoot(root), mOut(out), mIn(in), mStack{&root}, mCurrent(&root)
{
}

bool GeneratorV1::generate()
{
    mIgnore = 0;
    // A template or a page file that did not open makes no page.
    if (mIn.fail() || mOut.fail())
        return false;
    bool ok = generate_body();
    // Reaching the end of the template is no failure; a read error, or a
    // page the output did not take (a full disk), is.
    mOut.flush();
    return ok && !mIn.bad() && !mOut.fail();
}

void GeneratorV1::put(char c)
{
    if (mIgnore <= 0)
        mOut.put(c);
}

void GeneratorV1::put(const std::string& s)
{
    if (mIgnore <= 0)
        mOut << s;
}

// ------------------------------------------------------------- generation

bool GeneratorV1::generate_body()
{
    for (;;) {
        Token token = parse();
        if (token.status == end_of_input)
            return true;
        if (token.status == value) {
            put_value(token.name);
            continue;
        }
        if (token.name == kEndSection)
            return true;
        bool ok;
        if (std::unique_ptr<IteratorBase> it = mCurrent->statistics_iterator(token.name))
            ok = it->valid() ? generate_collection(*it) : ignore_object();
        else if (Object* object = mCurrent->statistics_object(token.name))
            ok = sub_object(*object);
        else
            ok = ignore_object();
        if (!ok)
            return false;
    }
}

bool GeneratorV1::generate_collection(IteratorBase& it)
{
    // Every element after the first reads the section again, so the input
    // must be able to go back to where the section starts.
    std::istream::pos_type start = mIn.tellg();
    if (start == std::istream::pos_type(-1))
        return false;
    if (!sub_object(it.current()))
        return false;
    if (!it.next())
        return true;
    while (it.valid()) {
        mIn.clear(); // the section may have run to the end of the input
        mIn.seekg(start);
        if (mIn.fail() || !sub_object(it.current()))
            return false;
        it.next();
    }
    return true;
}

bool GeneratorV1::sub_object(Object& object)
{
    // The root is at the bottom of the stack, outside every section.
    if (mStack.size() > kMaxDepth)
        return false;
    mStack.push_back(&object);
    mCurrent = &object;
    bool ok = generate_body();
    mStack.pop_back();
    mCurrent = mStack.back();
    return ok;
}

bool GeneratorV1::ignore_object()
{
    NoObject none;
    ++mIgnore;
    bool ok = sub_object(none);
    --mIgnore;
    return ok;
}

void GeneratorV1::put_value(const std::string& name)
{
    for (auto it = mStack.rbegin(); it != mStack.rend(); ++it) {
        Value v = (*it)->statistics_value(name);
        if (v) {
            put(v.text);
            return;
        }
    }
    put(mCaptured);
}

// -------------------------------------------------------------- tokenizer

GeneratorV1::Token GeneratorV1::parse()
{
    mInput = &GeneratorV1::pinput_initial;
    mOutput = &GeneratorV1::poutput_pass;
    mStatus = end_of_input;
    mName.clear();
    mComplete = false;
    mCaptured.clear();
    char c;
    while (mIn.get(c)) {
        (this->*mInput)(c);
        (this->*mOutput)(c);
        if (mComplete)
            return Token{mStatus, mName};
    }
    return Token{end_of_input, std::string()};
}

void GeneratorV1::next_output(State s)
{
    if (s == mOutput)
        return;
    mOutput = s;
    if (s == &GeneratorV1::poutput_capture)
        mCaptured.clear();
}

void GeneratorV1::next_state(State input, State output)
{
    next_input(input);
    next_output(output);
}

void GeneratorV1::give_back()
{
    put(mCaptured);
    next_state(&GeneratorV1::pinput_section_body, &GeneratorV1::poutput_pass);
}

void GeneratorV1::pinput_initial(char c)
{
    if (c == '<')
        next_state(&GeneratorV1::pinput_section_open, &GeneratorV1::poutput_capture);
    else if (c == '%')
        next_state(&GeneratorV1::pinput_value_open, &GeneratorV1::poutput_capture);
}

void GeneratorV1::pinput_section_open(char c)
{
    expect(c, '!', &GeneratorV1::pinput_section_comment1);
}

void GeneratorV1::pinput_section_body(char c)
{
    if (c == '>')
        next_input(&GeneratorV1::pinput_initial);
}

void GeneratorV1::pinput_section_comment1(char c)
{
    expect(c, '-', &GeneratorV1::pinput_section_comment2);
}

void GeneratorV1::pinput_section_comment2(char c)
{
    if (c != '-') {
        give_back();
        return;
    }
    mName.clear();
    mStatus = section;
    next_input(&GeneratorV1::pinput_section_obj_begin1);
}

// "GEN." one character at a time; anything else makes the tag plain text.
void GeneratorV1::expect(char c, char want, State next)
{
    if (c == want)
        next_input(next);
    else
        give_back();
}

void GeneratorV1::pinput_section_obj_begin1(char c)
{
    expect(c, 'G', &GeneratorV1::pinput_section_obj_begin2);
}

void GeneratorV1::pinput_section_obj_begin2(char c)
{
    expect(c, 'E', &GeneratorV1::pinput_section_obj_begin3);
}

void GeneratorV1::pinput_section_obj_begin3(char c)
{
    expect(c, 'N', &GeneratorV1::pinput_section_obj_begin4);
}

void GeneratorV1::pinput_section_obj_begin4(char c)
{
    expect(c, '.', &GeneratorV1::pinput_section_obj_name);
}

void GeneratorV1::pinput_section_obj_name(char c)
{
    if (c == '-')
        next_input(&GeneratorV1::pinput_section_obj_name_end1);
    else
        mName += c;
}

void GeneratorV1::pinput_section_obj_name_end1(char c)
{
    if (c == '-') {
        next_input(&GeneratorV1::pinput_section_obj_name_end2);
        return;
    }
    mName += '-';
    mName += c;
    next_input(&GeneratorV1::pinput_section_obj_name);
}

void GeneratorV1::pinput_section_obj_name_end2(char c)
{
    if (c == '>')
        mComplete = true;
}

void GeneratorV1::pinput_value_open(char c)
{
    if (c == '%') {
        // "%%" is no marker: both characters go out as they are.
        put('%');
        next_state(&GeneratorV1::pinput_initial, &GeneratorV1::poutput_pass);
        return;
    }
    mName.assign(1, c);
    mStatus = value;
    next_input(&GeneratorV1::pinput_value_body);
}

void GeneratorV1::pinput_value_body(char c)
{
    if (c == '%')
        mComplete = true;
    else
        mName += c;
}

void GeneratorV1::poutput_pass(char c)
{
    put(c);
}

void GeneratorV1::poutput_capture(char c)
{
    mCaptured += c;
}

} // namespace Html
} // namespace Stat
