// The registry stand-in kept in registry.ini.
#include "platform/Registry.h"

#include "platform/IniFile.h"
#include "platform/ProgramDir.h"

#include <mutex>

namespace platform::registry {

namespace {

// One lock for the whole file, so read-change-write cycles of several threads keep
// each other's values.
std::mutex g_mutex;

bool validKey(const std::string& key)
{
    return !key.empty() && key.find_first_of("]\r\n") == std::string::npos && key.find_first_not_of(" \t") != std::string::npos;
}

bool validName(const std::string& name)
{
    return !name.empty() && name.find_first_of("=\r\n") == std::string::npos && name.find_first_not_of(" \t") != std::string::npos &&
           name.find_first_not_of(" \t") != name.find_first_of(";[");
}

// Opens the key with creation allowed: a missing section is added and written out.
bool openKey(IniFile& ini, const std::string& key)
{
    if (ini.SectionExists(key))
        return true;
    std::string text = ini.Text();
    if (!text.empty() && text.back() != '\n')
        text += "\r\n";
    text += "[" + key + "]\r\n";
    ini = IniFile::FromText(text, ini.FileName());
    return ini.UpdateFile(true);
}

// Strings go in quotes, which the reader takes off again, so blanks and quotes at
// either end of a value survive the round trip.
std::string quoted(const std::string& value)
{
    std::string v = value;
    for (char& c : v)
        if (c == '\r' || c == '\n')
            c = ' ';
    return "\"" + v + "\"";
}

} // namespace

std::string FilePath()
{
    return ProgramPath("registry.ini");
}

bool WriteInteger(const std::string& key, const std::string& name, int32_t value)
{
    if (!validKey(key) || !validName(name))
        return false;
    std::lock_guard<std::mutex> lock(g_mutex);
    IniFile ini(FilePath());
    ini.WriteInteger(key, name, value);
    return ini.UpdateFile(true);
}

bool WriteString(const std::string& key, const std::string& name, const std::string& value)
{
    if (!validKey(key) || !validName(name))
        return false;
    std::lock_guard<std::mutex> lock(g_mutex);
    IniFile ini(FilePath());
    ini.WriteString(key, name, quoted(value));
    return ini.UpdateFile(true);
}

namespace {

// The value's text as the file holds it, after opening (and so creating) its key.
std::optional<std::string> readValue(const std::string& key, const std::string& name)
{
    if (!validKey(key) || !validName(name))
        return std::nullopt;
    std::lock_guard<std::mutex> lock(g_mutex);
    IniFile ini(FilePath());
    openKey(ini, key);
    if (!ini.ValueExists(key, name))
        return std::nullopt;
    return ini.ReadString(key, name, "");
}

} // namespace

std::optional<int32_t> ReadInteger(const std::string& key, const std::string& name)
{
    std::optional<std::string> text = readValue(key, name);
    int32_t value = 0;
    if (!text || !IniFile::ParseInteger(*text, value))
        return std::nullopt;
    return value;
}

std::optional<std::string> ReadString(const std::string& key, const std::string& name)
{
    return readValue(key, name);
}

} // namespace platform::registry
