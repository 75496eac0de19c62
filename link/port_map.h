// The serial-port map: the serial ports present now and whose they are. Port discovery keeps it
// (a tty's USB interface driver as udev names it, or a virtual phone's COM<n> link), and
// IsPhonePort answers from it whether a port number belongs to a phone.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Fragments of a phone's USB interface driver name, matched as case-sensitive substrings.
extern const char* const PORT_MAP_PHONE_DRIVERS[4];

// true when the driver name contains one of the phone driver fragments.
bool PORT_MAP_IsPhoneDriver(const std::string& strDriver);
// Whether a port is a phone's: its driver is a phone driver's, and a qcserial port is not on a
// fixed (internal) USB port, where that driver serves a laptop's built-in broadband modem.
bool PORT_MAP_IsPhoneEntry(const std::string& strName, bool bFixedPort);

// An entry appears with its port and goes with it. A virtual phone's link is a phone's port
// whatever its name.
void PORT_MAP_Add(const std::string& strDevNode, const std::string& strName, bool bVirtual,
                  bool bFixedPort = false);
// false when the node had no entry.
bool PORT_MAP_Remove(const std::string& strDevNode);
bool PORT_MAP_Has(const std::string& strDevNode);
void PORT_MAP_Reset();

// Whether a present entry of a phone's port (PORT_MAP_IsPhoneEntry, or a virtual phone) holds
// port number nPort, its number being the port table's for its node.
bool IsPhonePort(uint32_t nPort);

// The port number of a virtual phone's link name: COM<n> with n from 1, written without leading
// zeros; 0 for any other name (so each number has one name).
uint32_t PORT_MAP_VirtualPortNumber(const std::string& strName);
// The pseudo-terminal that the link strDir/strName points at; "" when the entry is missing, is
// not a symbolic link, dangles, or points at anything but a pseudo-terminal's slave.
std::string PORT_MAP_VirtualLinkNode(const std::string& strDir, const std::string& strName);

// What to do about a phone port the process may not open, for the log. The fix depends on
// whether udev gave the node to the dialout group already (strNodeGroup, the node's group).
std::string PORT_MAP_PermissionFix(const std::string& strNodeGroup);
// The log line for a port the process may not open for lack of permission; "" when it may
// (root may open every port).
std::string PORT_MAP_AccessProblem(uint32_t nPort, const std::string& strDevNode);
