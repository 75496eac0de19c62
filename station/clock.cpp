#include "station/clock.h"

#include <chrono>
#include <thread>

uint32_t CRealClock::GetTickCount()
{
    using namespace std::chrono;
    return static_cast<uint32_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void CRealClock::Sleep(uint32_t dwMilliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
}

uint32_t CVirtualClock::GetTickCount()
{
    return static_cast<uint32_t>(m_qwNow.load());
}

void CVirtualClock::Sleep(uint32_t dwMilliseconds)
{
    m_qwNow += dwMilliseconds;
    m_qwSlept += dwMilliseconds;
    // Let other threads run, as a real sleep would, without costing real time.
    std::this_thread::yield();
}

namespace {
CRealClock g_RealClock;
std::atomic<IClock*> g_pClock{&g_RealClock};
}  // namespace

IClock& CLOCK_Get()
{
    return *g_pClock.load(std::memory_order_acquire);
}

void CLOCK_Set(IClock* pClock)
{
    g_pClock.store(pClock ? pClock : &g_RealClock, std::memory_order_release);
}
