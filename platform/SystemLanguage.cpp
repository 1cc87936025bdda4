// The station's language and code page from the process's locale.
#include "platform/SystemLanguage.h"

#include <cctype>
#include <cstdlib>

namespace platform {

uint16_t LangIdFromLocale(const std::string& localeName)
{
    // language[_territory][.codeset][@modifier]
    std::string name = localeName.substr(0, localeName.find_first_of(".@"));
    for (char& c : name)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (name.size() < 5 || name.compare(0, 2, "zh") != 0 || (name[2] != '_' && name[2] != '-'))
        return kLangIdEnglishUs;
    const std::string territory = name.substr(3);
    if (territory == "cn" || territory == "sg")
        return kLangIdChinesePrc;
    if (territory == "tw" || territory == "hk" || territory == "mo")
        return kLangIdChineseTaiwan;
    return kLangIdEnglishUs;
}

uint16_t SystemLanguageId()
{
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(variable);
        if (value != nullptr && *value != '\0')
            return LangIdFromLocale(value);
    }
    return kLangIdEnglishUs;
}

CodePage CodePageOfLangId(uint16_t langId)
{
    switch (langId) {
    case kLangIdChinesePrc:
        return CodePage::Gbk;
    case kLangIdChineseTaiwan:
        return CodePage::Big5;
    default:
        return CodePage::Oem437;
    }
}

CodePage StationCodePage()
{
    return CodePageOfLangId(SystemLanguageId());
}

} // namespace platform
