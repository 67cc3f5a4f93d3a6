#include "runtime/trace_ctl.h"

#include <iostream>

#include "runtime/ini_file.h"

TraceCtl traces;

void TraceCtl::Configure(IniFile::Section& section)
{
    for (IniFile::SubSection& block : section)
        Configure(block);
}

void TraceCtl::Configure(IniFile::SubSection& block)
{
    IniFile::Reader reader("traces: ", std::cerr);
    signallingHdlc = signallingLemzgw = signallingEvents = signallingIsdn = monitoringInternal = false;
    reader.mOptional.add<bool>(&signallingHdlc, "signalling.hdlc");
    reader.mOptional.add<bool>(&signallingLemzgw, "signalling.lemzgw");
    reader.mOptional.add<bool>(&signallingEvents, "signalling.events");
    reader.mOptional.add<bool>(&signallingIsdn, "signalling.isdn");
    reader.mOptional.add<bool>(&monitoringInternal, "monitoring.internal");
    reader.parse(block);
}
