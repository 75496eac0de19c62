#include "ports/udev_port_source.h"

#include <libudev.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace {

// Where a running udev daemon listens; without one, no event would ever come.
constexpr const char* UDEV_CONTROL = "/run/udev/control";

const char* const NO_UDEV_TEXT =
    "udev is not running here: phones plugged in are not seen. Virtual phones in the directory "
    "named by QUILLON_VIRTUAL_PORTS still are.";

// A tty as an event or the database tells it; nothing for a tty without a device node.
bool EventOf(udev_device* pDevice, bool bArrival, PORT_EVENT& ev)
{
    const char* szNode = udev_device_get_devnode(pDevice);
    if (szNode == nullptr || *szNode == '\0') return false;
    ev.bArrival = bArrival;
    ev.strDevNode = szNode;
    ev.nVirtualPort = 0;
    if (!bArrival) return true;
    // A device that went away before its event was read is not there to be taken.
    struct stat st;
    if (::stat(szNode, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    const UDEV_TTY tty = UDEV_PORT_SOURCE_Describe(pDevice);
    ev.strName = PORT_MAP_EntryName(tty);
    ev.bFixedPort = PORT_MAP_OnFixedPort(tty);
    return true;
}

}  // namespace

bool PORT_MAP_OnFixedPort(const UDEV_TTY& tty)
{
    for (const std::string& strRemovable : tty.astrRemovable) {
        if (strRemovable == "fixed") return true;
        if (strRemovable == "removable") return false;
    }
    return false;
}

std::string PORT_MAP_EntryName(const UDEV_TTY& tty)
{
    for (const auto& [strKey, strValue] : tty.aProps)
        if (strKey == "ID_USB_DRIVER" && !strValue.empty()) return strValue;
    return tty.strInterfaceDriver;
}

UDEV_TTY UDEV_PORT_SOURCE_Describe(udev_device* pDevice)
{
    UDEV_TTY tty;
    udev_list_entry* pEntry = nullptr;
    udev_list_entry_foreach(pEntry, udev_device_get_properties_list_entry(pDevice))
    {
        const char* szValue = udev_list_entry_get_value(pEntry);
        tty.aProps.emplace_back(udev_list_entry_get_name(pEntry), szValue ? szValue : "");
    }
    // The parent belongs to the device and is freed with it.
    udev_device* pInterface = udev_device_get_parent_with_subsystem_devtype(pDevice, "usb", "usb_interface");
    if (pInterface != nullptr) {
        const char* szDriver = udev_device_get_driver(pInterface);
        if (szDriver) tty.strInterfaceDriver = szDriver;
    }
    // The parents belong to the device as well. Only USB devices describe their port this way.
    for (udev_device* pParent = udev_device_get_parent(pDevice); pParent != nullptr;
         pParent = udev_device_get_parent(pParent)) {
        const char* szSubsystem = udev_device_get_subsystem(pParent);
        if (szSubsystem == nullptr || std::strcmp(szSubsystem, "usb") != 0) continue;
        const char* szRemovable = udev_device_get_sysattr_value(pParent, "removable");
        if (szRemovable != nullptr) tty.astrRemovable.emplace_back(szRemovable);
    }
    return tty;
}

CUdevPortSource::CUdevPortSource(READ_WATCH_FN fnWatch) : m_fnWatch(std::move(fnWatch)) {}

CUdevPortSource::~CUdevPortSource()
{
    m_pWatch.reset();
    if (m_pMonitor) udev_monitor_unref(m_pMonitor);
    if (m_pUdev) udev_unref(m_pUdev);
}

bool CUdevPortSource::Start(EVENT_FN fnEvent, std::vector<PORT_EVENT>& aPresent, std::string& strProblem)
{
    if (::access(UDEV_CONTROL, F_OK) != 0) {
        strProblem = NO_UDEV_TEXT;
        return false;
    }
    m_pUdev = udev_new();
    if (m_pUdev) m_pMonitor = udev_monitor_new_from_netlink(m_pUdev, "udev");
    if (!m_pMonitor || udev_monitor_filter_add_match_subsystem_devtype(m_pMonitor, "tty", nullptr) < 0 ||
        udev_monitor_enable_receiving(m_pMonitor) < 0) {
        strProblem = std::string("udev cannot be watched (") + std::strerror(errno) + "): phones plugged in are "
                     "not seen. Virtual phones in the directory named by QUILLON_VIRTUAL_PORTS still are.";
        return false;
    }
    m_fnEvent = std::move(fnEvent);
    m_pWatch = m_fnWatch(udev_monitor_get_fd(m_pMonitor), [this] { OnReadable(); });

    // Listed after the monitor is on, so that nothing plugged in meanwhile is missed; a port seen
    // both ways is taken once.
    udev_enumerate* pEnum = udev_enumerate_new(m_pUdev);
    if (pEnum == nullptr) return true;
    udev_enumerate_add_match_subsystem(pEnum, "tty");
    udev_enumerate_scan_devices(pEnum);
    udev_list_entry* pEntry = nullptr;
    udev_list_entry_foreach(pEntry, udev_enumerate_get_list_entry(pEnum))
    {
        udev_device* pDevice = udev_device_new_from_syspath(m_pUdev, udev_list_entry_get_name(pEntry));
        if (pDevice == nullptr) continue;
        PORT_EVENT ev;
        if (EventOf(pDevice, true, ev)) aPresent.push_back(ev);
        udev_device_unref(pDevice);
    }
    udev_enumerate_unref(pEnum);
    return true;
}

void CUdevPortSource::OnReadable()
{
    // The socket does not block: every event queued is handled, then the loop goes on.
    while (udev_device* pDevice = udev_monitor_receive_device(m_pMonitor)) {
        const char* szAction = udev_device_get_action(pDevice);
        const bool bAdd = szAction && std::strcmp(szAction, "add") == 0;
        const bool bRemove = szAction && std::strcmp(szAction, "remove") == 0;
        PORT_EVENT ev;
        const bool bEvent = (bAdd || bRemove) && EventOf(pDevice, bAdd, ev);
        udev_device_unref(pDevice);
        if (bEvent) m_fnEvent(ev);
    }
}
