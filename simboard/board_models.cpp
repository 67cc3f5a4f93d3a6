// The devices of the simulated board. A new device model is added here.
#include "board/dsp_data_requests.h"
#include "board/dsp_requests.h"
#include "board/dtmf_requests.h"
#include "board/e1_requests.h"
#include "board/hal_requests.h"
#include "board/mcc_requests.h"
#include "board/mixer_requests.h"
#include "board/modem_requests.h"
#include "board/rtp_ext_requests.h"
#include "board/rtp_requests.h"
#include "board/voice_requests.h"
#include "simboard/board.h"
#include "simboard/dsp.h"
#include "simboard/dsp_data.h"
#include "simboard/dtmf.h"
#include "simboard/e1.h"
#include "simboard/hal.h"
#include "simboard/mcc.h"
#include "simboard/mixer.h"
#include "simboard/modem.h"
#include "simboard/rtp.h"
#include "simboard/rtp_ext.h"
#include "simboard/voice.h"
#include "simboard/watchdog.h"

namespace SimBoard {

void Board::add_board_models()
{
    add(Device::Hal::kDevice, std::make_unique<Hal>());
    add("/dev/misc/gw-wd", std::make_unique<Watchdog>());
    add(Device::Mcc::kDevice, std::make_unique<MccController>());
    add(GetMaintenance(), std::make_unique<E1Maintenance>());
    add(Device::Cas::kDevice, std::make_unique<E1Cas>());
    add(Device::Dtmf::kDevice, std::make_unique<DtmfDevice>());
    add(Device::Dsp::kDevice, std::make_unique<DspDevice>());
    add(Device::DspData::kDevice, std::make_unique<DspDataDevice>());
    add(Device::Rtp::kDevice, std::make_unique<RtpEngine>());
    add(Device::RtpExt::kDevice, std::make_unique<RtpExtDevice>());
    add(Device::Voice::kDevice, std::make_unique<VoiceDevice>());
    add(Device::Mixer::kDevice, std::make_unique<MixerDevice>());
    auto& modems = add(Device::Modem::kDevice, std::make_unique<ModemControl>());
    for (int32_t n = 0; n < ModemControl::kMaxModems; ++n)
        add(Device::Modem::kDataPrefix + std::to_string(n), std::make_unique<ModemData>(modems, n));
    mInterfaces = std::make_unique<NetInterfaces>();
}

} // namespace SimBoard
