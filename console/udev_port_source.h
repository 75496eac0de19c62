// Serial ports from udev: a monitor on the "udev" source (its events come once the device node
// and its permissions exist), subsystem "tty", read on the Qt event loop; the ttys present at
// start come from udev's database. Each tty is told with its USB interface driver and whether
// its USB device sits on a fixed (internal) port.
#pragma once

#include <memory>

#include "console/port_source.h"
#include "link/port_map.h"

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

// A udev tty as the serial-port map looks at it: its properties, its USB interface's driver and
// how the USB devices above it describe their ports.
UDEV_TTY UDEV_PORT_SOURCE_Describe(udev_device* pDevice);
