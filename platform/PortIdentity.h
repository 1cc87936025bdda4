#pragma once
// The port-identity program tells which USB port a device sits on as a decimal number.
// Exit statuses hold only 0-255 here, so the program prints its number on standard
// output; when it prints nothing its exit status is the number.
#include <cstdint>
#include <string>

namespace platform {

// Runs program with the argument n and returns its number; 0 when it cannot be started,
// runs past timeLimitMs (it is then killed), is ended by a signal, or prints something
// that is not a number from 0 to 2147483647.
uint32_t RunPortIdentityProgram(const std::string& program, int n, uint32_t timeLimitMs);

} // namespace platform
