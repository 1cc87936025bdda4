// Loading, saving and the defaults of the stored production settings, all from one table.
#include "production/StoredSettings.h"

#include "platform/IniFile.h"

#include <algorithm>

namespace production {

namespace {

int32_t bounded(int32_t value, const Bound& bound)
{
    switch (bound.kind) {
    case Bound::Clamp:
        return std::clamp(value, bound.low, bound.high);
    case Bound::LowBits:
        return value & bound.high;
    case Bound::None:
        break;
    }
    return value;
}

// One row read from the ini, or its default when ini is null.
void readRow(const platform::IniFile* ini, const StoredSetting& row, StoredSettings& out)
{
    const char* S = kSettingsSection;
    const int32_t def = row.defaultValue;
    auto integer = [&] { return bounded(ini ? ini->ReadInteger(S, row.key, def) : def, row.bound); };
    std::visit(
        [&](auto member) {
            using Value = std::remove_reference_t<decltype(out.*member)>;
            if constexpr (std::is_same_v<Value, std::string>)
                out.*member = ini ? ini->ReadString(S, row.key, "") : std::string();
            else if constexpr (std::is_same_v<Value, bool>)
                out.*member = integer() != 0;
            else if constexpr (std::is_same_v<Value, uint8_t>)
                out.*member = static_cast<uint8_t>(integer() & 0xFF);
            else
                out.*member = integer();
        },
        row.member);
}

StoredSettings readAll(const platform::IniFile* ini)
{
    StoredSettings out;
    for (const StoredSetting& row : kStoredSettings)
        readRow(ini, row, out);
    return out;
}

} // namespace

const StoredSettings& FreshSettings()
{
    static const StoredSettings fresh = readAll(nullptr);
    return fresh;
}

StoredSettings ReadStoredSettings(const platform::IniFile& ini)
{
    return readAll(&ini);
}

void WriteStoredSettings(platform::IniFile& ini, const StoredSettings& values)
{
    const char* S = kSettingsSection;
    for (const StoredSetting& row : kStoredSettings) {
        std::visit(
            [&](auto member) {
                const auto& value = values.*member;
                using Value = std::remove_cvref_t<decltype(value)>;
                if constexpr (std::is_same_v<Value, std::string>)
                    ini.WriteString(S, row.key, value);
                else if constexpr (std::is_same_v<Value, bool>)
                    ini.WriteInteger(S, row.key, value ? 1 : 0);
                else if constexpr (std::is_same_v<Value, uint8_t>)
                    ini.WriteInteger(S, row.key, static_cast<int8_t>(value));
                else
                    ini.WriteInteger(S, row.key, value);
            },
            row.member);
    }
    ini.EraseSection("HIDE_FILES");
    ini.EraseSection("SPI_HIDE_FILES");
}

} // namespace production
