// What a channel's protocol and link are handed of the station: whether the channel may go on,
// its bar and the display lock, its log lines and the end it met. The station object holds one;
// the floors below the engine reach the station through it and nothing else.
#pragma once

#include <mutex>
#include <string>

#include "station/outcome.h"
#include "station/status.h"

class CVarnDLCore;

class CChannelSink {
public:
    explicit CChannelSink(CVarnDLCore* pStation) : m_pStation(pStation) {}

    // The channel's run flag is up: a wait that finds it down ends early.
    bool ChannelRuns(int nCh) const;
    CTextProgressState& Bar(int nCh) const;
    std::mutex& DisplayLock() const;
    // One log line of the channel, formatted as WriteLog does.
    void Log(int nCh, const char* szFormat, ...) const __attribute__((format(printf, 3, 4)));
    // The channel ends in this outcome unless it ended already (OUTCOME_End).
    void End(int nCh, OUTCOME_KIND eKind, const std::string& strText) const;

private:
    CVarnDLCore* m_pStation;
};
