// quillon-phone-sim: runs virtual phones, each on a pseudo-terminal published as a symbolic link
// COM<n> in a directory the station watches, plugs and unplugs them on command, and reports at
// exit what each phone's flash received.
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "images/image_trailer.h"
#include "protocol/frame.h"
#include "station/command_line.h"
#include "station/version.h"
#include "sim/flash_verify.h"
#include "sim/image_builder.h"
#include "sim/virtual_phone.h"

namespace {

const char* const HELP =
    "Usage: quillon-phone-sim --dir DIR [options]\n"
    "Runs virtual phones in download mode. Phone k (1..N) is a pseudo-terminal published as the\n"
    "symbolic link DIR/COM<first-port + k - 1>, which quillon-flash takes as a port.\n"
    "Prints \"ready\" once every phone is published, and each phone's result at exit.\n"
    "\n"
    "Phones and link:\n"
    "  --phones N               number of phones (default 1)\n"
    "  --first-port N           port number of phone 1 (default 1)\n"
    "  --bytes-per-second R     emulate a link of R bytes per second (default unlimited)\n"
    "  --latency-us U           delay every reply by U microseconds\n"
    "  --piece-gap-ms M         pause between the pieces of a split reply (default 30)\n"
    "  --return-after-lock MS   after a lock the port comes back after MS (default: never)\n"
    "Boot loader:\n"
    "  --no-mcci                answer the MCCI query negatively\n"
    "  --no-safe-download       answer the Safe Download query negatively\n"
    "  --require-unlock         refuse writes and erases until an unlock\n"
    "  --partition-from IMAGE   the phones hold IMAGE's partition table (and its EFS2 area)\n"
    "  --partition-differ       the phones hold a table no image carries\n"
    "  --partition-nak-reason R reason byte of the answer to a differing table (default 0)\n"
    "  --efs START:LENGTH       where the phones keep EFS2 (default: from --partition-from)\n"
    "  --efs-seed N             fill EFS2 with seeded data at start; the result tells if it\n"
    "                           survived\n"
    "  --csc-reserve-capacity B the reserve a phone grants (default 16777216)\n"
    "  --reserve-nak6           grant the reserve with a negative reply of reason 6\n"
    "  --refuse-csc-size        answer the CSC size negatively\n"
    "  --flash-size B           flash size (default 268435456)\n"
    "Faults (OP is an opcode in hex, e.g. E0; append @K to aim at phone K only):\n"
    "  --nak OP:N[:COUNT[:REASON]]   reject the N-th frame of OP (COUNT frames, 0 = all on)\n"
    "  --wrong-seq OP:N[:COUNT]      answer with a wrong sequence byte\n"
    "  --garbage OP:N[:COUNT]        answer with bytes that do not start with 0x7E\n"
    "  --silence OP:N[:COUNT]        do not answer\n"
    "  --pieces OP:N[:COUNT]         answer in two pieces\n"
    "  --double OP:N[:COUNT]         answer twice at once\n"
    "  --drop OP:N                   the link goes away when that frame arrives\n"
    "  --stall OP:N                  a stalled link: the phone takes that frame's header and\n"
    "                                reads and answers nothing more, until it is unplugged\n"
    "  --hold OP:N[:COUNT[:MS]]      answer only after MS milliseconds (default 1000)\n"
    "  --stale-ahead OP:N[:COUNT]    repeat the previous reply just ahead of the answer, in\n"
    "                                the same write (beside any other fault of the frame)\n"
    "  --stale-ahead-split OP:N[:COUNT]  the same, --piece-gap-ms before the answer\n"
    "  --corrupt-staged N            the N-th CRC check finds the staged data corrupted\n"
    "  --drop-after BYTES            the link goes away after BYTES received bytes\n"
    "  --refuse-unlock[=@K]          every unlock is refused\n"
    "Results:\n"
    "  --verify-phone F --verify-eboot F --verify-pda F --verify-csc F --verify-hidden F\n"
    "                           compare each written region with its slice of these images\n"
    "  --verify-csc-entry NAME  the container entry the station chose (default: first listed)\n"
    "  --verify-csc-priority P  the CSC priority bit it used (default 1)\n"
    "  --dump DIR               write each phone's written flash ranges to DIR\n"
    "  --report FILE            also write the result to FILE\n"
    "  --list-requests          the result lists every request each phone received (repeats of\n"
    "                           one frame with one answer on one line)\n"
    "  --tell-faults            print \"fault phone K OP REPLY\" when phone K first answers a frame\n"
    "                           of opcode OP otherwise than plainly (REPLY as in the list)\n"
    "Control:\n"
    "  --help, --version        this text; the version\n"
    "  --script FILE            run the commands of FILE first\n"
    "  --no-stdin               read no commands from standard input\n"
    "  --exit-when-locked       exit once every phone has been locked\n"
    "  --timeout-s S            exit after S seconds whatever happens\n"
    "Commands (standard input or script, one per line; K is a phone number or \"all\"):\n"
    "  unplug K | plug K | wait MS | wait-locked K [TIMEOUT_MS] | fault K FAULT-OPTION ARG\n"
    "  clear-faults K | status | report | quit\n"
    "Commands are read from a terminal only while the simulator is in its foreground.\n"
    "Exit status: 0; 1 when a region to verify differs from its image or was never written;\n"
    "2 for a usage error, or images, a script or a phone that cannot be used at start.\n";

std::atomic<bool> g_bQuit{false};

void OnSignal(int)
{
    g_bQuit = true;
}


std::vector<std::string> Words(const std::string& str)
{
    std::vector<std::string> a;
    size_t i = 0;
    while (i < str.size()) {
        while (i < str.size() && (str[i] == ' ' || str[i] == '\t' || str[i] == '\r')) ++i;
        size_t j = i;
        while (j < str.size() && str[j] != ' ' && str[j] != '\t' && str[j] != '\r') ++j;
        if (j > i) a.push_back(str.substr(i, j - i));
        i = j;
    }
    return a;
}

struct SIM {
    std::string strDir;
    uint32_t nPhones = 1;
    uint32_t nFirstPort = 1;
    PHONE_CONFIG cfg;
    std::map<uint32_t, PHONE_FAULTS> faultsFor;  // 0: every phone
    uint32_t dwEfsSeed = 0;
    bool bEfsSeeded = false;
    VERIFY_IMAGES verify;
    bool bVerify = false;
    std::string strDump, strReport;
    bool bListRequests = false;
    bool bTellFaults = false;
    std::vector<size_t> anToldUpTo;  // per phone: requests looked at for --tell-faults
    std::map<std::string, bool> mapTold;
    std::vector<std::unique_ptr<CVirtualPhone>> apPhones;
    std::vector<std::vector<uint8_t>> aabyEfs;
};

// Parses a fault option into rules; false on a malformed value.
bool AddFault(SIM& sim, const std::string& strOpt, std::string strValue)
{
    uint32_t nPhone = 0;
    const size_t nAt = strValue.find('@');
    if (nAt != std::string::npos) {
        uint64_t qw;
        if (!CLI_ParseNumber(strValue.substr(nAt + 1), &qw) || qw == 0) return false;
        nPhone = static_cast<uint32_t>(qw);
        strValue = strValue.substr(0, nAt);
    }
    PHONE_FAULTS& faults = sim.faultsFor[nPhone];
    if (strOpt == "--refuse-unlock") {
        if (!strValue.empty()) return false;
        faults.bRefuseUnlock = true;
        return true;
    }
    if (strOpt == "--drop-after") {
        return CLI_ParseNumber(strValue, &faults.qwDropAfterBytes) && faults.qwDropAfterBytes != 0;
    }
    if (strOpt == "--corrupt-staged") {
        uint64_t qw;
        if (!CLI_ParseNumber(strValue, &qw) || qw == 0) return false;
        faults.aRules.push_back({0xE1, static_cast<uint32_t>(qw), 1, FAULT_CORRUPT_STAGED, 0});
        return true;
    }
    static const std::map<std::string, PHONE_FAULT_ACTION> actions = {
        {"--nak", FAULT_NAK},         {"--wrong-seq", FAULT_WRONG_SEQ}, {"--garbage", FAULT_GARBAGE},
        {"--silence", FAULT_SILENCE}, {"--pieces", FAULT_PIECES},       {"--double", FAULT_DOUBLE},
        {"--drop", FAULT_DROP},       {"--hold", FAULT_HOLD},           {"--stale-ahead", FAULT_STALE_AHEAD},
        {"--stale-ahead-split", FAULT_STALE_AHEAD_SPLIT}, {"--stall", FAULT_STALL}};
    auto it = actions.find(strOpt);
    if (it == actions.end()) return false;
    const auto parts = CLI_Split(strValue, ':');
    uint64_t qwOp, qwNth, qwCount = 1, qwReason = 1;
    if (parts.size() < 2 || parts.size() > 4 || !CLI_ParseNumber(parts[0], &qwOp, 16) || qwOp > 0xFF ||
        !CLI_ParseNumber(parts[1], &qwNth) || qwNth == 0 ||
        (parts.size() > 2 && !CLI_ParseNumber(parts[2], &qwCount)) ||
        (parts.size() > 3 && !CLI_ParseNumber(parts[3], &qwReason))) {
        return false;
    }
    // The fourth field is the reason of a refusal, the milliseconds of a hold.
    const bool bHold = it->second == FAULT_HOLD;
    if (!bHold && qwReason > 0xFF) return false;
    PHONE_FAULT_RULE rule{static_cast<int>(qwOp), static_cast<uint32_t>(qwNth),
                          static_cast<uint32_t>(qwCount), it->second,
                          static_cast<uint8_t>(bHold ? 1 : qwReason)};
    if (bHold) {
        if (parts.size() < 4) qwReason = 1000;
        if (qwReason > 600000) return false;
        rule.dwHoldMs = static_cast<uint32_t>(qwReason);
    }
    faults.aRules.push_back(rule);
    return true;
}

PHONE_FAULTS FaultsOf(const SIM& sim, uint32_t nPhone)
{
    PHONE_FAULTS faults;
    for (uint32_t n : {0u, nPhone}) {
        auto it = sim.faultsFor.find(n);
        if (it == sim.faultsFor.end()) continue;
        faults.aRules.insert(faults.aRules.end(), it->second.aRules.begin(), it->second.aRules.end());
        faults.bRefuseUnlock |= it->second.bRefuseUnlock;
        faults.bCorruptStaged |= it->second.bCorruptStaged;
        if (it->second.qwDropAfterBytes != 0) faults.qwDropAfterBytes = it->second.qwDropAfterBytes;
    }
    return faults;
}

const char* ReplyName(PHONE_REPLY eReply)
{
    static const char* const aszName[] = {"ack",    "nak",    "none",    "garbage",    "wrong-seq",
                                          "pieces", "double", "dropped", "held", "stale-ahead",
                                          "stalled"};
    const auto n = static_cast<size_t>(eReply);
    return n < sizeof(aszName) / sizeof(aszName[0]) ? aszName[n] : "?";
}

// One line per run of the same frame answered the same way, so that a storm of resends stays
// short: "  request E0 seq 02 param 0x00148000 length 0x00008000 reply nak x1234".
std::string RequestLines(const CVirtualPhone& phone)
{
    const std::vector<REQUEST_RECORD> aReq = phone.Requests();
    const auto same = [](const REQUEST_RECORD& a, const REQUEST_RECORD& b) {
        return a.byOpcode == b.byOpcode && a.bySeq == b.bySeq && a.dwParam == b.dwParam &&
               a.dwLength == b.dwLength && a.dwPayloadCrc == b.dwPayloadCrc && a.eReply == b.eReply;
    };
    std::string str;
    char sz[160];
    for (size_t i = 0; i < aReq.size();) {
        size_t j = i + 1;
        while (j < aReq.size() && same(aReq[i], aReq[j])) ++j;
        const REQUEST_RECORD& r = aReq[i];
        std::snprintf(sz, sizeof(sz), "  request %02X seq %02X param 0x%08X length 0x%08X reply %s x%zu\n",
                      r.byOpcode, r.bySeq, r.dwParam, r.dwLength, ReplyName(r.eReply), j - i);
        str += sz;
        i = j;
    }
    return str;
}

// Lets a script act at the moment a fault has met a phone, e.g. stop the station there.
void TellFaults(SIM& sim)
{
    sim.anToldUpTo.resize(sim.apPhones.size(), 0);
    for (size_t k = 0; k < sim.apPhones.size(); ++k) {
        if (sim.apPhones[k]->RequestCount() == sim.anToldUpTo[k]) continue;
        const std::vector<REQUEST_RECORD> aReq = sim.apPhones[k]->Requests();
        for (size_t i = sim.anToldUpTo[k]; i < aReq.size(); ++i) {
            if (aReq[i].eReply == REPLIED_ACK && aReq[i].bAcked) continue;
            char sz[96];
            std::snprintf(sz, sizeof(sz), "fault phone %zu %02X %s", k + 1, aReq[i].byOpcode,
                          ReplyName(aReq[i].eReply));
            if (sim.mapTold[sz]) continue;
            sim.mapTold[sz] = true;
            std::printf("%s\n", sz);
            std::fflush(stdout);
        }
        sim.anToldUpTo[k] = aReq.size();
    }
}

std::string Report(const SIM& sim, bool* pbMismatch)
{
    std::string str;
    char sz[256];
    std::vector<FLASH_SLICE> aSlices;
    std::string strError;
    if (sim.bVerify && !FLASH_VERIFY_SlicesFromImages(sim.verify, &aSlices, &strError)) {
        str += "verify: cannot read the images: " + strError + "\n";
        *pbMismatch = true;
    }
    for (uint32_t k = 0; k < sim.apPhones.size(); ++k) {
        const CVirtualPhone& phone = *sim.apPhones[k];
        std::snprintf(sz, sizeof(sz),
                      "phone %u COM%u: plugged %s, plugs %u, requests %zu, bytes %llu, locks %u\n",
                      k + 1, sim.nFirstPort + k, phone.IsPlugged() ? "yes" : "no",
                      phone.PlugCount(), phone.RequestCount(),
                      static_cast<unsigned long long>(phone.BytesReceived()), phone.LockCount());
        str += sz;
        phone.WithFlash([&](const CFlashModel& flash) {
            uint64_t qwTotal = 0;
            for (const auto& [dwStart, qwEnd] : flash.WrittenExtents()) {
                const uint32_t dwLength = static_cast<uint32_t>(qwEnd - dwStart);
                const auto aby = flash.Read(dwStart, dwLength);
                std::snprintf(sz, sizeof(sz), "  written 0x%08X +0x%08X crc32 0x%08X\n", dwStart,
                              dwLength, FLASH_DOWNLOADER_Crc32(aby.data(), dwLength * 8, 0));
                str += sz;
                qwTotal += dwLength;
                if (!sim.strDump.empty()) {
                    std::snprintf(sz, sizeof(sz), "%s/COM%u-0x%08X.bin", sim.strDump.c_str(),
                                  sim.nFirstPort + k, dwStart);
                    std::ofstream(sz, std::ios::binary)
                        .write(reinterpret_cast<const char*>(aby.data()), dwLength);
                }
            }
            std::snprintf(sz, sizeof(sz), "  written bytes %llu, programmed over unerased %llu\n",
                          static_cast<unsigned long long>(qwTotal),
                          static_cast<unsigned long long>(flash.BytesProgrammedUnerased()));
            str += sz;
            if (sim.bEfsSeeded) {
                const bool bKept = flash.Read(sim.cfg.dwEfsStart, sim.cfg.dwEfsLength) == sim.aabyEfs[k];
                str += std::string("  efs2 kept: ") + (bKept ? "yes" : "NO") + "\n";
            }
            // A region it was asked to verify and never received fails the phone as much as
            // one that differs.
            for (const auto& result : FLASH_VERIFY_Slices(flash, aSlices)) {
                str += "  verify " + FLASH_VERIFY_ResultText(result) + "\n";
                if (result.eStatus != VERIFY_OK) *pbMismatch = true;
            }
        });
        if (sim.bListRequests) str += RequestLines(phone);
    }
    return str;
}

bool PausedWait(uint64_t qwMs)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(qwMs);
    while (!g_bQuit && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return !g_bQuit;
}

// Runs one command; false for quit.
bool Execute(SIM& sim, const std::string& strLine)
{
    const auto words = Words(strLine);
    if (words.empty() || words[0][0] == '#') return true;
    const std::string& cmd = words[0];
    std::vector<uint32_t> aPhones;
    if (words.size() > 1) {
        uint64_t qw;
        if (words[1] == "all") {
            for (uint32_t k = 1; k <= sim.nPhones; ++k) aPhones.push_back(k);
        } else if (CLI_ParseNumber(words[1], &qw) && qw >= 1 && qw <= sim.nPhones) {
            aPhones.push_back(static_cast<uint32_t>(qw));
        }
    }
    auto bad = [&] {
        std::fprintf(stderr, "quillon-phone-sim: bad command: %s\n", strLine.c_str());
        return true;
    };
    if (cmd == "quit" || cmd == "exit") return false;
    if (cmd == "status") {
        for (uint32_t k = 0; k < sim.apPhones.size(); ++k) {
            const auto& p = *sim.apPhones[k];
            std::printf("phone %u COM%u %s %s requests %zu locks %u\n", k + 1, sim.nFirstPort + k,
                        p.IsPlugged() ? "plugged" : "unplugged", p.SlavePath().c_str(),
                        p.RequestCount(), p.LockCount());
        }
        std::fflush(stdout);
        return true;
    }
    if (cmd == "report") {
        bool bMismatch = false;
        std::fputs(Report(sim, &bMismatch).c_str(), stdout);
        std::fflush(stdout);
        return true;
    }
    if (cmd == "wait") {
        uint64_t qw;
        if (words.size() != 2 || !CLI_ParseNumber(words[1], &qw)) return bad();
        return PausedWait(qw) || true;
    }
    if (aPhones.empty()) return bad();
    if (cmd == "unplug" || cmd == "plug") {
        for (uint32_t k : aPhones) {
            CVirtualPhone& p = *sim.apPhones[k - 1];
            if (cmd == "unplug") {
                p.Unplug();
            } else if (!p.Replug()) {
                std::fprintf(stderr, "quillon-phone-sim: phone %u cannot be plugged\n", k);
            }
            std::printf("%s %u COM%u %s\n", cmd == "plug" ? "plugged" : "unplugged", k,
                        sim.nFirstPort + k - 1, p.SlavePath().c_str());
        }
        std::fflush(stdout);
        return true;
    }
    if (cmd == "wait-locked") {
        uint64_t qwTimeout = 600000;
        if (words.size() > 2 && !CLI_ParseNumber(words[2], &qwTimeout)) return bad();
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(qwTimeout);
        for (uint32_t k : aPhones) {
            while (!g_bQuit && !sim.apPhones[k - 1]->WaitLockCount(1, 50) &&
                   std::chrono::steady_clock::now() < until) {
            }
        }
        return true;
    }
    if (cmd == "fault" || cmd == "clear-faults") {
        for (uint32_t k : aPhones) {
            if (cmd == "clear-faults") {
                sim.faultsFor.erase(k);
            } else {
                // The fault is aimed at this phone: its argument gets "@K" appended.
                std::string strArg = words.size() > 3 ? words[3] : std::string();
                strArg += '@';
                strArg += std::to_string(k);
                if (words.size() < 3 || !AddFault(sim, words[2], strArg)) return bad();
            }
            sim.apPhones[k - 1]->SetFaults(FaultsOf(sim, k));
        }
        return true;
    }
    return bad();
}

std::vector<uint8_t> ReadBlock(const std::string& strPath, uint64_t qwOffset, size_t nCount)
{
    std::vector<uint8_t> aby(nCount, 0xFF);
    std::ifstream in(strPath, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(qwOffset));
    in.read(reinterpret_cast<char*>(aby.data()), static_cast<std::streamsize>(nCount));
    return in.gcount() > 0 ? aby : std::vector<uint8_t>{};
}

enum SIM_OPTION_ID {
    OPT_HELP, OPT_VERSION, OPT_DIR, OPT_PHONES, OPT_FIRST_PORT, OPT_BYTES_PER_SECOND, OPT_LATENCY_US,
    OPT_PIECE_GAP_MS, OPT_RETURN_AFTER_LOCK, OPT_NO_MCCI, OPT_NO_SAFE_DOWNLOAD, OPT_REQUIRE_UNLOCK,
    OPT_PARTITION_FROM, OPT_PARTITION_DIFFER, OPT_PARTITION_NAK_REASON, OPT_EFS, OPT_EFS_SEED,
    OPT_CSC_RESERVE_CAPACITY, OPT_RESERVE_NAK6, OPT_REFUSE_CSC_SIZE, OPT_FLASH_SIZE, OPT_FAULT,
    OPT_REFUSE_UNLOCK, OPT_VERIFY, OPT_VERIFY_CSC_PRIORITY, OPT_DUMP, OPT_REPORT, OPT_LIST_REQUESTS,
    OPT_TELL_FAULTS, OPT_SCRIPT, OPT_NO_STDIN, OPT_EXIT_WHEN_LOCKED, OPT_TIMEOUT_S
};

}  // namespace

int main(int argc, char** argv)
{
    SIM sim;
    std::string strScript, strPartitionImage;
    bool bStdin = true, bExitWhenLocked = false, bPartitionDiffer = false, bEfsGiven = false;
    uint64_t qwTimeoutS = 0;
    CCommandLine cli("quillon-phone-sim", argc, argv,
                     {{"help", false, OPT_HELP, 'h'},
                      {"version", false, OPT_VERSION},
                      {"dir", true, OPT_DIR},
                      {"phones", true, OPT_PHONES},
                      {"first-port", true, OPT_FIRST_PORT},
                      {"bytes-per-second", true, OPT_BYTES_PER_SECOND},
                      {"latency-us", true, OPT_LATENCY_US},
                      {"piece-gap-ms", true, OPT_PIECE_GAP_MS},
                      {"return-after-lock", true, OPT_RETURN_AFTER_LOCK},
                      {"no-mcci", false, OPT_NO_MCCI},
                      {"no-safe-download", false, OPT_NO_SAFE_DOWNLOAD},
                      {"require-unlock", false, OPT_REQUIRE_UNLOCK},
                      {"partition-from", true, OPT_PARTITION_FROM},
                      {"partition-differ", false, OPT_PARTITION_DIFFER},
                      {"partition-nak-reason", true, OPT_PARTITION_NAK_REASON},
                      {"efs", true, OPT_EFS},
                      {"efs-seed", true, OPT_EFS_SEED},
                      {"csc-reserve-capacity", true, OPT_CSC_RESERVE_CAPACITY},
                      {"reserve-nak6", false, OPT_RESERVE_NAK6},
                      {"refuse-csc-size", false, OPT_REFUSE_CSC_SIZE},
                      {"flash-size", true, OPT_FLASH_SIZE},
                      {"nak", true, OPT_FAULT},
                      {"wrong-seq", true, OPT_FAULT},
                      {"garbage", true, OPT_FAULT},
                      {"silence", true, OPT_FAULT},
                      {"pieces", true, OPT_FAULT},
                      {"double", true, OPT_FAULT},
                      {"drop", true, OPT_FAULT},
                      {"hold", true, OPT_FAULT},
                      {"stale-ahead", true, OPT_FAULT},
                      {"stale-ahead-split", true, OPT_FAULT},
                      {"stall", true, OPT_FAULT},
                      {"corrupt-staged", true, OPT_FAULT},
                      {"drop-after", true, OPT_FAULT},
                      {"refuse-unlock", false, OPT_REFUSE_UNLOCK, 0, true},
                      {"verify-phone", true, OPT_VERIFY},
                      {"verify-eboot", true, OPT_VERIFY},
                      {"verify-pda", true, OPT_VERIFY},
                      {"verify-csc", true, OPT_VERIFY},
                      {"verify-hidden", true, OPT_VERIFY},
                      {"verify-csc-entry", true, OPT_VERIFY},
                      {"verify-csc-priority", true, OPT_VERIFY_CSC_PRIORITY},
                      {"dump", true, OPT_DUMP},
                      {"report", true, OPT_REPORT},
                      {"list-requests", false, OPT_LIST_REQUESTS},
                      {"tell-faults", false, OPT_TELL_FAULTS},
                      {"script", true, OPT_SCRIPT},
                      {"no-stdin", false, OPT_NO_STDIN},
                      {"exit-when-locked", false, OPT_EXIT_WHEN_LOCKED},
                      {"timeout-s", true, OPT_TIMEOUT_S}});
    std::string v;
    uint64_t qw = 0;
    const auto number = [&](uint64_t qwMax, uint64_t* pqw) { return cli.Number(v, 0, qwMax, pqw); };
    const auto usage = [&](const std::string& strWhat) {
        cli.Usage(strWhat);
        return CLI_EXIT_USAGE;
    };
    for (int nOption; (nOption = cli.Next(v)) != CLI_END;) {
        const std::string a = cli.Name();
        switch (nOption) {
        case CLI_ERROR: return CLI_EXIT_USAGE;
        case OPT_HELP: std::fputs(HELP, stdout); return 0;
        case OPT_VERSION: std::printf("quillon-phone-sim %s\n", VERSION_NUMBER); return 0;
        case OPT_DIR: sim.strDir = v; break;
        case OPT_PHONES:
            if (!cli.Number(v, 1, 64, &qw)) return CLI_EXIT_USAGE;
            sim.nPhones = static_cast<uint32_t>(qw);
            break;
        case OPT_FIRST_PORT:
            if (!cli.Number(v, 1, 255, &qw)) return CLI_EXIT_USAGE;
            sim.nFirstPort = static_cast<uint32_t>(qw);
            break;
        case OPT_BYTES_PER_SECOND: {
            char* pEnd = nullptr;
            sim.cfg.dBytesPerSecond = std::strtod(v.c_str(), &pEnd);
            if (v.empty() || *pEnd != '\0' || !(sim.cfg.dBytesPerSecond >= 0))
                return usage(a + " takes a number of bytes per second, not '" + v + "'");
            break;
        }
        case OPT_LATENCY_US:
            if (!number(10000000, &qw)) return CLI_EXIT_USAGE;
            sim.cfg.dwReplyLatencyUs = static_cast<uint32_t>(qw);
            break;
        case OPT_PIECE_GAP_MS:
            if (!number(600000, &qw)) return CLI_EXIT_USAGE;
            sim.cfg.dwPieceGapMs = static_cast<uint32_t>(qw);
            break;
        case OPT_RETURN_AFTER_LOCK:
            if (!number(3600000, &qw)) return CLI_EXIT_USAGE;
            sim.cfg.nReturnAfterLockMs = static_cast<int>(qw);
            break;
        case OPT_NO_MCCI: sim.cfg.bMcci = false; break;
        case OPT_NO_SAFE_DOWNLOAD: sim.cfg.bSafeDownload = false; break;
        case OPT_REQUIRE_UNLOCK: sim.cfg.bRequireUnlock = true; break;
        case OPT_PARTITION_FROM: strPartitionImage = v; break;
        case OPT_PARTITION_DIFFER: bPartitionDiffer = true; break;
        case OPT_PARTITION_NAK_REASON:
            if (!number(255, &qw)) return CLI_EXIT_USAGE;
            sim.cfg.byPartitionNakReason = static_cast<uint8_t>(qw);
            break;
        case OPT_EFS: {
            const auto parts = CLI_Split(v, ':');
            uint64_t qwStart, qwLength;
            if (parts.size() != 2 || !CLI_ParseNumber(parts[0], &qwStart) || !CLI_ParseNumber(parts[1], &qwLength) ||
                qwStart > 0xFFFFFFFF || qwLength > 0xFFFFFFFF)
                return usage(a + " takes START:LENGTH, not '" + v + "'");
            sim.cfg.dwEfsStart = static_cast<uint32_t>(qwStart);
            sim.cfg.dwEfsLength = static_cast<uint32_t>(qwLength);
            bEfsGiven = true;
            break;
        }
        case OPT_EFS_SEED:
            if (!number(0xFFFFFFFF, &qw)) return CLI_EXIT_USAGE;
            sim.dwEfsSeed = static_cast<uint32_t>(qw);
            sim.bEfsSeeded = true;
            break;
        case OPT_CSC_RESERVE_CAPACITY:
            if (!number(0xFFFFFFFF, &qw)) return CLI_EXIT_USAGE;
            sim.cfg.dwCscReserveCapacity = static_cast<uint32_t>(qw);
            break;
        case OPT_RESERVE_NAK6: sim.cfg.bReserveAnswerNak6 = true; break;
        case OPT_REFUSE_CSC_SIZE: sim.cfg.bAcceptCscSize = false; break;
        case OPT_FLASH_SIZE:
            if (!cli.Number(v, 1, 0x100000000ull, &qw)) return CLI_EXIT_USAGE;
            sim.cfg.qwFlashSize = qw;
            break;
        case OPT_FAULT:
        case OPT_REFUSE_UNLOCK:
            if (!AddFault(sim, a, v))
                return usage(a + " takes OP:N[:COUNT[:ARG]][@K] (see --help), not '" + v + "'");
            break;
        case OPT_VERIFY: {
            std::string* p = a == "--verify-phone"    ? &sim.verify.strPhone
                             : a == "--verify-eboot"  ? &sim.verify.strEboot
                             : a == "--verify-pda"    ? &sim.verify.strPda
                             : a == "--verify-csc"    ? &sim.verify.strCsc
                             : a == "--verify-hidden" ? &sim.verify.strHidden
                                                      : &sim.verify.strCscEntry;
            *p = v;
            sim.bVerify = sim.bVerify || a != "--verify-csc-entry";
            break;
        }
        case OPT_VERIFY_CSC_PRIORITY:
            if (!number(1, &qw)) return CLI_EXIT_USAGE;
            sim.verify.nCscPriority = static_cast<int>(qw);
            break;
        case OPT_DUMP: sim.strDump = v; break;
        case OPT_REPORT: sim.strReport = v; break;
        case OPT_LIST_REQUESTS: sim.bListRequests = true; break;
        case OPT_TELL_FAULTS: sim.bTellFaults = true; break;
        case OPT_SCRIPT: strScript = v; break;
        case OPT_NO_STDIN: bStdin = false; break;
        case OPT_EXIT_WHEN_LOCKED: bExitWhenLocked = true; break;
        case OPT_TIMEOUT_S:
            if (!number(86400 * 365, &qwTimeoutS)) return CLI_EXIT_USAGE;
            break;
        }
    }
    if (!cli.Operands().empty()) return usage("unexpected operand " + cli.Operands()[0]);
    if (sim.strDir.empty()) return usage("--dir DIR is required");
    // The images to verify against are read now, so that a wrong path is said before any phone
    // is flashed rather than after.
    if (sim.bVerify) {
        std::vector<FLASH_SLICE> aSlices;
        std::string strError;
        if (!FLASH_VERIFY_SlicesFromImages(sim.verify, &aSlices, &strError)) {
            std::fprintf(stderr, "quillon-phone-sim: cannot verify against the images: %s\n", strError.c_str());
            return CLI_EXIT_USAGE;
        }
    }
    if (!strScript.empty() && access(strScript.c_str(), R_OK) != 0) {
        std::fprintf(stderr, "quillon-phone-sim: cannot read %s: %s\n", strScript.c_str(), std::strerror(errno));
        return CLI_EXIT_USAGE;
    }
    mkdir(sim.strDir.c_str(), 0755);

    if (!strPartitionImage.empty()) {
        sim.cfg.abyPartitionTable = ReadBlock(strPartitionImage, PARTITION_TABLE_OFFSET, 2048);
        if (sim.cfg.abyPartitionTable.empty()) {
            std::fprintf(stderr, "quillon-phone-sim: cannot read the partition table of %s\n", strPartitionImage.c_str());
            return 2;
        }
        std::ifstream in(strPartitionImage, std::ios::binary | std::ios::ate);
        const uint64_t qwLength = static_cast<uint64_t>(in.tellg());
        const auto abyTail = qwLength > TRAILER_NEW_SIZE ? ReadBlock(strPartitionImage, qwLength - TRAILER_NEW_SIZE, TRAILER_NEW_SIZE)
                                                        : std::vector<uint8_t>{};
        IMAGE_TRAILER t{};
        if (!bEfsGiven && abyTail.size() == TRAILER_NEW_SIZE &&
            IMAGE_ParseTrailer(abyTail.data(), IMAGE_PHONE, &t) != TRAILER_REFUSED) {
            sim.cfg.dwEfsStart = t.aRegion[REGION_EFS2].StartAddr;
            sim.cfg.dwEfsLength = t.aRegion[REGION_EFS2].EraseLength;
        }
    }
    if (bPartitionDiffer) {
        if (sim.cfg.abyPartitionTable.empty()) sim.cfg.abyPartitionTable.assign(2048, 0xFF);
        sim.cfg.abyPartitionTable[0] ^= 0x5A;
    }

    signal(SIGINT, OnSignal);
    signal(SIGTERM, OnSignal);
    signal(SIGPIPE, SIG_IGN);
    // A read from a terminal it lost must fail, not stop the phones.
    signal(SIGTTIN, SIG_IGN);

    for (uint32_t k = 1; k <= sim.nPhones; ++k) {
        PHONE_CONFIG cfg = sim.cfg;
        cfg.strPublishLink = sim.strDir + "/COM" + std::to_string(sim.nFirstPort + k - 1);
        cfg.faults = FaultsOf(sim, k);
        auto pPhone = std::make_unique<CVirtualPhone>(cfg);
        std::vector<uint8_t> abyEfs;
        if (sim.bEfsSeeded && cfg.dwEfsLength != 0) {
            abyEfs.resize(cfg.dwEfsLength);
            for (uint32_t i = 0; i < cfg.dwEfsLength; ++i) abyEfs[i] = IMAGE_BUILDER_SeededByte(sim.dwEfsSeed + k, i);
            pPhone->PreloadFlash(cfg.dwEfsStart, abyEfs);
        }
        sim.aabyEfs.push_back(abyEfs);
        if (!pPhone->Start()) {
            std::fprintf(stderr, "quillon-phone-sim: cannot start phone %u as %s: %s\n", k,
                         cfg.strPublishLink.c_str(), std::strerror(errno));
            return 2;
        }
        std::printf("phone %u COM%u %s\n", k, sim.nFirstPort + k - 1, pPhone->SlavePath().c_str());
        sim.apPhones.push_back(std::move(pPhone));
    }
    std::printf("ready\n");
    std::fflush(stdout);

    const auto start = std::chrono::steady_clock::now();
    auto timedOut = [&] {
        return qwTimeoutS != 0 &&
               std::chrono::steady_clock::now() - start > std::chrono::seconds(qwTimeoutS);
    };
    bool bRun = true;
    if (!strScript.empty()) {
        std::ifstream script(strScript);
        if (!script) {
            std::fprintf(stderr, "quillon-phone-sim: cannot read %s\n", strScript.c_str());
        }
        std::string strLine;
        while (bRun && !g_bQuit && std::getline(script, strLine)) {
            bRun = Execute(sim, strLine);
        }
    }
    std::string strPending;
    while (bRun && !g_bQuit && !timedOut()) {
        if (sim.bTellFaults) TellFaults(sim);
        if (bExitWhenLocked) {
            bool bAll = true;
            for (const auto& p : sim.apPhones) bAll = bAll && p->LockCount() > 0;
            if (bAll) break;
        }
        if (!bStdin) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            continue;
        }
        // Commands come from a terminal only while the simulator owns it: sent to the
        // background (quillon-phone-sim ... &) it serves its phones and leaves the terminal to
        // the shell, and takes commands again once it is brought to the foreground.
        if (isatty(STDIN_FILENO) && tcgetpgrp(STDIN_FILENO) != getpgrp()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            continue;
        }
        pollfd pfd{STDIN_FILENO, POLLIN, 0};
        if (poll(&pfd, 1, 20) <= 0) continue;
        char sz[1024];
        const ssize_t n = read(STDIN_FILENO, sz, sizeof(sz));
        if (n < 0 && (errno == EIO || errno == EINTR || errno == EAGAIN)) continue;  // lost the terminal
        if (n <= 0) {
            bStdin = false;  // end of input: keep serving until a signal or the other exits
            continue;
        }
        strPending.append(sz, static_cast<size_t>(n));
        size_t nEol;
        while (bRun && (nEol = strPending.find('\n')) != std::string::npos) {
            bRun = Execute(sim, strPending.substr(0, nEol));
            strPending.erase(0, nEol + 1);
        }
    }

    for (auto& p : sim.apPhones) p->Unplug();
    bool bMismatch = false;
    const std::string strReport = Report(sim, &bMismatch);
    std::fputs(strReport.c_str(), stdout);
    std::fflush(stdout);
    if (!sim.strReport.empty()) std::ofstream(sim.strReport) << strReport;
    return bMismatch ? 1 : 0;
}
