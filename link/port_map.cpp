#include "link/port_map.h"

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <map>
#include <mutex>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include "link/port_table.h"
#include "link/tty_node.h"

const char* const PORT_MAP_PHONE_DRIVERS[4] = {"qcusb", "QCUSB", "ucomlink", "qcserial"};

namespace {

struct MAP_ENTRY {
    std::string strName;
    bool bVirtual;
    bool bFixedPort;
};

// Discovery writes on the GUI thread; a lock keeps a reader elsewhere safe all the same.
std::mutex g_csPortMap;
std::map<std::string, MAP_ENTRY> g_mapEntries;  // by device node

constexpr uint32_t VIRTUAL_PORT_MAX = 99999;

}  // namespace

bool PORT_MAP_IsPhoneDriver(const std::string& strDriver)
{
    for (const char* szFragment : PORT_MAP_PHONE_DRIVERS)
        if (strDriver.find(szFragment) != std::string::npos) return true;
    return false;
}

bool PORT_MAP_IsPhoneEntry(const std::string& strName, bool bFixedPort)
{
    if (!PORT_MAP_IsPhoneDriver(strName)) return false;
    return !(bFixedPort && strName.find("qcserial") != std::string::npos);
}

void PORT_MAP_Add(const std::string& strDevNode, const std::string& strName, bool bVirtual, bool bFixedPort)
{
    std::lock_guard<std::mutex> lock(g_csPortMap);
    g_mapEntries[strDevNode] = MAP_ENTRY{strName, bVirtual, bFixedPort};
}

bool PORT_MAP_Remove(const std::string& strDevNode)
{
    std::lock_guard<std::mutex> lock(g_csPortMap);
    return g_mapEntries.erase(strDevNode) != 0;
}

bool PORT_MAP_Has(const std::string& strDevNode)
{
    std::lock_guard<std::mutex> lock(g_csPortMap);
    return g_mapEntries.count(strDevNode) != 0;
}

void PORT_MAP_Reset()
{
    std::lock_guard<std::mutex> lock(g_csPortMap);
    g_mapEntries.clear();
}

bool IsPhonePort(uint32_t nPort)
{
    if (nPort == 0) return false;
    std::lock_guard<std::mutex> lock(g_csPortMap);
    for (const auto& [strDevNode, entry] : g_mapEntries) {
        if (!entry.bVirtual && !PORT_MAP_IsPhoneEntry(entry.strName, entry.bFixedPort)) continue;
        if (PORT_TABLE_Find(strDevNode) == nPort) return true;
    }
    return false;
}

uint32_t PORT_MAP_VirtualPortNumber(const std::string& strName)
{
    if (strName.size() < 4 || strName.compare(0, 3, "COM") != 0 || strName[3] == '0') return 0;
    uint32_t nPort = 0;
    const char* pEnd = strName.data() + strName.size();
    const auto result = std::from_chars(strName.data() + 3, pEnd, nPort);
    if (result.ec != std::errc() || result.ptr != pEnd || nPort > VIRTUAL_PORT_MAX) return 0;
    return nPort;
}

std::string PORT_MAP_VirtualLinkNode(const std::string& strDir, const std::string& strName)
{
    const std::string strLink = strDir + "/" + strName;
    struct stat st;
    if (::lstat(strLink.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return std::string();
    char szNode[PATH_MAX];
    if (::realpath(strLink.c_str(), szNode) == nullptr) return std::string();
    if (TTY_NODE_Kind(szNode) != TTY_NODE_PSEUDO) return std::string();
    return szNode;
}

std::string PORT_MAP_PermissionFix(const std::string& strNodeGroup)
{
    // udev gave the port to dialout already: the rule is in place, the user is not in the group
    // (or not at the seat that "uaccess" opens it to).
    if (strNodeGroup == "dialout") return "Add the user to the dialout group and log in again.";
    return "Install the udev rule 70-quillon-phone.rules (the package puts it in "
           "/usr/lib/udev/rules.d; from the source tree copy packaging/70-quillon-phone.rules to "
           "/etc/udev/rules.d) and plug the phone in again: it gives phone ports to the dialout "
           "group and to the logged-in operator.";
}

std::string PORT_MAP_AccessProblem(uint32_t nPort, const std::string& strDevNode)
{
    if (::faccessat(AT_FDCWD, strDevNode.c_str(), R_OK | W_OK, AT_EACCESS) == 0) return std::string();
    if (errno != EACCES && errno != EPERM) return std::string();
    std::string strGroup;
    struct stat st;
    if (::stat(strDevNode.c_str(), &st) == 0) {
        group grp;
        group* pGroup = nullptr;
        char szBuf[4096];
        if (::getgrgid_r(st.st_gid, &grp, szBuf, sizeof(szBuf), &pGroup) == 0 && pGroup) strGroup = pGroup->gr_name;
    }
    return "COM" + std::to_string(nPort) + " (" + strDevNode + "): no permission to open this phone port. " +
           PORT_MAP_PermissionFix(strGroup);
}
