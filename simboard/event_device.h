// A device model whose events every open descriptor reads: it keeps the
// open channels, posts a record to each and can hang them all up. It hears
// when the last of them closes or is hung up, as a driver does when its
// file's last descriptor goes.
#pragma once

#include <cstddef>
#include <vector>

#include "simboard/board.h"

namespace SimBoard {

class EventDevice : public Model {
public:
    // The record as it is, to every open descriptor; how many got it.
    size_t post_raw(const void* data, size_t size);
    // The driver ends every open descriptor.
    void hang_up();

    int open(Channel& channel) override;
    void closed(Channel& channel) override;

protected:
    // No descriptor of the device is open any more.
    virtual void last_closed() {}

private:
    std::vector<Channel*> mChannels;
};

} // namespace SimBoard
