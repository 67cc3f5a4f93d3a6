// Open types: a decoded value, its encoded octets, or both.
#pragma once

#include <vector>

#include "asn1/abstract_data.h"

namespace ASN1 {

class OpenData : public AbstractData, public detail::Allocator<OpenData> {
public:
    static const DataInfo theInfo;
    explicit OpenData(void const* info = &theInfo) : AbstractData(info) {}
    OpenData(OpenData const& other);
    OpenData& operator=(OpenData const& other);
    ~OpenData() override;
    static AbstractData* create(void const* info) { return new OpenData(info); }

    bool has_data() const { return mData != nullptr; }
    bool has_buf() const { return mBuf != nullptr; }
    AbstractData* get_data() { return mData; }
    AbstractData const* get_data() const { return mData; }
    std::vector<char>* get_buf() { return mBuf; }
    std::vector<char> const* get_buf() const { return mBuf; }

    // The held value valid, or encoded octets held.
    bool isValid() const;
    bool isStrictlyValid() const;

    // Replaces the value (owned; may be null).
    void set_data(AbstractData* value);
    // The octets, allocated empty when absent.
    std::vector<char>& make_buf();
    void set_buf(std::vector<char> const& octets) { make_buf() = octets; }
    void swap(OpenData& other);

protected:
    int do_compare(AbstractData const& other) const override;
    AbstractData* do_clone() const override;
    bool do_accept(Visitor& v) override;
    bool do_accept(ConstVisitor& v) const override;

private:
    AbstractData* mData = nullptr;
    std::vector<char>* mBuf = nullptr;
};

// An open type that carries one known type: created holding its default value.
class TypeConstrainedOpenData : public OpenData {
public:
    explicit TypeConstrainedOpenData(void const* info);
    static AbstractData* create(void const* info) { return new TypeConstrainedOpenData(info); }

    TypeConstrainedOpenInfo const* info() const
    {
        return static_cast<TypeConstrainedOpenInfo const*>(AbstractData::info());
    }

protected:
    bool do_accept(Visitor& v) override;
};

} // namespace ASN1
