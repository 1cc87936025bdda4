// The real clock and the settable one the tests use.
#include "platform/Clock.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

namespace platform {

namespace {
class RealClock : public Clock {
public:
    uint64_t nowMs() override
    {
        using namespace std::chrono;
        return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    }
    void sleepMs(uint32_t ms) override
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
};

std::atomic<Clock*> g_clock{nullptr};
std::mutex g_fakeMutex;
} // namespace

Clock& SystemClock()
{
    static RealClock clock;
    return clock;
}

Clock& CurrentClock()
{
    Clock* c = g_clock.load(std::memory_order_acquire);
    return c ? *c : SystemClock();
}

void SetClock(Clock* clock)
{
    g_clock.store(clock, std::memory_order_release);
}

uint64_t FakeClock::nowMs()
{
    std::lock_guard<std::mutex> lock(g_fakeMutex);
    return now_;
}

void FakeClock::sleepMs(uint32_t ms)
{
    std::lock_guard<std::mutex> lock(g_fakeMutex);
    now_ += ms;
    slept_ += ms;
}

void FakeClock::advance(uint64_t ms)
{
    std::lock_guard<std::mutex> lock(g_fakeMutex);
    now_ += ms;
}

uint64_t FakeClock::sleptMs() const
{
    std::lock_guard<std::mutex> lock(g_fakeMutex);
    return slept_;
}

} // namespace platform
