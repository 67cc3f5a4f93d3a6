// libFuzzer entry for the configuration reader: any byte string must parse,
// dump and go through the typed reader without a fault.
// Built and run by scripts/fuzz.sh (clang), not by the default test run.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "runtime/ini_file.h"

namespace {
enum Level { Low = 1, High = 2 };
const IniFile::Symbol<Level> kLevels[] = {{"low", Low}, {"high", High}, {nullptr, Low}};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    IniFile::File file;
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    in >> file;
    std::ostringstream sink;
    file.Dump(sink);
    for (IniFile::Section& section : file) {
        for (IniFile::SubSection& block : section) {
            for (IniFile::Key& key : block)
                for (IniFile::SubKey& value : key)
                    sink << value.GetBool(false) << value.GetInt(0) << value.GetFloat(0.0f);
            std::string text;
            bool flag = false;
            Level level = Low;
            IniFile::Reader reader("fuzz: ", sink);
            reader.mRequired.add(&text, "a");
            reader.mOptional.add(&flag, "b");
            reader.mOptional.add(&level, "c", kLevels);
            reader.parse(block);
        }
    }
    return 0;
}
