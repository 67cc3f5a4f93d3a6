// Fills an HTML template with values from a tree of statistics objects.
//
// The template is copied from the input to the output with "%name%"
// replaced by the value of name and sections, "<!--GEN.name-->" up to
// "<!--GEN.end-->", generated once per element of a collection, once for a
// sub-object, or left out. Every other tag and comment is copied unchanged.
#pragma once

#include <iosfwd>
#include <list>
#include <memory>
#include <string>

namespace Stat {

struct Value {
    Value() = default;
    explicit Value(std::string t) : found(true), text(std::move(t)) {}
    explicit operator bool() const { return found; }

    bool found = false;
    std::string text;
};

class Object;

// An iterator over a collection, positioned on its first element when it
// has one.
class IteratorBase {
public:
    virtual ~IteratorBase() = default;
    virtual bool valid() const = 0;
    // Advances; false when no element follows.
    virtual bool next() = 0;
    virtual Object& current() = 0;
};

// What a user's statistics implement. Each lookup answers "not here" when
// the name is unknown: an unfound value, nullptr, or an empty pointer.
class Object {
public:
    virtual ~Object() = default;
    virtual Value statistics_value(const std::string& name) const = 0;
    virtual Object* statistics_object(const std::string& name) const = 0;
    virtual std::unique_ptr<IteratorBase> statistics_iterator(const std::string& name) const = 0;
};

namespace Html {

class GeneratorV1 {
public:
    enum Status { section = 0, value = 1, end_of_input = 2 };
    // Sections nest at most this deep: each level is a recursion of the
    // generator, so a template must not choose how much stack it takes.
    static const unsigned kMaxDepth = 100;
    struct Token {
        Status status;
        std::string name;
    };

    GeneratorV1(Object& root, std::ostream& out, std::istream& in);

    // False when a collection could not be generated because the input
    // cannot be read again from the section's start, when sections nest
    // deeper than kMaxDepth, when the template cannot be read or when the
    // output cannot be written (the output is flushed to know).
    bool generate();

    void put(char c);
    void put(const std::string& s);

private:
    typedef void (GeneratorV1::*State)(char);

    Token parse();
    bool generate_body();
    bool generate_collection(IteratorBase& it);
    bool sub_object(Object& object);
    bool ignore_object();
    void put_value(const std::string& name);

    void next_input(State s) { mInput = s; }
    void next_output(State s);
    void next_state(State input, State output);

    void pinput_initial(char c);
    void pinput_section_open(char c);
    void pinput_section_body(char c);
    void pinput_section_comment1(char c);
    void pinput_section_comment2(char c);
    void pinput_section_obj_begin1(char c);
    void pinput_section_obj_begin2(char c);
    void pinput_section_obj_begin3(char c);
    void pinput_section_obj_begin4(char c);
    void pinput_section_obj_name(char c);
    void pinput_section_obj_name_end1(char c);
    void pinput_section_obj_name_end2(char c);
    void pinput_value_open(char c);
    void pinput_value_body(char c);
    void poutput_pass(char c);
    void poutput_capture(char c);
    // A marker that turned out to be plain text: out with what was held back.
    void give_back();
    void expect(char c, char want, State next);

    Object& mRoot;
    std::ostream& mOut;
    std::istream& mIn;
    std::list<Object*> mStack;
    Object* mCurrent;
    int mIgnore = 0;
    State mInput = nullptr;
    State mOutput = nullptr;
    Status mStatus = end_of_input;
    std::string mName;
    bool mComplete = false;
    std::string mCaptured;
};

bool generateV1(Object& root, std::ostream& out, std::istream& in);

} // namespace Html
} // namespace Stat
