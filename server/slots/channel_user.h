// Something a slot switched on on its board channel besides its switch
// paths (a detector, a voice feature): when the channel goes back to its
// driver, that goes with it, before the driver hands the channel on.
#pragma once

class ChannelUser {
public:
    virtual void LeaveChannel() = 0;

protected:
    ~ChannelUser() = default;
};
