#include "station/station_core.h"

#include <cstring>

CVarnDLCore::CVarnDLCore() : m_pMultiCscHeader(MULTICSC_HEADER_SIZE, 0), m_pView(&m_NullView)
{
    for (int i = 0; i < MAX_CHANNEL; ++i) {
        m_nComPort[i] = 0;
        m_bThreadStart[i] = 0;
        m_bRun[i] = 0;
        m_bDownloadDone[i] = 0;
        m_bCycleEnd[i] = 0;
        m_bRebootWait[i] = 0;
        m_bMcci[i] = 0;
        m_bOlderVersion[i] = 0;
        m_dwParked[i] = PARKED_NONE;
        m_bStallWatch[i] = 0;
        m_dwAnswerTick[i] = 0;
        m_dwResends[i] = 0;
        m_bStalled[i] = 0;
        m_bOutOfStep[i] = 0;
        m_nLeftErased[i] = -1;
        m_nRunPort[i] = 0;
        m_ctrlProgress[i].Bind(this, i);
    }
    m_bStopAll = 0;
    std::memset(&m_RegionTable, 0, sizeof(m_RegionTable));
    std::memset(m_abyPartitionTable, 0xFF, sizeof(m_abyPartitionTable));
}
