// Port discovery: the one handler of every source's arrivals and removals, on the GUI thread. It
// keeps the serial-port map and the port numbers, asks IsPhonePort, and hands accepted phone
// ports to the dialog; phones plugged in before the station started arrive in port-number order.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ports/port_source.h"

// The variable that names the virtual phones' directory.
extern const char* const PORT_DISCOVERY_VIRTUAL_ENV;

struct PORT_DISCOVERY_SINK {
    std::function<void(uint32_t nPort, const std::string& strDevNode)> fnArrived;
    std::function<void(uint32_t nPort)> fnRemoved;
    std::function<void(const std::string& strLine)> fnLog;  // one log line, without its line end
};

class CPortDiscovery {
public:
    explicit CPortDiscovery(PORT_DISCOVERY_SINK sink);
    // Forgets the map's entries: nothing is present for a station that no longer watches.
    ~CPortDiscovery();
    CPortDiscovery(const CPortDiscovery&) = delete;
    CPortDiscovery& operator=(const CPortDiscovery&) = delete;

    // Starts every source and announces the ports already present. A source that cannot watch
    // here says why in the log once and is dropped; the others go on.
    void Start(std::vector<std::unique_ptr<IPortSource>> apSources);
    void OnEvent(const PORT_EVENT& ev);

private:
    // Enters the port into the map; its number when it is a phone's port, else 0.
    uint32_t Register(const PORT_EVENT& ev);
    void Announce(uint32_t nPort, const std::string& strDevNode);

    PORT_DISCOVERY_SINK m_Sink;
    std::vector<std::unique_ptr<IPortSource>> m_apSources;
};

// The station's sources: udev, and the virtual phones' directory when PORT_DISCOVERY_VIRTUAL_ENV
// names one; fnWatch is how their descriptors are watched.
std::vector<std::unique_ptr<IPortSource>> PORT_DISCOVERY_StationSources(const READ_WATCH_FN& fnWatch);
