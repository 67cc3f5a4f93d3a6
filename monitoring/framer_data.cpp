#include "monitoring/framer_data.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace {

// Each key is the field's name padded to 24 characters, a colon and a blank.
const char kState[] = "Current state           : ";
const char kLossOfSignal[] = "Loss of Signal          : ";
const char kLossOfFrame[] = "Loss of Frame Alignment : ";
const char kSlipsNegative[] = "Receive Slip Negative   : ";
const char kSlipsPositive[] = "Receive Slip Positive   : ";
const char kNoCarrier[] = "No Carrier";

// The rest of the line after the key's first occurrence.
bool valueOf(const std::string& line, const char* key, std::string& value)
{
    size_t at = line.find(key);
    if (at == std::string::npos)
        return false;
    value = line.substr(at + std::strlen(key));
    return true;
}

// Leading blanks skipped, digits up to the first other character, none
// giving 0. A run of digits longer than an int holds stays at the largest
// int rather than wrapping into a negative count.
int slipCount(const std::string& text)
{
    size_t i = text.find_first_not_of(" \t");
    long long n = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        n = std::min<long long>(n * 10 + (text[i] - '0'), INT_MAX);
    return static_cast<int>(n);
}

bool update(bool& field, bool value)
{
    bool changed = field != value;
    field = value;
    return changed;
}

bool update(int& field, int value)
{
    bool changed = field != value;
    field = value;
    return changed;
}

} // namespace

FramerDataHolder::FramerDataHolder(int number, const std::string& path) : mNumber(number), mPath(path) {}

bool FramerDataHolder::parseLine(const std::string& line)
{
    bool changed = false;
    std::string value;
    if (valueOf(line, kState, value) && value != mState) {
        mState = value;
        mConnected = value != kNoCarrier;
        changed = true;
    }
    if (valueOf(line, kLossOfSignal, value))
        changed |= update(mLossOfSignal, value == "yes");
    if (valueOf(line, kLossOfFrame, value))
        changed |= update(mLossOfFrameAlignment, value == "yes");
    if (valueOf(line, kSlipsNegative, value))
        changed |= update(mSlipsNegative, slipCount(value));
    if (valueOf(line, kSlipsPositive, value))
        changed |= update(mSlipsPositive, slipCount(value));
    return changed;
}

bool FramerDataHolder::setFramerStatus(const std::vector<unsigned char>& text)
{
    auto end = std::find(text.begin(), text.end(), '\0');
    bool changed = false;
    for (auto from = text.begin(); from != end;) {
        auto eol = std::find(from, end, '\n');
        changed |= parseLine(std::string(from, eol));
        from = eol == end ? end : eol + 1;
    }
    return changed;
}

bool FramerDataHolder::setFramerStatus(ACP::TrunkState::NamedNumber state)
{
    const char* text = "Unknown";
    switch (state) {
    case ACP::TrunkState::normal:
        text = "Synchronized";
        break;
    case ACP::TrunkState::lossBF:
        text = "FAS Loss";
        break;
    case ACP::TrunkState::lossCarrier:
        text = kNoCarrier;
        break;
    case ACP::TrunkState::ais:
        text = "AIS";
        break;
    case ACP::TrunkState::rai:
        text = "RAI";
        break;
    default:
        break;
    }
    if (mState == text)
        return false;
    mState = text;
    mConnected = state != ACP::TrunkState::lossCarrier;
    return true;
}
