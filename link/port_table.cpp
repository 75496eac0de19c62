#include "link/port_table.h"

#include <map>
#include <mutex>

namespace {

struct PORT_NODE {
    std::string strDevNode;
    bool bFixed;  // published under this number as a virtual COM<n> link
};

// Port discovery runs on the window thread, the workers look names up: one small lock.
std::mutex g_csPortTable;
std::map<uint32_t, PORT_NODE> g_mapByNumber;
std::map<std::string, uint32_t> g_mapByNode;

uint32_t LowestFreeNumber()
{
    uint32_t nPort = 1;
    for (const auto& [nUsed, node] : g_mapByNumber) {
        (void)node;
        if (nUsed != nPort) break;  // the map is ordered: the first gap is the lowest free number
        ++nPort;
    }
    return nPort;
}

}  // namespace

uint32_t PORT_TABLE_Assign(const std::string& strDevNode)
{
    if (strDevNode.empty()) return 0;
    std::lock_guard<std::mutex> lock(g_csPortTable);
    auto it = g_mapByNode.find(strDevNode);
    if (it != g_mapByNode.end()) return it->second;
    uint32_t nPort = LowestFreeNumber();
    g_mapByNumber[nPort] = PORT_NODE{strDevNode, false};
    g_mapByNode[strDevNode] = nPort;
    return nPort;
}

bool PORT_TABLE_AssignFixed(const std::string& strDevNode, uint32_t nPort)
{
    if (strDevNode.empty() || nPort == 0) return false;
    std::lock_guard<std::mutex> lock(g_csPortTable);
    auto itNumber = g_mapByNumber.find(nPort);
    if (itNumber != g_mapByNumber.end()) {
        if (itNumber->second.strDevNode == strDevNode) {
            itNumber->second.bFixed = true;
            return true;
        }
        // A virtual phone published again points its COM<n> link at a new pseudo-terminal: the
        // link's number follows it. A number a real device holds is never taken away from it.
        if (!itNumber->second.bFixed) return false;
        g_mapByNode.erase(itNumber->second.strDevNode);
        g_mapByNumber.erase(itNumber);
    }
    auto itNode = g_mapByNode.find(strDevNode);
    if (itNode != g_mapByNode.end()) g_mapByNumber.erase(itNode->second);
    g_mapByNumber[nPort] = PORT_NODE{strDevNode, true};
    g_mapByNode[strDevNode] = nPort;
    return true;
}

std::string PORT_TABLE_DevNode(uint32_t nPort)
{
    std::lock_guard<std::mutex> lock(g_csPortTable);
    auto it = g_mapByNumber.find(nPort);
    return it == g_mapByNumber.end() ? std::string() : it->second.strDevNode;
}

uint32_t PORT_TABLE_Find(const std::string& strDevNode)
{
    std::lock_guard<std::mutex> lock(g_csPortTable);
    auto it = g_mapByNode.find(strDevNode);
    return it == g_mapByNode.end() ? 0 : it->second;
}

void PORT_TABLE_Reset()
{
    std::lock_guard<std::mutex> lock(g_csPortTable);
    g_mapByNumber.clear();
    g_mapByNode.clear();
}
