// Serial ports from udev: a monitor on the "udev" source (its events come once the device node
// and its permissions exist), subsystem "tty", read on the Qt event loop; the ttys present at
// start come from udev's database. Each tty is told with its USB interface driver.
#pragma once

#include <memory>

#include "console/port_source.h"

class QSocketNotifier;
struct udev;
struct udev_monitor;
struct udev_device;

class CUdevPortSource final : public IPortSource {
public:
    CUdevPortSource();
    ~CUdevPortSource() override;
    bool Start(EVENT_FN fnEvent, std::vector<PORT_EVENT>& aPresent, std::string& strProblem) override;

private:
    void OnReadable();

    udev* m_pUdev = nullptr;
    udev_monitor* m_pMonitor = nullptr;
    std::unique_ptr<QSocketNotifier> m_pNotifier;
    EVENT_FN m_fnEvent;
};

// The map's name of a udev tty (see PORT_MAP_EntryName).
std::string UDEV_PORT_SOURCE_EntryName(udev_device* pDevice);
