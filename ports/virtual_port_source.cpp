#include "ports/virtual_port_source.h"

#include <dirent.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>

#include "link/port_map.h"

namespace {

constexpr uint32_t WATCH_MASK = IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM | IN_DELETE_SELF |
                                IN_MOVE_SELF | IN_ONLYDIR;

PORT_EVENT Event(bool bArrival, const std::string& strDevNode, uint32_t nPort)
{
    PORT_EVENT ev;
    ev.bArrival = bArrival;
    ev.strDevNode = strDevNode;
    ev.nVirtualPort = nPort;
    return ev;
}

}  // namespace

CVirtualPortSource::CVirtualPortSource(std::string strDir, READ_WATCH_FN fnWatch)
    : m_strDir(std::move(strDir)), m_fnWatch(std::move(fnWatch))
{
}

CVirtualPortSource::~CVirtualPortSource() { StopWatching(); }

void CVirtualPortSource::StopWatching()
{
    m_pWatch.reset();
    if (m_fdNotify >= 0) ::close(m_fdNotify);
    m_fdNotify = -1;
}

bool CVirtualPortSource::Start(EVENT_FN fnEvent, std::vector<PORT_EVENT>& aPresent, std::string& strProblem)
{
    const std::string strWhere = "The virtual phones' directory " + m_strDir;
    if (::mkdir(m_strDir.c_str(), 0755) != 0 && errno != EEXIST) {
        strProblem = strWhere + " cannot be made: " + std::strerror(errno) + ".";
        return false;
    }
    m_fdNotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_fdNotify < 0 || ::inotify_add_watch(m_fdNotify, m_strDir.c_str(), WATCH_MASK) < 0) {
        strProblem = strWhere + " cannot be watched: " + std::strerror(errno) + ".";
        StopWatching();
        return false;
    }
    m_fnEvent = std::move(fnEvent);
    m_pWatch = m_fnWatch(m_fdNotify, [this] { OnReadable(); });
    // Looked at after the watch is on: a link made meanwhile is seen, and told once.
    LookAll([&aPresent](const PORT_EVENT& ev) { aPresent.push_back(ev); });
    return true;
}

void CVirtualPortSource::Look(uint32_t nPort, const EVENT_FN& fnTell)
{
    const std::string strNode = PORT_MAP_VirtualLinkNode(m_strDir, "COM" + std::to_string(nPort));
    auto it = m_mapTold.find(nPort);
    if (it != m_mapTold.end() && it->second == strNode) return;
    Forget(nPort, fnTell);
    if (strNode.empty()) return;
    // Two links to one pseudo-terminal would give one port two numbers: the first keeps it.
    for (const auto& [nOther, strOther] : m_mapTold)
        if (strOther == strNode) return;
    m_mapTold[nPort] = strNode;
    fnTell(Event(true, strNode, nPort));
}

void CVirtualPortSource::Forget(uint32_t nPort, const EVENT_FN& fnTell)
{
    auto it = m_mapTold.find(nPort);
    if (it == m_mapTold.end()) return;
    const std::string strNode = it->second;
    m_mapTold.erase(it);
    fnTell(Event(false, strNode, nPort));
}

void CVirtualPortSource::LookAll(const EVENT_FN& fnTell)
{
    std::set<uint32_t> setPorts;
    for (const auto& [nPort, strNode] : m_mapTold) setPorts.insert(nPort);
    if (DIR* pDir = ::opendir(m_strDir.c_str())) {
        while (const dirent* pEntry = ::readdir(pDir))
            if (const uint32_t nPort = PORT_MAP_VirtualPortNumber(pEntry->d_name)) setPorts.insert(nPort);
        ::closedir(pDir);
    }
    for (uint32_t nPort : setPorts) Look(nPort, fnTell);
}

void CVirtualPortSource::OnReadable()
{
    alignas(inotify_event) char abyBuf[16384];
    bool bGone = false;
    for (;;) {
        const ssize_t nRead = ::read(m_fdNotify, abyBuf, sizeof(abyBuf));
        if (nRead <= 0) break;
        for (ssize_t nAt = 0; nAt < nRead;) {
            const auto* pEvent = reinterpret_cast<const inotify_event*>(abyBuf + nAt);
            nAt += static_cast<ssize_t>(sizeof(inotify_event) + pEvent->len);
            if (pEvent->mask & IN_Q_OVERFLOW) {
                // Events were lost: what the directory holds now is the truth.
                LookAll(m_fnEvent);
                continue;
            }
            if (pEvent->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) {
                bGone = true;
                continue;
            }
            const uint32_t nPort = pEvent->len ? PORT_MAP_VirtualPortNumber(pEvent->name) : 0;
            if (nPort == 0) continue;
            // In order: a link removed and made again within one read is two events.
            if (pEvent->mask & (IN_DELETE | IN_MOVED_FROM)) Forget(nPort, m_fnEvent);
            if (pEvent->mask & (IN_CREATE | IN_MOVED_TO)) Look(nPort, m_fnEvent);
        }
    }
    if (!bGone) return;
    // The directory itself went: its phones with it. The watch is inside its own call here.
    m_pWatch.release()->EndWithin();
    StopWatching();
    while (!m_mapTold.empty()) Forget(m_mapTold.begin()->first, m_fnEvent);
}
