#include "ports/port_discovery.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

#include "link/port_map.h"
#include "link/port_table.h"
#include "ports/udev_port_source.h"
#include "ports/virtual_port_source.h"

const char* const PORT_DISCOVERY_VIRTUAL_ENV = "QUILLON_VIRTUAL_PORTS";

namespace {

// /dev/ttyUSB2 before /dev/ttyUSB10: the trailing number counts as a number.
bool NodeLess(const std::string& strA, const std::string& strB)
{
    auto split = [](const std::string& str) {
        size_t n = str.size();
        while (n > 0 && str[n - 1] >= '0' && str[n - 1] <= '9') --n;
        const std::string strDigits = str.substr(n);
        return std::make_pair(str.substr(0, n), strDigits.size() > 9 ? ~0ull : std::strtoull(strDigits.c_str(), nullptr, 10));
    };
    const auto a = split(strA), b = split(strB);
    if (a != b) return a < b;
    return strA < strB;
}

}  // namespace

CPortDiscovery::CPortDiscovery(PORT_DISCOVERY_SINK sink) : m_Sink(std::move(sink)) {}

CPortDiscovery::~CPortDiscovery()
{
    m_apSources.clear();
    PORT_MAP_Reset();
}

void CPortDiscovery::Start(std::vector<std::unique_ptr<IPortSource>> apSources)
{
    std::vector<PORT_EVENT> aPresent;
    for (auto& pSource : apSources) {
        std::string strProblem;
        std::vector<PORT_EVENT> aFound;
        if (!pSource->Start([this](const PORT_EVENT& ev) { OnEvent(ev); }, aFound, strProblem)) {
            if (!strProblem.empty() && m_Sink.fnLog) m_Sink.fnLog(strProblem);
            continue;
        }
        aPresent.insert(aPresent.end(), aFound.begin(), aFound.end());
        m_apSources.push_back(std::move(pSource));
    }
    // Virtual phones bring their numbers; the other ports take the lowest numbers left, in the
    // order of their nodes.
    std::stable_sort(aPresent.begin(), aPresent.end(), [](const PORT_EVENT& a, const PORT_EVENT& b) {
        if ((a.nVirtualPort == 0) != (b.nVirtualPort == 0)) return a.nVirtualPort != 0;
        return NodeLess(a.strDevNode, b.strDevNode);
    });
    std::vector<std::pair<uint32_t, std::string>> aAccepted;
    for (const PORT_EVENT& ev : aPresent) {
        if (!ev.bArrival || ev.strDevNode.empty() || PORT_MAP_Has(ev.strDevNode)) continue;
        const uint32_t nPort = Register(ev);
        if (IsPhonePort(nPort)) aAccepted.emplace_back(nPort, ev.strDevNode);
    }
    std::sort(aAccepted.begin(), aAccepted.end());
    for (const auto& [nPort, strDevNode] : aAccepted) Announce(nPort, strDevNode);
}

void CPortDiscovery::OnEvent(const PORT_EVENT& ev)
{
    if (ev.strDevNode.empty()) return;
    if (!ev.bArrival) {
        // Only a port that was entered goes; its number is the one it had.
        if (!PORT_MAP_Remove(ev.strDevNode)) return;
        const uint32_t nPort = PORT_TABLE_Find(ev.strDevNode);
        if (nPort != 0 && m_Sink.fnRemoved) m_Sink.fnRemoved(nPort);
        return;
    }
    // Told twice (a port found at start whose event was still on its way): once is enough.
    if (PORT_MAP_Has(ev.strDevNode)) return;
    const uint32_t nPort = Register(ev);
    if (IsPhonePort(nPort)) Announce(nPort, ev.strDevNode);
}

uint32_t CPortDiscovery::Register(const PORT_EVENT& ev)
{
    const bool bVirtual = ev.nVirtualPort != 0;
    if (bVirtual && !PORT_TABLE_AssignFixed(ev.strDevNode, ev.nVirtualPort)) {
        if (m_Sink.fnLog)
            m_Sink.fnLog("COM" + std::to_string(ev.nVirtualPort) + " (" + ev.strDevNode +
                         "): the number belongs to " + PORT_TABLE_DevNode(ev.nVirtualPort) +
                         "; this virtual phone is left alone.");
        return 0;
    }
    PORT_MAP_Add(ev.strDevNode, ev.strName, bVirtual, ev.bFixedPort);
    if (bVirtual) return ev.nVirtualPort;
    // Ports of other devices get no number: the station never takes them.
    return PORT_MAP_IsPhoneEntry(ev.strName, ev.bFixedPort) ? PORT_TABLE_Assign(ev.strDevNode) : 0;
}

void CPortDiscovery::Announce(uint32_t nPort, const std::string& strDevNode)
{
    if (m_Sink.fnArrived) m_Sink.fnArrived(nPort, strDevNode);
    // The channel is the phone's all the same: Start fails it with the same advice.
    const std::string strProblem = PORT_MAP_AccessProblem(nPort, strDevNode);
    if (!strProblem.empty() && m_Sink.fnLog) m_Sink.fnLog(strProblem);
}

std::vector<std::unique_ptr<IPortSource>> PORT_DISCOVERY_StationSources(const READ_WATCH_FN& fnWatch)
{
    std::vector<std::unique_ptr<IPortSource>> apSources;
    apSources.push_back(std::make_unique<CUdevPortSource>(fnWatch));
    const char* szDir = std::getenv(PORT_DISCOVERY_VIRTUAL_ENV);
    if (szDir != nullptr && *szDir != '\0') apSources.push_back(std::make_unique<CVirtualPortSource>(szDir, fnWatch));
    return apSources;
}
