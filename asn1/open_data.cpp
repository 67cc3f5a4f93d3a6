#include "asn1/open_data.h"

#include <utility>

#include "asn1/visitor.h"

namespace ASN1 {

const DataInfo OpenData::theInfo = {&OpenData::create, 0};

OpenData::OpenData(OpenData const& other)
    : AbstractData(other), mData(other.mData ? other.mData->clone() : nullptr),
      mBuf(other.mBuf ? new std::vector<char>(*other.mBuf) : nullptr)
{
}

OpenData& OpenData::operator=(OpenData const& other)
{
    OpenData copy(other);
    swap(copy);
    return *this;
}

OpenData::~OpenData()
{
    delete mData;
    delete mBuf;
}

void OpenData::set_data(AbstractData* value)
{
    if (value != mData)
        delete mData;
    mData = value;
}

std::vector<char>& OpenData::make_buf()
{
    if (!mBuf)
        mBuf = new std::vector<char>;
    return *mBuf;
}

void OpenData::swap(OpenData& other)
{
    std::swap(mData, other.mData);
    std::swap(mBuf, other.mBuf);
}

int OpenData::do_compare(AbstractData const& other) const
{
    OpenData const& theirs = static_cast<OpenData const&>(other);
    if (mData && theirs.mData)
        return mData->compare(*theirs.mData);
    if (mBuf && theirs.mBuf)
        return lexicographic_compare_bytes(mBuf->data(), mBuf->data() + mBuf->size(), theirs.mBuf->data(),
                                           theirs.mBuf->data() + theirs.mBuf->size());
    if (!mData && !mBuf && !theirs.mData && !theirs.mBuf)
        return 0;
    return mData ? 1 : -1;
}

AbstractData* OpenData::do_clone() const { return detail::clone_value(*this); }
bool OpenData::do_accept(Visitor& v) { return v.do_visit(*this); }
bool OpenData::do_accept(ConstVisitor& v) const { return v.do_visit(*this); }

TypeConstrainedOpenData::TypeConstrainedOpenData(void const* info) : OpenData(info)
{
    set_data(create_from(this->info()->typeInfo));
}

bool TypeConstrainedOpenData::do_accept(Visitor& v) { return v.do_visit(*this); }

} // namespace ASN1
