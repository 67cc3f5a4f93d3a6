#include "main/factories.h"

#include "media/mixer_factory.h"
#include "media/modem_factory.h"
#include "media/rtp_factory.h"
#include "media/t38_slot.h"
#include "media/voice_factory.h"
#include "radio/ed137_radio_slots.h"
#include "radio/lemz_radio_slots.h"
#include "server/tdm/echo_slot.h"
#include "server/tdm/ext_slot.h"
#include "server/tdm/map_slot.h"
#include "server/tdm/mcc_slot.h"
#include "signalling/hdlc_slot.h"
#include "signalling/isdn_slot.h"
#include "signalling/pstn_slot.h"

void BuildFactories()
{
    static MapFactory mapFactory;
    static PstnFactory pstnFactory;
    static RtpFactory rtpFactory;
    static ModemFactory modemFactory;
    Mixer::MixerFactory::instance();
    static ExtFactory extFactory;
    static MccFactory mccFactory;
    static EchoFactory echoFactory;
    VoiceFactory::instance();
    static T38SoftFactory t38Factory;
    static IsdnFactory isdnFactory;
    static RtpLEMZFactory lemzFactory;
    static RtpED137Factory ed137Factory;
    static HdlcSlotFactory hdlcFactory;
}
