// The one source of time for every wait in the station: millisecond tick counts and sleeps.
// The products run on the real clock; tests install a virtual clock so that reboot waits,
// port settles and protocol pauses cost no real time.
#pragma once

#include <atomic>
#include <cstdint>

class IClock {
public:
    virtual ~IClock() = default;
    // Milliseconds since an arbitrary origin; wraps like a 32-bit tick count.
    virtual uint32_t GetTickCount() = 0;
    virtual void Sleep(uint32_t dwMilliseconds) = 0;
};

// Monotonic wall time.
class CRealClock final : public IClock {
public:
    uint32_t GetTickCount() override;
    void Sleep(uint32_t dwMilliseconds) override;
};

// Time that moves only when somebody sleeps or advances it. A sleep returns at once after moving
// the shared time forward, so concurrent sleepers simply add up; tests read the total.
class CVirtualClock final : public IClock {
public:
    explicit CVirtualClock(uint64_t qwStart = 1000) : m_qwNow(qwStart) {}
    uint32_t GetTickCount() override;
    void Sleep(uint32_t dwMilliseconds) override;
    void Advance(uint32_t dwMilliseconds) { m_qwNow += dwMilliseconds; }
    uint64_t Now() const { return m_qwNow.load(); }
    uint64_t TotalSlept() const { return m_qwSlept.load(); }

private:
    std::atomic<uint64_t> m_qwNow;
    std::atomic<uint64_t> m_qwSlept{0};
};

// The clock every part of the station uses. Starts as the real clock.
IClock& CLOCK_Get();
// Installs a clock (nullptr goes back to the real one). Not for use while workers run.
void CLOCK_Set(IClock* pClock);

// Installs a clock for the life of a scope; tests use it around a virtual clock.
class CClockScope {
public:
    explicit CClockScope(IClock& clock) { CLOCK_Set(&clock); }
    ~CClockScope() { CLOCK_Set(nullptr); }
    CClockScope(const CClockScope&) = delete;
    CClockScope& operator=(const CClockScope&) = delete;
};
