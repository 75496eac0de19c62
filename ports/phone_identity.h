// What udev knows of the phone behind a serial port: its USB serial number and the physical port
// it is plugged into, for the result records. Kept out of the core, which knows device nodes only.
#pragma once

#include <string>

#include "records/result_record.h"

// Looks the device node up in udev: the serial number (ID_SERIAL_SHORT, else the USB device's
// "serial" attribute) and the port path (ID_PATH, else the USB device's bus-port name such as
// "1-1.2"). Empty fields for what udev does not know, such as any pseudo-terminal.
PHONE_IDENTITY PHONE_IDENTITY_Lookup(const std::string& strDevNode);
