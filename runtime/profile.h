// Named profiling points, listed in the status dump, and a scope tracer.
#pragma once

#include <iosfwd>

#include "runtime/multiplexer.h"

namespace Profile {

// Times a stretch of code in microseconds: begin() before, end() after.
// Points link themselves into one global list, the newest first, and are
// meant to be function-local statics that live until exit.
class Point {
public:
    explicit Point(const char* name);
    ~Point();
    Point(const Point&) = delete;
    Point& operator=(const Point&) = delete;

    void begin() { mMeasure.begin(); }
    // Durations are differences of the wrapping counter, so a wrap
    // between begin and end still measures right.
    void end() { mMeasure.end(); }
    // "[name]: min=.. max=.. avg=<latest> counter=.."
    void put(std::ostream& out) const;

    const char* name() const { return mName; }
    const Measure& measure() const { return mMeasure; }
    Point* next() const { return mNext; }

private:
    Point* mNext;
    const char* mName;
    Measure mMeasure;
};

// The most recently constructed point, or null.
extern Point* mRoot;

// One line per point, from mRoot along the list.
void dump(std::ostream& out);

} // namespace Profile

namespace Trace {

// Writes "Enter <name>" when built and "Leave <name>" when it goes out of
// scope, if enabled (usually a trace switch).
class Block {
public:
    Block(bool enabled, const char* name, std::ostream& out);
    ~Block();
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;

private:
    bool mEnabled;
    const char* mName;
    std::ostream* mOut;
};

} // namespace Trace
