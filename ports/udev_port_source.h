// Serial ports from udev: a monitor on the "udev" source (its events come once the device node
// and its permissions exist), subsystem "tty", read on the station's event loop; the ttys present at
// start come from udev's database. Each tty is told with its USB interface driver and whether
// its USB device sits on a fixed (internal) port.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ports/port_source.h"

struct udev;
struct udev_monitor;
struct udev_device;

// A tty as udev describes it: its properties, the driver bound to its USB interface (the
// DRIVER of the usb_interface parent; "" when it has none), and the "removable" attribute of
// each USB device above it that has one, nearest first ("fixed", "removable" or "unknown": how
// the hub or the firmware describes the port the device is plugged into).
struct UDEV_TTY {
    std::vector<std::pair<std::string, std::string>> aProps;
    std::string strInterfaceDriver;
    std::vector<std::string> astrRemovable;
};
// The name a tty has in the map: its ID_USB_DRIVER, else its USB interface's driver; "" for a
// tty that hangs on no USB interface (ttyS*, rfcomm, pseudo-terminals).
std::string PORT_MAP_EntryName(const UDEV_TTY& tty);
// true when the tty's USB device sits on a fixed port: the nearest USB device that says either
// way decides (a phone on an external hub says "unknown", the hub's own port "removable"); one
// that nobody describes counts as removable.
bool PORT_MAP_OnFixedPort(const UDEV_TTY& tty);

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
