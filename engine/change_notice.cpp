#include "engine/change_notice.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {

std::mutex g_csChange;
std::condition_variable g_cvChange;
uint64_t g_qwChange = 0;

}  // namespace

void STATION_NotifyChange()
{
    {
        std::lock_guard<std::mutex> lock(g_csChange);
        ++g_qwChange;
    }
    g_cvChange.notify_all();
}

uint64_t STATION_ChangeCount()
{
    std::lock_guard<std::mutex> lock(g_csChange);
    return g_qwChange;
}

void STATION_WaitForChange(uint64_t qwSeen, uint32_t dwMs)
{
    std::unique_lock<std::mutex> lock(g_csChange);
    g_cvChange.wait_for(lock, std::chrono::milliseconds(dwMs), [&] { return g_qwChange != qwSeen; });
}
