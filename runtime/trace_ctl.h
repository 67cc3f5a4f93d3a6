// The global trace switches, read from the configuration section "traces".
#pragma once

namespace IniFile {
class Section;
class SubSection;
} // namespace IniFile

class TraceCtl {
public:
    TraceCtl() = default;

    // Every block of the section in file order: the last block decides.
    void Configure(IniFile::Section& section);
    // Clears all switches, then takes the block's valid, unrepeated keys.
    void Configure(IniFile::SubSection& block);

    bool signallingHdlc = false;
    bool signallingLemzgw = false;
    bool signallingEvents = false;
    bool signallingIsdn = false;
    bool monitoringInternal = false;
};

extern TraceCtl traces;
