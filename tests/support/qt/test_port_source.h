// A port source the test drives: it tells discovery of ports plugged and pulled, as udev or the
// virtual phones' directory would, without either.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ports/port_source.h"

class CTestPortSource final : public IPortSource {
public:
    // Ports there before the station starts, told by Start.
    std::vector<PORT_EVENT> m_aPresent;

    bool Start(EVENT_FN fnEvent, std::vector<PORT_EVENT>& aPresent, std::string& strProblem) override;

    // A tty whose USB interface driver is strDriver ("" for none) appears or goes.
    void Plug(const std::string& strDevNode, const std::string& strDriver);
    void Pull(const std::string& strDevNode);
    // Any event, as a source would tell it.
    void Tell(const PORT_EVENT& ev) { m_fnEvent(ev); }
    // A virtual phone's link COM<n> appears or goes.
    void PlugVirtual(const std::string& strDevNode, uint32_t nPort);
    void PullVirtual(const std::string& strDevNode, uint32_t nPort);

    static PORT_EVENT Tty(const std::string& strDevNode, const std::string& strDriver, bool bArrival = true);

private:
    EVENT_FN m_fnEvent;
};

// The sources of a station, a test source among them (which the caller keeps a pointer to).
std::vector<std::unique_ptr<IPortSource>> TEST_PORT_SOURCE_Only(std::unique_ptr<IPortSource> pSource);
