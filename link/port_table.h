// Port numbers for device nodes: Linux has /dev/ttyUSB0 and /dev/pts/7 where the station's
// texts say COM7. Each accepted node gets the lowest free number and keeps it while the program
// runs, so a phone plugged again on the same node gets its old number back.
#pragma once

#include <cstdint>
#include <string>

// The number of a node, assigning the lowest free one (from 1) on first sight.
uint32_t PORT_TABLE_Assign(const std::string& strDevNode);
// Gives a node a fixed number (a virtual port published as COM<n>); false when the number
// belongs to another node.
bool PORT_TABLE_AssignFixed(const std::string& strDevNode, uint32_t nPort);
// The node of a number, "" when none.
std::string PORT_TABLE_DevNode(uint32_t nPort);
// The number of a node, 0 when it has none.
uint32_t PORT_TABLE_Find(const std::string& strDevNode);
// Forgets every assignment (tests).
void PORT_TABLE_Reset();
