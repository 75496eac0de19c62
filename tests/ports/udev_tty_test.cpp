// Which ttys are a phone's by what udev tells of them: their recorded properties and the removable
// state of the USB ports above them.
#include "ports/udev_port_source.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "link/port_map.h"
#include "link/port_table.h"

namespace {

// A tty as `udevadm info` prints it ("E: KEY=VALUE" lines), with the driver of its USB interface
// as udev's parent walk finds it ("" for none).
UDEV_TTY Recorded(const std::string& strInfo, const std::string& strInterfaceDriver)
{
    UDEV_TTY tty;
    std::istringstream in(strInfo);
    std::string strLine;
    while (std::getline(in, strLine)) {
        if (strLine.rfind("E: ", 0) != 0) continue;
        const size_t nEq = strLine.find('=');
        tty.aProps.emplace_back(strLine.substr(3, nEq - 3), strLine.substr(nEq + 1));
    }
    tty.strInterfaceDriver = strInterfaceDriver;
    return tty;
}

struct RECORDED_TTY {
    const char* szWhat;
    const char* szInfo;
    const char* szInterfaceDriver;
    bool bPhone;
};

const RECORDED_TTY RECORDED[] = {
    {"a phone's interface", R"(P: /devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/ttyUSB0/tty/ttyUSB0
N: ttyUSB0
E: DEVNAME=/dev/ttyUSB0
E: SUBSYSTEM=tty
E: ID_BUS=usb
E: ID_USB_INTERFACE_NUM=00
E: ID_USB_DRIVER=qcserial
E: ID_MM_DEVICE_IGNORE=1)", "qcserial", true},
    {"a phone known only by its interface's driver", R"(N: ttyUSB1
E: DEVNAME=/dev/ttyUSB1
E: SUBSYSTEM=tty)", "QCUSB_port", true},
    {"a phone driver named in the middle", R"(N: ttyUSB4
E: DEVNAME=/dev/ttyUSB4
E: ID_USB_DRIVER=xucomlinkx)", "", true},
    {"an empty ID_USB_DRIVER leaves the interface to tell", R"(N: ttyUSB5
E: ID_USB_DRIVER=)", "qcusbser", true},
    {"a USB-serial cable", R"(P: /devices/pci0000:00/0000:00:14.0/usb1/1-3/1-3:1.0/ttyUSB2/tty/ttyUSB2
N: ttyUSB2
E: DEVNAME=/dev/ttyUSB2
E: SUBSYSTEM=tty
E: ID_BUS=usb
E: ID_USB_INTERFACE_NUM=00
E: ID_USB_DRIVER=ftdi_sio)", "ftdi_sio", false},
    {"another cable", R"(N: ttyUSB3
E: ID_USB_DRIVER=pl2303)", "pl2303", false},
    {"ttyS0", R"(P: /devices/pnp0/00:04/tty/ttyS0
N: ttyS0
E: DEVNAME=/dev/ttyS0
E: SUBSYSTEM=tty)", "", false},
    {"a modem", R"(P: /devices/pci0000:00/0000:00:14.0/usb1/1-4/1-4:1.0/tty/ttyACM0
N: ttyACM0
E: DEVNAME=/dev/ttyACM0
E: SUBSYSTEM=tty
E: ID_BUS=usb
E: ID_USB_DRIVER=cdc_acm
E: ID_MM_CANDIDATE=1)", "cdc_acm", false},
    {"a pseudo-terminal", R"(N: pts/3
E: DEVNAME=/dev/pts/3
E: SUBSYSTEM=tty)", "", false},
    {"rfcomm", R"(N: rfcomm0
E: DEVNAME=/dev/rfcomm0
E: SUBSYSTEM=tty)", "", false},
    {"the fragments are case-sensitive", R"(N: ttyUSB6
E: ID_USB_DRIVER=QCSERIAL)", "Qcusb", false},
    {"ID_USB_DRIVER comes first", R"(N: ttyUSB7
E: ID_USB_DRIVER=cdc_acm)", "qcserial", false},
};

TEST(PortMapMatching, RecordedTtysArePhonesOnlyByTheirDriver)
{
    for (const RECORDED_TTY& rec : RECORDED) {
        const std::string strName = PORT_MAP_EntryName(Recorded(rec.szInfo, rec.szInterfaceDriver));
        EXPECT_EQ(PORT_MAP_IsPhoneDriver(strName), rec.bPhone) << rec.szWhat << " (" << strName << ")";
    }
}

// A laptop's built-in broadband module is served by qcserial too; only the removable state of
// the USB ports above the tty (nearest first, as udev's parent walk finds it) tells it from a phone.
TEST(PortMapMatching, AQcserialPortIsAPhonesOnlyOffAFixedPort)
{
    const struct {
        const char* szWhat;
        const char* szDriver;
        std::vector<std::string> astrRemovable;
        bool bPhone;
    } aCase[] = {
        {"an internal module on the root hub", "qcserial", {"fixed", "unknown"}, false},
        {"an internal module behind an internal hub", "qcserial", {"unknown", "fixed", "unknown"}, false},
        {"a phone on a laptop's port", "qcserial", {"removable", "unknown"}, true},
        {"a phone on an external hub", "qcserial", {"unknown", "removable", "unknown"}, true},
        {"a phone on an outer port of an internal hub", "qcserial", {"removable", "fixed", "unknown"}, true},
        {"a removable state nobody knows", "qcserial", {"unknown", "unknown"}, true},
        {"a kernel that tells no removable state", "qcserial", {}, true},
        {"the design's drivers are taken wherever they sit", "QCUSB_port", {"fixed"}, true},
        {"a cable on a removable port is still no phone", "ftdi_sio", {"removable"}, false},
    };
    for (const auto& c : aCase) {
        UDEV_TTY tty;
        tty.aProps = {{"ID_USB_DRIVER", c.szDriver}};
        tty.astrRemovable = c.astrRemovable;
        EXPECT_EQ(PORT_MAP_IsPhoneEntry(PORT_MAP_EntryName(tty), PORT_MAP_OnFixedPort(tty)), c.bPhone) << c.szWhat;
    }
    // The map answers the same way.
    PORT_MAP_Reset();
    PORT_TABLE_Reset();
    PORT_MAP_Add("/dev/ttyUSB8", "qcserial", false, true);
    EXPECT_FALSE(IsPhonePort(PORT_TABLE_Assign("/dev/ttyUSB8")));
    PORT_MAP_Add("/dev/ttyUSB9", "qcserial", false, false);
    EXPECT_TRUE(IsPhonePort(PORT_TABLE_Assign("/dev/ttyUSB9")));
    PORT_MAP_Reset();
    PORT_TABLE_Reset();
}

}  // namespace
