#include "station/outcome.h"

#include <signal.h>

#include <cstring>

#include "station/log.h"
#include "station/station_core.h"

const char* OUTCOME_KindName(OUTCOME_KIND eKind)
{
    switch (eKind) {
    case OUTCOME_PASSED: return "passed";
    case OUTCOME_FAILED: return "failed";
    case OUTCOME_STOPPED: return "stopped";
    case OUTCOME_DISCONNECTED: return "disconnected";
    case OUTCOME_STALLED: return "stalled";
    default: return "running";
    }
}

std::string OUTCOME_StopText(const STOP_REASON& stop)
{
    switch (stop.eCause) {
    case STOP_OPERATOR: return "cancelled by the operator";
    case STOP_SIGNAL: {
        const char* szName = sigabbrev_np(stop.nValue);
        return std::string("interrupted by ") + (szName ? std::string("SIG") + szName : "a signal");
    }
    case STOP_CHANNEL_FAILED:
        return "channel " + std::to_string(stop.nValue) + " failed before its regions";
    default: return std::string();
    }
}

std::string OUTCOME_ResultText(const CHANNEL_OUTCOME& outcome)
{
    if (outcome.eKind == OUTCOME_PASSED) return "PASS";
    if (outcome.eKind == OUTCOME_STOPPED || outcome.eKind == OUTCOME_RUNNING) return "Stopped";
    const std::string& str = outcome.strText;
    const size_t nFirst = str.find_first_not_of(" \r\n");
    if (nFirst == std::string::npos) return OUTCOME_KindName(outcome.eKind);
    const size_t nLast = str.find_last_not_of(" \r\n");
    return str.substr(nFirst, nLast - nFirst + 1);
}

const char* OUTCOME_RegionName(int nRegion)
{
    static const char* const s_aszName[REGION_COUNT] = {"mibib",  "qcsbl", "oemsbl", "amss",
                                                        "efs2",   "fota",  "appsbl", "",
                                                        "pda",    "carrier", "hidden"};
    return nRegion >= 0 && nRegion < REGION_COUNT ? s_aszName[nRegion] : "";
}

CHANNEL_OUTCOME OUTCOME_Get(const CVarnDLCore& core, int nCh)
{
    std::lock_guard<std::mutex> lock(core.m_csOutcome);
    return core.m_aChannel[nCh].m_Outcome;
}

void OUTCOME_Begin(CVarnDLCore& core, int nCh)
{
    std::lock_guard<std::mutex> lock(core.m_csOutcome);
    core.m_aChannel[nCh].m_Outcome = CHANNEL_OUTCOME{};
    core.m_aChannel[nCh].m_Outcome.strStep = "start";
}

void OUTCOME_Step(CVarnDLCore& core, int nCh, const std::string& strStep)
{
    std::lock_guard<std::mutex> lock(core.m_csOutcome);
    if (core.m_aChannel[nCh].m_Outcome.eKind == OUTCOME_RUNNING) core.m_aChannel[nCh].m_Outcome.strStep = strStep;
}

void OUTCOME_Written(CVarnDLCore& core, int nCh, const std::string& strRegion)
{
    std::lock_guard<std::mutex> lock(core.m_csOutcome);
    core.m_aChannel[nCh].m_Outcome.astrWritten.push_back(strRegion);
}

void OUTCOME_Skipped(CVarnDLCore& core, int nCh, const std::string& strRegion,
                     const std::string& strReason)
{
    std::lock_guard<std::mutex> lock(core.m_csOutcome);
    core.m_aChannel[nCh].m_Outcome.aSkipped.push_back({strRegion, strReason});
}

void OUTCOME_End(CVarnDLCore& core, int nCh, OUTCOME_KIND eKind, const std::string& strText)
{
    std::lock_guard<std::mutex> lock(core.m_csOutcome);
    CHANNEL_OUTCOME& outcome = core.m_aChannel[nCh].m_Outcome;
    // What the channel ended in first stays. Only a stop may yet be told more precisely, by the
    // pull or the stall behind it; the failures that follow a stop are its own doing.
    const bool bOpen = outcome.eKind == OUTCOME_RUNNING ||
                       (outcome.eKind == OUTCOME_STOPPED &&
                        (eKind == OUTCOME_DISCONNECTED || eKind == OUTCOME_STALLED));
    if (!bOpen) return;
    outcome.eKind = eKind;
    outcome.strText = strText;
    outcome.stop = eKind == OUTCOME_STOPPED ? core.m_StopReason : STOP_REASON{};
}

void OUTCOME_Damage(CVarnDLCore& core, int nCh, const std::string& strText)
{
    std::lock_guard<std::mutex> lock(core.m_csOutcome);
    CHANNEL_OUTCOME& outcome = core.m_aChannel[nCh].m_Outcome;
    if (outcome.eKind == OUTCOME_PASSED) return;
    outcome.eKind = OUTCOME_FAILED;
    outcome.strText = strText;
    outcome.stop = STOP_REASON{};
}

bool STATION_AskStop(CVarnDLCore& core, STOP_REASON reason)
{
    {
        std::lock_guard<std::mutex> lock(core.m_csOutcome);
        if (core.m_StopReason.eCause != STOP_NONE) return false;
        core.m_StopReason = reason;
    }
    WriteLog(&core, -1, core.m_csDisplay, "Run stopped: %s\r\n", OUTCOME_StopText(reason).c_str());
    return true;
}

void STATION_ClearStop(CVarnDLCore& core)
{
    std::lock_guard<std::mutex> lock(core.m_csOutcome);
    core.m_StopReason = STOP_REASON{};
}
