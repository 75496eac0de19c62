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
    "  --refuse-unlock               every unlock is refused\n"
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
    "  --script FILE            run the commands of FILE first\n"
    "  --no-stdin               read no commands from standard input\n"
    "  --exit-when-locked       exit once every phone has been locked\n"
    "  --timeout-s S            exit after S seconds whatever happens\n"
    "Commands (standard input or script, one per line; K is a phone number or \"all\"):\n"
    "  unplug K | plug K | wait MS | wait-locked K [TIMEOUT_MS] | fault K FAULT-OPTION ARG\n"
    "  clear-faults K | status | report | quit\n"
    "Commands are read from a terminal only while the simulator is in its foreground.\n"
    "Exit status: 0; 1 when a region to verify differs from its image or was never written;\n"
    "2 for a usage error.\n";

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

}  // namespace

int main(int argc, char** argv)
{
    SIM sim;
    std::string strScript, strPartitionImage;
    bool bStdin = true, bExitWhenLocked = false, bPartitionDiffer = false, bEfsGiven = false;
    uint64_t qwTimeoutS = 0;
    std::vector<std::string> args(argv + 1, argv + argc);
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        std::string v;
        auto value = [&] {
            if (i + 1 >= args.size()) return false;
            v = args[++i];
            return true;
        };
        auto number = [&](uint64_t* pqw) { return value() && CLI_ParseNumber(v, pqw); };
        uint64_t qw = 0;
        auto fail = [&] {
            std::fprintf(stderr, "quillon-phone-sim: bad or missing value for %s (see --help)\n", a.c_str());
            return 2;
        };
        if (a == "--help" || a == "-h") {
            std::fputs(HELP, stdout);
            return 0;
        } else if (a == "--dir") {
            if (!value()) return fail();
            sim.strDir = v;
        } else if (a == "--phones") {
            if (!number(&qw) || qw == 0 || qw > 64) return fail();
            sim.nPhones = static_cast<uint32_t>(qw);
        } else if (a == "--first-port") {
            if (!number(&qw) || qw == 0 || qw > 255) return fail();
            sim.nFirstPort = static_cast<uint32_t>(qw);
        } else if (a == "--bytes-per-second") {
            if (!value()) return fail();
            sim.cfg.dBytesPerSecond = std::strtod(v.c_str(), nullptr);
        } else if (a == "--latency-us") {
            if (!number(&qw)) return fail();
            sim.cfg.dwReplyLatencyUs = static_cast<uint32_t>(qw);
        } else if (a == "--piece-gap-ms") {
            if (!number(&qw)) return fail();
            sim.cfg.dwPieceGapMs = static_cast<uint32_t>(qw);
        } else if (a == "--return-after-lock") {
            if (!number(&qw)) return fail();
            sim.cfg.nReturnAfterLockMs = static_cast<int>(qw);
        } else if (a == "--no-mcci") {
            sim.cfg.bMcci = false;
        } else if (a == "--no-safe-download") {
            sim.cfg.bSafeDownload = false;
        } else if (a == "--require-unlock") {
            sim.cfg.bRequireUnlock = true;
        } else if (a == "--partition-from") {
            if (!value()) return fail();
            strPartitionImage = v;
        } else if (a == "--partition-differ") {
            bPartitionDiffer = true;
        } else if (a == "--partition-nak-reason") {
            if (!number(&qw) || qw > 255) return fail();
            sim.cfg.byPartitionNakReason = static_cast<uint8_t>(qw);
        } else if (a == "--efs") {
            const auto parts = value() ? CLI_Split(v, ':') : std::vector<std::string>{};
            uint64_t qwStart, qwLength;
            if (parts.size() != 2 || !CLI_ParseNumber(parts[0], &qwStart) || !CLI_ParseNumber(parts[1], &qwLength)) return fail();
            sim.cfg.dwEfsStart = static_cast<uint32_t>(qwStart);
            sim.cfg.dwEfsLength = static_cast<uint32_t>(qwLength);
            bEfsGiven = true;
        } else if (a == "--efs-seed") {
            if (!number(&qw)) return fail();
            sim.dwEfsSeed = static_cast<uint32_t>(qw);
            sim.bEfsSeeded = true;
        } else if (a == "--csc-reserve-capacity") {
            if (!number(&qw)) return fail();
            sim.cfg.dwCscReserveCapacity = static_cast<uint32_t>(qw);
        } else if (a == "--reserve-nak6") {
            sim.cfg.bReserveAnswerNak6 = true;
        } else if (a == "--refuse-csc-size") {
            sim.cfg.bAcceptCscSize = false;
        } else if (a == "--flash-size") {
            if (!number(&qw) || qw == 0 || qw > 0x100000000ull) return fail();
            sim.cfg.qwFlashSize = qw;
        } else if (a == "--nak" || a == "--wrong-seq" || a == "--garbage" || a == "--silence" ||
                   a == "--pieces" || a == "--double" || a == "--drop" || a == "--corrupt-staged" ||
                   a == "--drop-after" || a == "--hold" || a == "--stale-ahead" ||
                   a == "--stale-ahead-split" || a == "--stall") {
            if (!value() || !AddFault(sim, a, v)) return fail();
        } else if (a.rfind("--refuse-unlock", 0) == 0) {
            AddFault(sim, "--refuse-unlock", a.size() > 15 ? a.substr(15) : "");
        } else if (a == "--verify-phone" || a == "--verify-eboot" || a == "--verify-pda" ||
                   a == "--verify-csc" || a == "--verify-hidden" || a == "--verify-csc-entry") {
            if (!value()) return fail();
            std::string* p = a == "--verify-phone"   ? &sim.verify.strPhone
                             : a == "--verify-eboot" ? &sim.verify.strEboot
                             : a == "--verify-pda"   ? &sim.verify.strPda
                             : a == "--verify-csc"   ? &sim.verify.strCsc
                             : a == "--verify-hidden" ? &sim.verify.strHidden
                                                     : &sim.verify.strCscEntry;
            *p = v;
            sim.bVerify = sim.bVerify || a != "--verify-csc-entry";
        } else if (a == "--verify-csc-priority") {
            if (!number(&qw) || qw > 1) return fail();
            sim.verify.nCscPriority = static_cast<int>(qw);
        } else if (a == "--dump") {
            if (!value()) return fail();
            sim.strDump = v;
        } else if (a == "--report") {
            if (!value()) return fail();
            sim.strReport = v;
        } else if (a == "--list-requests") {
            sim.bListRequests = true;
        } else if (a == "--tell-faults") {
            sim.bTellFaults = true;
        } else if (a == "--script") {
            if (!value()) return fail();
            strScript = v;
        } else if (a == "--no-stdin") {
            bStdin = false;
        } else if (a == "--exit-when-locked") {
            bExitWhenLocked = true;
        } else if (a == "--timeout-s") {
            if (!number(&qwTimeoutS)) return fail();
        } else {
            std::fprintf(stderr, "quillon-phone-sim: unknown option %s (see --help)\n", a.c_str());
            return 2;
        }
    }
    if (sim.strDir.empty()) {
        std::fprintf(stderr, "quillon-phone-sim: --dir DIR is required (see --help)\n");
        return 2;
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
            std::fprintf(stderr, "quillon-phone-sim: cannot start phone %u\n", k);
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
