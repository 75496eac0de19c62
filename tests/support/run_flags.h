// Run flags a test raises and clears by hand, asked by the serial layer as the station's are.
#pragma once

#include <atomic>
#include <cstdint>

#include "station/station_core.h"

struct TEST_RUN_FLAGS {
    CVarnDLCore core;
    const CChannelSink* StopTest() const { return &core.m_Sink; }
    std::atomic<uint32_t>& operator[](int nCh) { return core.m_aChannel[nCh].m_bRun; }
};
