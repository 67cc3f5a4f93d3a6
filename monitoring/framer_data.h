// The last known state of one E1 framer, as its driver's status file and
// the line-interface trunk states report it.
#pragma once

#include <string>
#include <vector>

#include "server/schema/ACP.h"

class FramerDataHolder {
public:
    // number 1..4 (the status file's number plus one); path the status file.
    FramerDataHolder(int number, const std::string& path);

    // Parses one reading of the status file (the bytes read, up to the
    // first NUL); true when any field changed.
    bool setFramerStatus(const std::vector<unsigned char>& text);
    // The state text of a trunk state; true when the text changed.
    bool setFramerStatus(ACP::TrunkState::NamedNumber state);

    bool connected() const { return mConnected; }
    const std::string& state() const { return mState; }
    bool lossOfSignal() const { return mLossOfSignal; }
    bool lossOfFrameAlignment() const { return mLossOfFrameAlignment; }
    int slipsNegative() const { return mSlipsNegative; }
    int slipsPositive() const { return mSlipsPositive; }
    int number() const { return mNumber; }
    const std::string& path() const { return mPath; }

private:
    bool parseLine(const std::string& line);

    bool mConnected = false;
    std::string mState = "absent";
    bool mLossOfSignal = true;
    bool mLossOfFrameAlignment = true;
    int mSlipsNegative = 0;
    int mSlipsPositive = 0;
    int mNumber;
    std::string mPath;
};
