// Virtual phones: a directory where each symbolic link COM<n> to a pseudo-terminal is a phone on
// port n. A link appearing is an arrival, its going (or being pointed elsewhere) a removal; the
// directory is watched with inotify on the station's event loop, never polled.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "ports/port_source.h"

class CVirtualPortSource final : public IPortSource {
public:
    // The directory is made when it does not exist yet, so the station may start first.
    CVirtualPortSource(std::string strDir, READ_WATCH_FN fnWatch);
    ~CVirtualPortSource() override;
    bool Start(EVENT_FN fnEvent, std::vector<PORT_EVENT>& aPresent, std::string& strProblem) override;

private:
    void OnReadable();
    // The link COM<n> as it is now, against what was told of it; fnTell gets what changed.
    void Look(uint32_t nPort, const EVENT_FN& fnTell);
    void Forget(uint32_t nPort, const EVENT_FN& fnTell);
    void LookAll(const EVENT_FN& fnTell);
    void StopWatching();

    std::string m_strDir;
    int m_fdNotify = -1;
    READ_WATCH_FN m_fnWatch;
    std::unique_ptr<IReadWatch> m_pWatch;
    EVENT_FN m_fnEvent;
    std::map<uint32_t, std::string> m_mapTold;  // port number -> pseudo-terminal told as present
};
