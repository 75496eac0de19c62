// The channel a phone's port gets when it arrives, and what its arrival and its removal show on
// the channel's bar and in the log: written once for the window and for the headless station
// that takes phones as they come.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

class CVarnDLCore;
struct STATION_THREADS;

// Shows a channel's port (0: none) with the device node behind it.
using PORT_BOX_FN = std::function<void(int nCh, uint32_t nPort, const std::string& strDevNode)>;

// Gives an arriving phone port a channel: the one that already had that port, else the lowest
// empty channel whose worker has ended. Its bar reads " Ready - Detect COMn Port". Channels whose
// phones passed are released for later phones. The channel, or -1 when none is free.
int STATION_PortArrived(CVarnDLCore& core, STATION_THREADS& threads, uint32_t nPort,
                        const std::string& strDevNode, const PORT_BOX_FN& fnPortBox);
// A port went away: a phone pulled mid-download says so on its bar and in its outcome; an idle
// one reads " Disconnected...". false when the port had no channel.
bool STATION_PortRemoved(CVarnDLCore& core, STATION_THREADS& threads, uint32_t nPort,
                         const PORT_BOX_FN& fnPortBox);
