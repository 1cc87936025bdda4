#pragma once
// The local-machine registry a Windows station keeps, here in registry.ini in the
// program folder: one section per key path (e.g. "SoftWare\KOV6125\MPTool"), one line
// per value. Key paths and value names compare without regard to case. Opening a key
// creates it, also for a read. Every change rewrites the file atomically, so a failed or
// interrupted write leaves the previous file whole. Safe from any thread.
#include <cstdint>
#include <optional>
#include <string>

namespace platform::registry {

// The file, resolved against the program folder at each call.
std::string FilePath();

// False when the key cannot be opened: a name the file cannot hold (empty, with CR/LF,
// '=' in a value name, ']' in a key path) or a registry file that cannot be written.
bool WriteInteger(const std::string& key, const std::string& name, int32_t value);
bool WriteString(const std::string& key, const std::string& name, const std::string& value);

// The value when it exists (and, for integers, is a number); nullopt otherwise.
std::optional<int32_t> ReadInteger(const std::string& key, const std::string& name);
std::optional<std::string> ReadString(const std::string& key, const std::string& name);

} // namespace platform::registry
