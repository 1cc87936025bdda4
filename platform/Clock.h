#pragma once
// The clock: real, or set by hand in tests.
// Every sleep and clock read goes through the current clock, so tests can run a whole
// production in milliseconds while the program keeps its real waits.
#include <cstdint>

namespace platform {

class Clock {
public:
    virtual ~Clock() = default;
    virtual uint64_t nowMs() = 0;            // monotonic milliseconds
    virtual void sleepMs(uint32_t ms) = 0;
};

Clock& SystemClock();
Clock& CurrentClock();
// Installs a clock for the whole process (null restores the system clock).
void SetClock(Clock* clock);

// The original's names for the two calls.
inline void Sleep(uint32_t ms) { CurrentClock().sleepMs(ms); }
inline uint32_t GetTickCount() { return static_cast<uint32_t>(CurrentClock().nowMs()); }

// A clock whose sleeps return at once and only move its time forward.
class FakeClock : public Clock {
public:
    uint64_t nowMs() override;
    void sleepMs(uint32_t ms) override;
    void advance(uint64_t ms);
    uint64_t sleptMs() const;

private:
    uint64_t now_ = 0;
    uint64_t slept_ = 0;
};

} // namespace platform
