// The configuration file: an INI tree that keeps everything the file says,
// in file order and with line numbers, and a typed reader for one block.
//
// A section name may appear several times (each header opens its own block,
// a SubSection) and a key may appear several times in a block (each
// occurrence is a SubKey), so the reader can complain about repeats instead
// of silently taking the last one.
#pragma once

#include <cstring>
#include <iosfwd>
#include <limits>
#include <list>
#include <map>
#include <string>
#include <type_traits>

#include "runtime/dual_list.h"

namespace IniFile {

// Walks one level of the tree from its first element; the end is null.
template <class T>
class GenericIterator {
public:
    explicit GenericIterator(T* p = nullptr) : mCurrent(p) {}
    bool operator!=(const GenericIterator& o) const { return mCurrent != o.mCurrent; }
    bool operator==(const GenericIterator& o) const { return mCurrent == o.mCurrent; }
    GenericIterator& operator++()
    {
        mCurrent = mCurrent->next;
        return *this;
    }
    GenericIterator operator++(int)
    {
        GenericIterator old(*this);
        mCurrent = mCurrent->next;
        return old;
    }
    T& operator*() const { return *mCurrent; }
    T* operator->() const { return mCurrent; }

private:
    T* mCurrent;
};

// An owning list in file order: the parent deletes its elements.
template <class T>
class Chain {
public:
    Chain() = default;
    Chain(const Chain&) = delete;
    Chain& operator=(const Chain&) = delete;
    ~Chain() { clear(); }

    T& append(T* item)
    {
        mList.push_back(item);
        return *item;
    }
    void clear()
    {
        while (T* item = mList.remove_from_head())
            delete item;
    }
    int size() const { return static_cast<int>(mList.size()); }
    T* first() const { return mList.head(); }
    GenericIterator<T> begin() const { return GenericIterator<T>(mList.head()); }
    GenericIterator<T> end() const { return GenericIterator<T>(); }

private:
    F_dual_list<T> mList;
};

// One occurrence of a key.
class SubKey : public F_dual_list_item<SubKey> {
public:
    SubKey(const std::string& value, int line) : mValue(value), mLineNo(line) {}

    const std::string& Value() const { return mValue; }
    int LineNo() const { return mLineNo; }

    // Lenient typed access: a value that does not convert gives the default.
    bool GetBool(bool def) const;
    int GetInt(int def) const;
    float GetFloat(float def) const;
    void SetBool(bool value);
    void SetInt(int value);
    void SetFloat(float value);

    void Dump(std::ostream& out) const;

private:
    std::string mValue;
    int mLineNo;
};

// All occurrences of one key name in one block.
class Key : public F_dual_list_item<Key> {
public:
    explicit Key(const std::string& name) : mName(name) {}

    const std::string& Name() const { return mName; }
    int SubKeyCount() const { return mSubKeys.size(); }
    GenericIterator<SubKey> begin() const { return mSubKeys.begin(); }
    GenericIterator<SubKey> end() const { return mSubKeys.end(); }

    SubKey& NewSubKey(const std::string& value, int line);
    void CleanSubKeys() { mSubKeys.clear(); }
    // Gives a key without occurrences one empty occurrence (line -1).
    void CheckEmpty();
    void Dump(std::ostream& out) const;

private:
    std::string mName;
    Chain<SubKey> mSubKeys;
};

// One block: a header line and the keys below it.
class SubSection : public F_dual_list_item<SubSection> {
public:
    explicit SubSection(int line) : mLineNo(line) {}

    int LineNo() const { return mLineNo; }
    int KeyCount() const { return mKeys.size(); }
    GenericIterator<Key> begin() const { return mKeys.begin(); }
    GenericIterator<Key> end() const { return mKeys.end(); }

    // The key of that name; an absent one is created without occurrences.
    Key& operator[](const std::string& name);
    // Appends a key; an existing name gives the key already there.
    Key& NewKey(const std::string& name);
    SubKey& NewSubKey(const std::string& name, const std::string& value, int line);
    void CleanKeys();
    void Dump(std::ostream& out) const;

private:
    int mLineNo;
    Chain<Key> mKeys;
    std::map<std::string, Key*> mIndex;
};

// Every block of one section name.
class Section : public F_dual_list_item<Section> {
public:
    explicit Section(const std::string& name) : mName(name) {}

    const std::string& Name() const { return mName; }
    int SubSectionCount() const { return mSubSections.size(); }
    GenericIterator<SubSection> begin() const { return mSubSections.begin(); }
    GenericIterator<SubSection> end() const { return mSubSections.end(); }

    SubSection& NewSubSection(int line);
    void CleanSubSections() { mSubSections.clear(); }
    // Gives a section without blocks one empty placeholder block (line -1).
    void CheckEmpty();
    void Dump(std::ostream& out) const;

private:
    std::string mName;
    Chain<SubSection> mSubSections;
};

class File {
public:
    File() = default;
    explicit File(const std::string& name);
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File() { Close(); }

    // Reads and parses the file; false when it is missing, cannot be read
    // or is no regular file of at most 1 MiB, which leaves every section
    // empty.
    bool Open(const std::string& name);
    // Why the last Open failed, for a message; "" after one that worked.
    const std::string& OpenError() const { return mError; }
    // The last Open failed because there is no such file.
    bool Missing() const { return mMissing; }
    void Close();
    void Sync() {}

    const std::string& FileName() const { return mFileName; }
    bool IsOpened() const { return mOpened; }
    int SectionCount() const { return mSections.size(); }
    GenericIterator<Section> begin() const { return mSections.begin(); }
    GenericIterator<Section> end() const { return mSections.end(); }

    // The section of that name; an absent one is created without blocks.
    Section& operator[](const std::string& name);
    // Appends a section; an existing name gives the section already there.
    Section& NewSection(const std::string& name);
    SubSection& NewSubSection(const std::string& name, int line);
    void CleanSections();
    void Dump(std::ostream& out) const;

    friend std::istream& operator>>(std::istream& in, File& f);

private:
    void IntOpenStream(std::istream& in);

    std::string mFileName;
    bool mOpened = false;
    std::string mError;
    bool mMissing = false;
    Chain<Section> mSections;
    std::map<std::string, Section*> mIndex;
};

std::istream& operator>>(std::istream& in, File& f);

// A name and its value; a table of them ends with a null name.
template <class T>
struct Symbol {
    const char* name;
    T value;
};

namespace Private {

// One key bound to a typed variable.
class KeyValue {
public:
    virtual ~KeyValue() = default;
    virtual const char* name() const = 0;
    // Converts and stores the value; false leaves the target untouched.
    virtual bool do_parse(const char* text) = 0;

    bool mFound = false;
};

bool parse_value(const char* text, bool& target);
bool parse_value(const char* text, std::string& target);
// The whole text as one strtol base-0 number; false when anything else
// is in it or it does not fit a long.
bool parse_number(const char* text, long& value);

template <class T>
bool parse_enum(const char* text, T& target, const Symbol<T>* symbols)
{
    static_assert(std::is_enum<T>::value, "keys bind bool, std::string or enumerations");
    for (const Symbol<T>* s = symbols; s && s->name; ++s) {
        if (std::strcmp(s->name, text) == 0) {
            target = s->value;
            return true;
        }
    }
    typedef typename std::underlying_type<T>::type Base;
    long n = 0;
    if (!parse_number(text, n))
        return false;
    // A number the enumeration's type cannot hold is not a value of it.
    if constexpr (std::is_signed<Base>::value) {
        if (n < static_cast<long>(std::numeric_limits<Base>::min()) ||
            n > static_cast<long>(std::numeric_limits<Base>::max()))
            return false;
    } else {
        if (n < 0 || static_cast<unsigned long long>(n) > std::numeric_limits<Base>::max())
            return false;
    }
    target = static_cast<T>(n);
    return true;
}

template <class T>
class TKeyValue : public KeyValue {
public:
    TKeyValue(T* target, const char* name, const Symbol<T>* symbols)
        : mTarget(target), mName(name), mSymbols(symbols)
    {
    }
    const char* name() const override { return mName; }
    bool do_parse(const char* text) override { return convert(text); }

private:
    template <class U = T>
    typename std::enable_if<std::is_enum<U>::value, bool>::type convert(const char* text)
    {
        return parse_enum(text, *mTarget, mSymbols);
    }
    template <class U = T>
    typename std::enable_if<!std::is_enum<U>::value, bool>::type convert(const char* text)
    {
        return parse_value(text, *mTarget);
    }

    T* mTarget;
    const char* mName;
    const Symbol<T>* mSymbols;
};

} // namespace Private

// Binds the keys of one block to typed variables and reports missing,
// invalid and repeated keys, one line per message, each starting with the
// reader's prefix.
class Reader {
public:
    // Owns its bindings.
    class Field {
    public:
        Field() = default;
        Field(const Field&) = delete;
        Field& operator=(const Field&) = delete;
        ~Field();

        // The returned flag tells, after parse, whether a value was taken.
        template <class T>
        bool& add(T* target, const char* key, const Symbol<T>* symbols = nullptr)
        {
            return add(new Private::TKeyValue<T>(target, key, symbols));
        }
        bool& add(Private::KeyValue* binding);

        std::list<Private::KeyValue*>::const_iterator begin() const { return mBindings.begin(); }
        std::list<Private::KeyValue*>::const_iterator end() const { return mBindings.end(); }

    private:
        std::list<Private::KeyValue*> mBindings;
    };

    Reader(const std::string& prefix, std::ostream& out) : mPrefix(prefix), mOut(&out) {}

    // False at the first required key that is missing, invalid or repeated.
    bool parse(SubSection& block);

    Field mRequired;
    Field mOptional;

private:
    bool parse_required(SubSection& block, Private::KeyValue& binding);
    void parse_optional(SubSection& block, Private::KeyValue& binding);
    std::ostream& line();
    void report_repeats(const char* kind, const Key& key, const char* tail2, const char* tailN);

    std::string mPrefix;
    std::ostream* mOut;
};

} // namespace IniFile
