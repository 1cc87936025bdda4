// The path-list files: UTF-16 lists of host paths kept between runs.
#include "platform/PathListFile.h"

#include "platform/AtomicFile.h"
#include "platform/TextCodec.h"

#include <cstdint>
#include <fstream>
#include <sys/stat.h>

namespace platform {

std::string PathListFile::Encode(const std::vector<std::string>& entries)
{
    std::string out("\xFF\xFE", 2);
    for (const auto& e : entries)
        out += platform::Utf8ToUtf16Le(e + "\r\n");
    return out;
}

std::vector<std::string> PathListFile::Decode(std::string_view bytes)
{
    const std::string text = platform::DecodeTextWithByteOrderMark(bytes);
    std::vector<std::string> entries;
    size_t start = 0;
    for (size_t i = 0; i < text.size();) {
        size_t breakLength = 0;
        if (text[i] == '\r')
            breakLength = i + 1 < text.size() && text[i + 1] == '\n' ? 2 : 1;
        else if (text[i] == '\n')
            breakLength = 1;
        else if (text.compare(i, 3, "\xE2\x80\xA8") == 0) // U+2028 LINE SEPARATOR
            breakLength = 3;
        if (breakLength == 0) {
            ++i;
            continue;
        }
        entries.push_back(text.substr(start, i - start));
        i += breakLength;
        start = i;
    }
    // A break at the very end makes no empty last entry.
    if (start < text.size())
        entries.push_back(text.substr(start));
    return entries;
}

bool PathListFile::Load(const std::string& path, std::vector<std::string>& entries)
{
    entries.clear();
    std::string bytes;
    if (!platform::ReadWholeFile(path, bytes))
        return false;
    entries = Decode(bytes);
    return true;
}

bool PathListFile::Save(const std::string& path, const std::vector<std::string>& entries)
{
    return platform::WriteFileAtomic(path, Encode(entries));
}

bool PathListEntryExists(const std::string& entry)
{
    if (entry.empty())
        return false;
    struct stat st{};
    if (stat(entry.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return true;
    std::ifstream f(entry, std::ios::binary);
    return f.is_open();
}

std::string FileNamePart(const std::string& path)
{
    auto pos = path.find_last_of("/\\:");
    return pos == std::string::npos ? path : path.substr(pos + 1);
}

} // namespace platform
