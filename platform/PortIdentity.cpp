// Running the port-identity program and reading its number.
#include "platform/PortIdentity.h"

#include "platform/Process.h"

#include <cctype>
#include <cstdio>

namespace platform {

namespace {

// The printed number: one decimal token with blanks and line ends around it. Blanks alone
// leave value as it is; anything else is false.
bool parseNumber(const std::string& text, uint32_t& value)
{
    size_t begin = 0, end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin])))
        ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1])))
        --end;
    if (begin == end)
        return true;
    uint64_t v = 0;
    for (size_t i = begin; i < end; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i])))
            return false;
        v = v * 10 + static_cast<uint64_t>(text[i] - '0');
        // The digits are taken with signed 32-bit arithmetic later on.
        if (v > 0x7FFFFFFF)
            return false;
    }
    value = static_cast<uint32_t>(v);
    return true;
}

} // namespace

uint32_t RunPortIdentityProgram(const std::string& program, int n, uint32_t timeLimitMs)
{
    ProcessOptions options;
    options.captureOutput = true;
    options.timeoutMs = timeLimitMs;
    ProcessResult r = RunProcess({program, std::to_string(n)}, options);
    if (!r.started || r.timedOut || r.signal != 0) {
        std::fprintf(stderr, "port identity: %s\n",
                     !r.started ? r.error.c_str() : r.timedOut ? "ran past its time limit" : "ended by a signal");
        return 0;
    }
    // A program that prints nothing answers with its exit status.
    uint32_t value = static_cast<uint32_t>(r.exitCode);
    if (!parseNumber(r.output, value)) {
        std::fprintf(stderr, "port identity: %s printed no number\n", program.c_str());
        return 0;
    }
    return value;
}

} // namespace platform
