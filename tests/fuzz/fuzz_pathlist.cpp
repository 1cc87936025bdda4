// Path-list files (misc/seting.ini, hideseting.ini, spiseting.ini, isoseting.ini): any
// bytes decode into entries without line breaks, and a list saved and loaded again is the
// same list (invalid UTF-8 having become U+FFFD).
#include "FuzzSupport.h"

#include "platform/TextCodec.h"
#include "platform/PathListFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<std::string> entries;
    FUZZ_CHECK(platform::PathListFile::Load(fuzz::Put("misc/seting.ini", fuzz::Bytes(data, size)), entries));
    FUZZ_CHECK(entries == platform::PathListFile::Decode(fuzz::Bytes(data, size)));
    std::vector<std::string> sanitized;
    for (const std::string& entry : entries) {
        FUZZ_CHECK(entry.find_first_of("\r\n") == std::string::npos);
        sanitized.push_back(platform::SanitizeUtf8(entry));
        (void)platform::FileNamePart(entry);
    }
    FUZZ_CHECK(platform::PathListFile::Decode(platform::PathListFile::Encode(entries)) == sanitized);
    return 0;
}
