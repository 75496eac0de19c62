// Serial ports from udev: a monitor on the "udev" source (its events come once the device node
// and its permissions exist), subsystem "tty", read on the station's event loop; the ttys present at
// start come from udev's database. Each tty is told with its USB interface driver and whether
// its USB device sits on a fixed (internal) port.
#pragma once

#include <memory>

#include "link/port_map.h"
#include "ports/port_source.h"

struct udev;
struct udev_monitor;
struct udev_device;

class CUdevPortSource final : public IPortSource {
public:
    explicit CUdevPortSource(READ_WATCH_FN fnWatch);
    ~CUdevPortSource() override;
    bool Start(EVENT_FN fnEvent, std::vector<PORT_EVENT>& aPresent, std::string& strProblem) override;

private:
    void OnReadable();

    udev* m_pUdev = nullptr;
    udev_monitor* m_pMonitor = nullptr;
    READ_WATCH_FN m_fnWatch;
    std::unique_ptr<IReadWatch> m_pWatch;
    EVENT_FN m_fnEvent;
};

// A udev tty as the serial-port map looks at it: its properties, its USB interface's driver and
// how the USB devices above it describe their ports.
UDEV_TTY UDEV_PORT_SOURCE_Describe(udev_device* pDevice);
