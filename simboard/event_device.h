// A device model whose events every open descriptor reads: it keeps the
// open channels, posts a record to each and can hang them all up.
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

private:
    std::vector<Channel*> mChannels;
};

} // namespace SimBoard
