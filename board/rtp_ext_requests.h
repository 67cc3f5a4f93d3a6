// Records of the RTP header-extension channel "/dev/rtp_ext". Shared by the
// server and whatever stands in for the driver. Words are in the machine's
// byte order.
#pragma once

#include <cstddef>
#include <cstdint>

// Binds a new descriptor to a header-extension profile.
struct rtp_ext_init_params {
    uint16_t etype; // the extension's profile identifier
    uint16_t reserved;
    uint32_t w[4]; // values of the extension kind
};
static_assert(sizeof(rtp_ext_init_params) == 20 && offsetof(rtp_ext_init_params, w) == 4, "the init record");

// Joins the RTP session held by descriptor fd_rtp of process pid_rtp.
struct rtp_ext_attach_session_params {
    int32_t fd_rtp;
    int32_t pid_rtp;
};
static_assert(sizeof(rtp_ext_attach_session_params) == 8, "two words");
