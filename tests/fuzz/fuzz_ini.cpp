// INI files (prefer.ini, registry.ini, flash.ini, lang.ini, ImgTool.ini, .mp): every read
// of the parsed document; unchanged it is the file byte for byte; writes read back, also
// after the written text is parsed again.
#include "FuzzSupport.h"

#include "platform/IniFile.h"

#include <utility>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text = fuzz::Bytes(data, size);
    platform::IniFile ini = platform::IniFile::FromText(text);
    FUZZ_CHECK(ini.Text() == text);
    const std::vector<std::string> sections = ini.ReadSections();
    for (const std::string& section : sections) {
        FUZZ_CHECK(ini.SectionExists(section));
        for (const std::string& key : ini.ReadSection(section)) {
            FUZZ_CHECK(ini.ValueExists(section, key));
            (void)ini.ReadString(section, key, "");
            (void)ini.ReadBool(section, key, true);
            int32_t parsed = 0;
            if (platform::IniFile::ParseInteger(ini.ReadString(section, key, ""), parsed))
                FUZZ_CHECK(ini.ReadInteger(section, key, 7) == parsed);
        }
    }

    const std::string first = sections.empty() ? "MP_Setting" : sections.front();
    ini.WriteString(first, "Label", "MY AUDIO");
    ini.WriteInteger("MP_Setting", "iScanLevel", -7);
    ini.WriteBool("Fuzz", "on", true);
    const platform::IniFile again = platform::IniFile::FromText(ini.Text());
    for (const platform::IniFile* doc : {&std::as_const(ini), &again}) {
        FUZZ_CHECK(doc->ReadString(first, "Label", "") == "MY AUDIO");
        FUZZ_CHECK(doc->ReadInteger("MP_Setting", "iScanLevel", 0) == -7);
        FUZZ_CHECK(doc->ReadBool("Fuzz", "on", false));
    }
    ini.DeleteKey("Fuzz", "on");
    FUZZ_CHECK(!ini.ReadBool("Fuzz", "on", false));
    ini.EraseSection(first);
    FUZZ_CHECK(!ini.SectionExists(first));
    return 0;
}
