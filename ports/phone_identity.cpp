#include "ports/phone_identity.h"

#include <libudev.h>
#include <sys/stat.h>

namespace {

std::string Text(const char* sz) { return sz ? sz : ""; }

}  // namespace

PHONE_IDENTITY PHONE_IDENTITY_Lookup(const std::string& strDevNode)
{
    PHONE_IDENTITY identity;
    struct stat st;
    if (::stat(strDevNode.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return identity;
    udev* pUdev = udev_new();
    if (!pUdev) return identity;
    if (udev_device* pTty = udev_device_new_from_devnum(pUdev, 'c', st.st_rdev)) {
        identity.strSerial = Text(udev_device_get_property_value(pTty, "ID_SERIAL_SHORT"));
        identity.strPortPath = Text(udev_device_get_property_value(pTty, "ID_PATH"));
        // Without udev's database (a container, udevd not running) sysfs still knows the device;
        // the parent belongs to the tty and is not unreferenced on its own.
        udev_device* pUsb = udev_device_get_parent_with_subsystem_devtype(pTty, "usb", "usb_device");
        if (pUsb && identity.strSerial.empty())
            identity.strSerial = Text(udev_device_get_sysattr_value(pUsb, "serial"));
        if (pUsb && identity.strPortPath.empty()) identity.strPortPath = Text(udev_device_get_sysname(pUsb));
        udev_device_unref(pTty);
    }
    udev_unref(pUdev);
    return identity;
}
