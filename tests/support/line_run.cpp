#include "support/line_run.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "protocol/commands.h"
#include "support/sim_link.h"
#include "support/sim_process.h"

namespace {

const std::string FLASH = QUILLON_BINARY_DIR "/quillon-flash";
const std::string SIM = QUILLON_BINARY_DIR "/quillon-phone-sim";

// A second program reading a phone's port, as a modem manager does: whoever reads first gets
// the phone's answer.
class CThief {
public:
    explicit CThief(const std::string& strPort) : m_fd(SIM_LINK_Open(strPort))
    {
        if (m_fd >= 0) m_thread = std::thread([this] { Steal(); });
    }
    ~CThief()
    {
        m_bStop = true;
        if (m_thread.joinable()) m_thread.join();
        if (m_fd >= 0) ::close(m_fd);
    }
    CThief(const CThief&) = delete;
    CThief& operator=(const CThief&) = delete;

private:
    void Steal()
    {
        char sz[256];
        while (!m_bStop) {
            pollfd pfd{m_fd, POLLIN, 0};
            if (::poll(&pfd, 1, 20) > 0 && (pfd.revents & POLLIN) && ::read(m_fd, sz, sizeof(sz)) <= 0)
                return;
            if (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) return;
        }
    }

    int m_fd;
    std::atomic<bool> m_bStop{false};
    std::thread m_thread;
};

}  // namespace

// The report block of each phone: "phone K COMn: ..." then indented lines about that phone.
std::vector<LINE_PHONE> LINE_RUN_ParseReport(const std::string& strOut)
{
    std::vector<LINE_PHONE> aPhones;
    std::istringstream in(strOut);
    std::string strLine;
    while (std::getline(in, strLine)) {
        unsigned nLocks = 0;
        if (strLine.rfind("phone ", 0) == 0 && strLine.find(": plugged ") != std::string::npos) {
            const size_t nAt = strLine.find("locks ");
            if (nAt != std::string::npos) std::sscanf(strLine.c_str() + nAt, "locks %u", &nLocks);
            aPhones.emplace_back();
            aPhones.back().dwLocks = nLocks;
            continue;
        }
        if (aPhones.empty()) continue;
        LINE_PHONE& phone = aPhones.back();
        if (strLine.rfind("  verify ", 0) == 0) {
            phone.astrVerify.push_back(strLine.substr(9));
            continue;
        }
        unsigned nOp, nSeq, nParam, nLength, nTimes;
        char szReply[32];
        if (std::sscanf(strLine.c_str(), "  request %x seq %x param 0x%x length 0x%x reply %31s x%u",
                        &nOp, &nSeq, &nParam, &nLength, szReply, &nTimes) == 6) {
            LINE_REQUEST r;
            r.byOpcode = static_cast<uint8_t>(nOp);
            r.bySeq = static_cast<uint8_t>(nSeq);
            r.dwParam = nParam;
            r.dwLength = nLength;
            r.strReply = szReply;
            r.dwTimes = nTimes;
            phone.aRequests.push_back(r);
        }
    }
    return aPhones;
}

bool LINE_RUN_WriteImages(const std::string& strDir, IMAGE_SET* pSet,
                          const std::function<void(IMAGE_SET_SIZES&)>& fnSizes)
{
    // Small regions: the runs are about faults, not volume, and eight phones share two cores.
    IMAGE_SET_SIZES sizes;
    sizes.dwQcsbl = 0x10000;
    sizes.dwOemsbl = 0x18000;
    sizes.dwAmss = 0x48000;
    sizes.dwFota = 0x10000;
    sizes.dwAppsbl = 0x18000;
    sizes.dwPda = 0x30000;
    sizes.dwCsc = 0x10000;
    sizes.dwEfs2Erase = 0x40000;
    sizes.dwHiddenErase = 0;
    if (fnSizes) fnSizes(sizes);
    std::string strError;
    return IMAGE_BUILDER_WriteStandardSet(strDir, 11, sizes, pSet, &strError);
}

LINE_RUN_RESULT LINE_RUN_Execute(const LINE_RUN_PLAN& plan, const IMAGE_SET& set,
                                 const std::string& strDir)
{
    LINE_RUN_RESULT result;
    const std::string strPorts = strDir + "/ports";
    std::vector<std::string> astrSim = {"--list-requests", "--tell-faults"};
    astrSim.insert(astrSim.end(), plan.astrSim.begin(), plan.astrSim.end());
    CSimProcess sim;
    if (!LINE_RUN_StartPhones(sim, set, strPorts, 1, plan.nPhones, astrSim)) {
        result.nSimExit = sim.Stop();
        result.strSimOut = sim.Output();
        return result;
    }

    std::vector<std::string> astrFlash = LINE_RUN_FlashArgs(set, plan.astrFlash);
    for (uint32_t k = 1; k <= plan.nPhones; ++k) {
        char szLink[4096];
        const std::string strLink = strPorts + "/COM" + std::to_string(k);
        const ssize_t n = ::readlink(strLink.c_str(), szLink, sizeof(szLink) - 1);
        astrFlash.push_back(n > 0 ? std::string(szLink, static_cast<size_t>(n)) : strLink);
    }

    std::unique_ptr<CThief> pThief;
    if (plan.nThief >= 1 && plan.nThief <= plan.nPhones)
        pThief = std::make_unique<CThief>(astrFlash[astrFlash.size() - plan.nPhones + plan.nThief - 1]);

    const auto start = std::chrono::steady_clock::now();
    CSimProcess flash;
    if (flash.Start(astrFlash)) {
        if (!plan.strChangeAt.empty() && flash.WaitLine(plan.strChangeAt, plan.dwBoundMs)) {
            plan.fnChange();
            result.bChanged = true;
        }
        CSimProcess& told = plan.strInterruptAt.rfind("fault phone ", 0) == 0 ? sim : flash;
        if (!plan.strInterruptAt.empty() && told.WaitLine(plan.strInterruptAt, plan.dwBoundMs)) {
            flash.Signal(SIGINT);
            result.bInterrupted = true;
            if (!plan.strSecondInterruptAt.empty() &&
                flash.WaitLine(plan.strSecondInterruptAt, plan.dwBoundMs))
                flash.Signal(SIGINT);
        }
        const auto spent = std::chrono::steady_clock::now() - start;
        const uint32_t dwSpentMs = static_cast<uint32_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(spent).count());
        result.nFlashExit = flash.WaitExit(dwSpentMs < plan.dwBoundMs ? plan.dwBoundMs - dwSpentMs : 0);
    }
    result.dwFlashMs = static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                 std::chrono::steady_clock::now() - start)
                                                 .count());
    result.strFlashOut = flash.Output();
    pThief.reset();
    result.nSimExit = sim.Stop();
    result.strSimOut = sim.Output();
    result.aPhones = LINE_RUN_ParseReport(result.strSimOut);
    return result;
}

bool LINE_RUN_StartPhones(CSimProcess& sim, const IMAGE_SET& set, const std::string& strPorts, uint32_t nFirst,
                          uint32_t nPhones, const std::vector<std::string>& astrMore)
{
    std::vector<std::string> astrSim = {SIM,           "--dir",          strPorts,   "--first-port",
                                        std::to_string(nFirst), "--phones", std::to_string(nPhones),
                                        "--no-stdin",  "--verify-phone", set.strPhone, "--verify-eboot",
                                        set.strEboot,  "--verify-pda",   set.strPda, "--verify-csc",
                                        set.strCsc};
    astrSim.insert(astrSim.end(), astrMore.begin(), astrMore.end());
    return sim.Start(astrSim) && sim.WaitLine("ready", 20000);
}

std::vector<std::string> LINE_RUN_FlashArgs(const IMAGE_SET& set, const std::vector<std::string>& astrMore)
{
    std::vector<std::string> astrFlash = {FLASH,        "--phone", set.strPhone, "--eboot",
                                          set.strEboot, "--pda",   set.strPda,   "--csc",
                                          set.strCsc,   "--reboot-wait", "0"};
    astrFlash.insert(astrFlash.end(), astrMore.begin(), astrMore.end());
    return astrFlash;
}

bool LINE_RUN_StartWatch(CSimProcess& flash, const IMAGE_SET& set, const std::string& strPorts,
                         const std::vector<std::string>& astrMore)
{
    std::vector<std::string> astrArgs = LINE_RUN_FlashArgs(set, astrMore);
    astrArgs.push_back("--watch");
    SIM_SPAWN_OPTIONS options;
    options.astrEnv = {"QUILLON_VIRTUAL_PORTS=" + strPorts};
    return flash.Start(astrArgs, options);
}

size_t LINE_RUN_Count(const std::string& strText, const std::string& strPart)
{
    size_t n = 0;
    if (strPart.empty()) return 0;
    for (size_t i = strText.find(strPart); i != std::string::npos; i = strText.find(strPart, i + strPart.size())) ++n;
    return n;
}

bool LINE_RUN_WaitCount(CSimProcess& proc, const std::string& strPart, size_t nTimes, unsigned dwBoundMs)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(dwBoundMs);
    for (;;) {
        if (LINE_RUN_Count(proc.Output(), strPart) >= nTimes) return true;
        const auto now = std::chrono::steady_clock::now();
        if (now >= end) return false;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count();
        // Output is read meanwhile; a program that has ended says nothing more.
        if (proc.Exited(static_cast<unsigned>(std::min<long long>(left, 50)))) return LINE_RUN_Count(proc.Output(), strPart) >= nTimes;
    }
}

std::vector<std::pair<std::string, std::string>> LINE_RUN_Records(const std::string& strPath)
{
    std::vector<std::pair<std::string, std::string>> aRecords;
    std::ifstream in(strPath);
    for (std::string strLine; std::getline(in, strLine);) {
        const nlohmann::json json = nlohmann::json::parse(strLine, nullptr, false);
        if (!json.is_object() || !json.contains("id")) continue;
        aRecords.emplace_back(json["id"].get<std::string>(), json.value("result", std::string()));
    }
    return aRecords;
}

bool LINE_RUN_IsDestructive(uint8_t byOpcode)
{
    switch (byOpcode) {
    case CMD_ERASE_FOR_FLASH:
    case CMD_ERASE_FOR_WRITE:
    case CMD_WRITE_FLASH:
    case CMD_FLASH_DATA:
    case CMD_MIBIB_HEADER:
    case CMD_EFS_BACKUP:
    case CMD_FLASH_LOCK: return true;
    default: return false;
    }
}

int LINE_RUN_FirstFault(const LINE_PHONE& phone, int nOpcode)
{
    for (size_t i = 0; i < phone.aRequests.size(); ++i) {
        const LINE_REQUEST& r = phone.aRequests[i];
        if (r.strReply != "ack" && (nOpcode < 0 || r.byOpcode == nOpcode)) return static_cast<int>(i);
    }
    return -1;
}

int LINE_RUN_LastOf(const LINE_PHONE& phone, int nOpcode)
{
    for (size_t i = phone.aRequests.size(); i-- > 0;)
        if (phone.aRequests[i].byOpcode == nOpcode) return static_cast<int>(i);
    return -1;
}

std::string LINE_RUN_DestructiveAfter(const LINE_PHONE& phone, int nFrom, int nAllowed)
{
    if (nFrom < 0) return "";
    const LINE_REQUEST& stop = phone.aRequests[static_cast<size_t>(nFrom)];
    for (size_t i = static_cast<size_t>(nFrom) + 1; i < phone.aRequests.size(); ++i) {
        const LINE_REQUEST& r = phone.aRequests[i];
        const bool bAgain = r.byOpcode == stop.byOpcode && r.dwParam == stop.dwParam &&
                            r.dwLength == stop.dwLength && r.bySeq == stop.bySeq;
        if (bAgain || r.byOpcode == nAllowed || !LINE_RUN_IsDestructive(r.byOpcode)) continue;
        char sz[96];
        std::snprintf(sz, sizeof(sz), "request %zu: %02X param 0x%08X length 0x%08X", i, r.byOpcode,
                      r.dwParam, r.dwLength);
        return sz;
    }
    return "";
}

std::string LINE_RUN_JsonValue(const std::string& strLine, const std::string& strName)
{
    const std::string strKey = "\"" + strName + "\":";
    const size_t nAt = strLine.find(strKey);
    if (nAt == std::string::npos) return "";
    size_t i = nAt + strKey.size();
    if (i >= strLine.size()) return "";
    if (strLine[i] == '"') {
        std::string str;
        for (++i; i < strLine.size() && strLine[i] != '"'; ++i) {
            if (strLine[i] == '\\' && i + 1 < strLine.size()) {
                const char c = strLine[++i];
                str += c == 'n' ? '\n' : c == 'r' ? '\r' : c == 't' ? '\t' : c;
            } else {
                str += strLine[i];
            }
        }
        return str;
    }
    const size_t nEnd = strLine[i] == '[' ? strLine.find(']', i) + 1 : strLine.find_first_of(",}", i);
    return strLine.substr(i, nEnd - i);
}

std::vector<std::string> LINE_RUN_JsonEvents(const std::string& strOut, const std::string& strType,
                                             int nCh)
{
    const std::string strHead = "{\"type\":\"" + strType + "\",\"channel\":" + std::to_string(nCh) + ",";
    std::vector<std::string> a;
    size_t nStart = 0;
    while (nStart < strOut.size()) {
        size_t nEnd = strOut.find('\n', nStart);
        if (nEnd == std::string::npos) nEnd = strOut.size();
        if (strOut.compare(nStart, strHead.size(), strHead) == 0) a.push_back(strOut.substr(nStart, nEnd - nStart));
        nStart = nEnd + 1;
    }
    return a;
}

void LINE_RUN_RemoveTree(const std::string& strDir)
{
    std::error_code ec;
    std::filesystem::remove_all(strDir, ec);
    EXPECT_FALSE(ec) << strDir << ": " << ec.message();
}
