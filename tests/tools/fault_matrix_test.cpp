// Phone faults met by the headless station on a production line: quillon-flash against phones
// of quillon-phone-sim, one row per fault, point and number of phones. Each row states how every
// phone ends: passed with every written region verified against the images, failed within the
// bound with no lock and nothing destructive after its fault, or stopped with the others.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "protocol/commands.h"
#include "station/command_line.h"
#include "support/line_run.h"

namespace {

// Every failing run must be over within this (the line's scripts rely on it).
constexpr uint32_t FAIL_BOUND_MS = 20000;
constexpr uint32_t PASS_BOUND_MS = 90000;

constexpr int ANY_FRAME = -1;
constexpr int NO_FAULT_FRAME = -2;  // the phone answers every frame plainly; the fault is elsewhere

struct FAULT_ROW {
    const char* szName = "";
    uint32_t nPhones = 1;
    std::vector<std::string> astrSim = {};    // the fault, as quillon-phone-sim options
    std::vector<std::string> astrFlash = {};  // quillon-flash options besides images and ports
    // One letter per phone: 'P' passes with every region verified; 'F' fails, is never locked,
    // and after its fault frame (below) nothing destructive reaches it; 'S' is stopped with the
    // others, unless it was done before: it passes only locked and verified, or not at all;
    // 'N' fails and is never locked (a fault whose timing lets some frames out after it).
    // 'R' (every phone): Start refuses the images, exit 2, and no phone receives anything.
    const char* szEnds = "";
    // The failing phones' fault frame: their first one of this opcode that was not simply
    // acknowledged (ANY_FRAME: of any opcode).
    int nFaultOpcode = ANY_FRAME;
    const char* szLogged = "";  // text of a line quillon-flash prints
    // quillon-flash is interrupted once this line is out ("" never): its own, or the
    // simulator's "fault phone K OP REPLY" once the fault has met a phone.
    const char* szInterrupt = "";
    // Image faults: the set as written (nullptr: as it is), and a change to its files made before
    // the run, or once quillon-flash prints szChangeAt.
    void (*pfnSizes)(IMAGE_SET_SIZES&) = nullptr;
    void (*pfnChange)(const IMAGE_SET&) = nullptr;
    const char* szChangeAt = "";
    // The fault frame is the last frame of nFaultOpcode: the station failed the phone itself,
    // after that frame, not on a reply.
    bool bFaultIsLast = false;
    uint32_t nThief = 0;  // phone K's port has a second reader taking the answers (0 none)
    // A second interrupt once quillon-flash prints this after the first ("" never).
    const char* szSecondInterrupt = "";
    // After the fault frame of an 'F' phone, frames of this opcode may still come: what puts the
    // phone's data back in place (-1 none).
    int nRestore = -1;
    // Regions an 'F' or 'N' phone still holds whole ("QCSBL"; "" none).
    const char* szHolds = "";
};

// A short stall bound keeps the rows quick; eight phones need time to open their ports in turn.
const std::vector<std::string> STALL_ONE = {"--stall-timeout", "1"};
const std::vector<std::string> STALL_EIGHT = {"--stall-timeout", "5"};
#define STALLED(ch) "[CH" #ch "] log [Channel " #ch "]  The phone stopped answering: nothing acknowledged for "

// A phone whose partition table differs from the images' (the operator answers Yes), with an
// EFS2 of its own where the line's image set has it, silent once it has taken the erase of
// everything below its PDA area (it still acts on the write-back, but never answers it).
const std::vector<std::string> EFS_PARKED_SILENT = {
    "--partition-differ", "--efs", "0x120000:0x10000", "--efs-seed", "7",
    "--silence",          "EE:2",  "--silence",        "EC:1"};
#define NOT_RESTORED \
    "[CH0] log [Channel 0]  EFS data NOT restored: the phone's EFS2 may be held only in its PDA area"

// Rows print as their names.
void PrintTo(const FAULT_ROW& row, std::ostream* pOut)
{
    *pOut << row.szName;
}

std::vector<std::string> PiecesOnEveryReply()
{
    std::vector<std::string> a = {"--piece-gap-ms", "5"};
    for (const char* szOp : {"A0", "AA", "E6", "E3", "E0", "E1", "E4", "E2", "C0", "EE", "DD", "E7",
                             "E8", "90"}) {
        a.push_back("--pieces");
        a.push_back(std::string(szOp) + ":1:0");
    }
    return a;
}

// Image sets whose selected regions do not fit: Start refuses them.
void AmssLongerThanItsErase(IMAGE_SET_SIZES& s)
{
    s.dwAmss = 0x1A0000;
    s.adwEraseLength[REGION_AMSS] = 0x180000;
}
void PdaLongerThanItsErase(IMAGE_SET_SIZES& s)
{
    s.adwEraseLength[REGION_PDA] = 0x20000;
}
void CscEntryLongerThanItsErase(IMAGE_SET_SIZES& s)
{
    s.eCsc = CSC_MULTI;
    s.adwEraseLength[REGION_CARRIER] = 0x8000;
}

// The Phone descriptor says AMSS runs one byte past the end of the file.
void AmssPastTheEndOfItsFile(const IMAGE_SET& set)
{
    std::fstream file(set.strPhone, std::ios::binary | std::ios::in | std::ios::out);
    file.seekg(0, std::ios::end);
    const uint32_t dwFileLength = static_cast<uint32_t>(file.tellg());
    const std::streamoff nAmss = dwFileLength - TRAILER_NEW_SIZE + 12 + 16 * REGION_AMSS;
    uint32_t dwOffset = 0;
    file.seekg(nAmss + 4);
    file.read(reinterpret_cast<char*>(&dwOffset), 4);
    const uint32_t dwLength = dwFileLength - dwOffset + 1;
    file.seekp(nAmss + 8);
    file.write(reinterpret_cast<const char*>(&dwLength), 4);
    ASSERT_TRUE(file.good());
}

// Changes made while quillon-flash runs.
void CutPdaShort(const IMAGE_SET& set)
{
    struct stat st;
    ASSERT_EQ(::stat(set.strPda.c_str(), &st), 0);
    ASSERT_EQ(::truncate(set.strPda.c_str(), st.st_size - 1000), 0);
}
void ReplacePhoneByACopy(const IMAGE_SET& set)
{
    std::filesystem::copy_file(set.strPhone, set.strPhone + ".new");
    std::filesystem::rename(set.strPhone + ".new", set.strPhone);
}

// A PDA of 200 pages: the page loop sends the percentage as sequence byte, so pages go in twos
// with one byte, and a repeated answer to the one reads as the answer to the other.
void PdaOf200Pages(IMAGE_SET_SIZES& s)
{
    s.dwPda = 200 * 0x8080;
}

// The PDA image rewritten in place with other bytes of the same length, its times put back as
// a copy that keeps timestamps does.
void RewritePdaKeepingItsTimes(const IMAGE_SET& set)
{
    struct stat st;
    ASSERT_EQ(::stat(set.strPda.c_str(), &st), 0);
    std::fstream file(set.strPda, std::ios::binary | std::ios::in | std::ios::out);
    const std::string strOther(0x1000, '\x5A');
    file.seekp(0);
    file.write(strOther.data(), static_cast<std::streamsize>(strOther.size()));
    file.close();
    const timespec atTimes[2] = {st.st_atim, st.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, set.strPda.c_str(), atTimes, 0), 0);
}

// A link slow enough that the PDA is still being written when the change comes.
const std::vector<std::string> SLOW_LINK = {"--bytes-per-second", "262144"};
constexpr const char* PDA_WRITE_LINE = "[CH0] log [Channel 0]  PDA Write Data";

const FAULT_ROW g_aRows[] = {
    // A reply split across reads is taken whole: the refused CRC check is seen as refused, and
    // the region fails before its flash range is erased.
    {"SplitReplyThenRefusedCrc", 1, {"--pieces", "E0:2", "--nak", "E1:1"}, {}, "F", 0xE1,
     "[CH0] log [Channel 0]  Check CRC QCSBL Data Fail", ""},
    {"EveryReplyInPiecesOnEightPhones", 8, PiecesOnEveryReply(), {}, "PPPPPPPP", -1, "", ""},
    {"DoubleAnswers", 1, {"--double", "E0:2", "--double", "DD:3", "--double", "E6:1"}, {}, "P", -1,
     "", ""},
    // A stop sends nothing more: a query it ended is no answer (no "Older Version Update" with
    // its MIBIB erase), and a write it ended is not followed by the next.
    {"InterruptedSafeDownloadQuery", 1, {"--silence", "E3:1"}, {}, "F", 0xE3, "",
     "fault phone 1 E3 none"},
    {"InterruptedSafeDownloadQueryOnEightPhones", 8, {"--silence", "E3:1@3"}, {}, "SSFSSSSS", 0xE3,
     "", "fault phone 3 E3 none"},
    {"InterruptedWrite", 1, {"--silence", "DD:2"}, {}, "F", 0xDD, "", "fault phone 1 DD none"},
    // Regions that do not fit their erase, or lie beyond their file, are refused at Start
    // with a sentence naming the region and both lengths, before any phone is touched.
    {"AmssLongerThanItsErase", 1, {}, {}, "R", -1,
     "AMSS does not fit its flash area: its data need 0x001a0000 bytes of flash, its erase length is "
     "0x00180000.",
     "", AmssLongerThanItsErase},
    {"PdaLongerThanItsEraseOnEightPhones", 8, {}, {}, "RRRRRRRR", -1,
     "PDA does not fit its flash area: its data need 0x00030000 bytes of flash, its erase length is "
     "0x00020000.",
     "", PdaLongerThanItsErase},
    {"MultiCscEntryLongerThanItsErase", 1, {}, {}, "R", -1,
     "CARRIER does not fit its flash area: its data need 0x00010000 bytes of flash, its erase length is "
     "0x00008000.",
     "", CscEntryLongerThanItsErase},
    {"AmssPastTheEndOfItsFile", 1, {}, {}, "R", -1, "AMSS lies beyond the end of its image file: ", "",
     nullptr, AmssPastTheEndOfItsFile},
    // An image file that changes under the running station: a region the file no longer holds
    // whole fails at its short read; a file replaced meanwhile fails the channels before Lock.
    {"PdaCutShortWhileWritten", 1, SLOW_LINK, {"--select", "pda"}, "F", CMD_WRITE_FLASH,
     "[Channel 0]  Image file ends early: ", "", nullptr, CutPdaShort, PDA_WRITE_LINE, true},
    // The partition table the phones were sent came from the Phone image.
    {"PhoneImageReplacedDuringTheRun", 2, SLOW_LINK, {"--select", "pda"}, "FF", CMD_WRITE_FLASH,
     "[CH1] bar  Phone image file changed during download!", "", nullptr, ReplacePhoneByACopy, PDA_WRITE_LINE,
     true},
    // A phone that stops answering, or answers nothing that counts, fails its channel once the
    // stall time has passed, with the reason in the log; the other phones go on.
    {"SilentUnlock", 1, {"--silence", "A0:1"}, STALL_ONE, "F", 0xA0, STALLED(0)},
    {"SilentPartitionTable", 1, {"--silence", "AA:1"}, STALL_ONE, "F", 0xAA, STALLED(0)},
    {"SilentUnlockOnEightPhones", 8, {"--silence", "A0:1@5"}, STALL_EIGHT, "SSSSFSSS", 0xA0,
     STALLED(4)},
    {"SilentOnOneChunk", 1, {"--silence", "E0:3"}, STALL_ONE, "F", 0xE0, STALLED(0)},
    {"SilentOnOneChunkOfEightPhones", 8, {"--silence", "E0:3@4"}, STALL_EIGHT, "PPPFPPPP", 0xE0,
     STALLED(3)},
    {"SilentCrcCheck", 1, {"--silence", "E1:1"}, STALL_ONE, "F", 0xE1, STALLED(0)},
    {"NakForever", 1, {"--nak", "E0:2:0"}, STALL_ONE, "F", 0xE0, STALLED(0)},
    {"GarbageForever", 1, {"--garbage", "DD:1:0"}, STALL_ONE, "F", 0xDD, STALLED(0)},
    {"WrongSequenceForever", 1, {"--wrong-seq", "DD:1:0"}, STALL_ONE, "F", 0xDD, STALLED(0)},
    {"MibibHeaderRefusedForever", 1, {"--nak", "C0:1:0"}, STALL_ONE, "F", 0xC0, STALLED(0)},
    {"SecondReaderTakesTheAnswers", 1, {}, STALL_ONE, "F", NO_FAULT_FRAME, STALLED(0), "", nullptr,
     nullptr, "", false, 1},
    // A stalled link (the phone reads nothing more from a write on): its channel fails within
    // the bound, and the phones beside it, whose frames its full line holds back, all pass.
    {"StalledLinkOnOneOfEightPhones", 8, {"--stall", "DD:1@3"}, STALL_EIGHT, "PPFPPPPP", 0xDD, ""},
    // A frame the link cannot take in within the write time-out is not sent, even with no
    // stall bound: the first staged chunk fails its region.
    {"LinkTooSlowForAFrame", 1, {"--bytes-per-second", "1500"}, {"--stall-timeout", "0"}, "F",
     NO_FAULT_FRAME, "[CH0] log [Channel 0]  Sending QCSBL Data Fail!!!"},
    // Re-partition: the phone erases everything below its PDA area, where its EFS2 is parked,
    // and falls silent. An interrupt waits for the write-back, but not for ever: a second
    // interrupt, or the stall bound, gives up, sends the write-back without waiting for it and
    // tells the operator where EFS2 may be held.
    {"SilentWhileEfsParkedTwoInterrupts", 1, EFS_PARKED_SILENT, {"--on-partition-mismatch", "yes"},
     "F", CMD_ERASE_FOR_WRITE, NOT_RESTORED, "fault phone 1 EE none", nullptr, nullptr, "", false, 0,
     "[CH0] log [Channel 0]  Stop deferred: restoring EFS data first"},
    {"SilentWhileEfsParkedInterruptThenStall", 1, EFS_PARKED_SILENT,
     {"--on-partition-mismatch", "yes", "--stall-timeout", "1"}, "F", CMD_ERASE_FOR_WRITE,
     NOT_RESTORED, "fault phone 1 EE none"},
    // A refusal is never thrown away: one that comes behind a late or repeated answer, in the
    // same read or a little later, fails the channel as out of step, never a PASS.
    {.szName = "RepeatedAnswerAheadOfARefusedPage", .nPhones = 1,
     .astrSim = {"--nak", "DD:4", "--stale-ahead", "DD:4"}, .astrFlash = {"--select", "pda"},
     .szEnds = "F", .nFaultOpcode = CMD_WRITE_FLASH,
     .szLogged = "[CH0] bar  Phone Replies Out Of Step!", .pfnSizes = PdaOf200Pages},
    {.szName = "RepeatedAnswerALittleAheadOfARefusedPage", .nPhones = 1,
     .astrSim = {"--nak", "DD:4", "--stale-ahead-split", "DD:4", "--piece-gap-ms", "5"},
     .astrFlash = {"--select", "pda"}, .szEnds = "N", .pfnSizes = PdaOf200Pages},
    {.szName = "RepeatedAnswerAheadOfARefusedCrcCheck", .nPhones = 1,
     .astrSim = {"--corrupt-staged", "1", "--stale-ahead", "E1:1"}, .szEnds = "F",
     .nFaultOpcode = CMD_CHECK_CRC, .szLogged = "[Channel 0]  The phone's replies were out of step"},
    {.szName = "RepeatedAnswerALittleAheadOfARefusedCrcCheck", .nPhones = 1,
     .astrSim = {"--corrupt-staged", "1", "--stale-ahead-split", "E1:1", "--piece-gap-ms", "5"},
     .szEnds = "N"},
    // A mode query is answered by a well-formed reply or not at all: a garbled answer is asked
    // again, and a phone that never answers clearly fails before anything is erased.
    {.szName = "OneGarbledAnswerToTheModeQuery", .nPhones = 1, .astrSim = {"--garbage", "E3:1"},
     .szEnds = "P", .szLogged = "[Channel 0]  Download Mode : Safe Download"},
    {.szName = "ModeQueryNeverAnsweredClearly", .nPhones = 1, .astrSim = {"--garbage", "E3:1:0"},
     .szEnds = "F", .nFaultOpcode = CMD_SAFE_DOWNLOAD,
     .szLogged = "[CH0] bar  SAFE DOWNLOAD QUERY Failed!"},
    // A stop between a staged region's erase and its programming waits for the programming,
    // which restores the region; a programming that fails then says the phone is blank there.
    {.szName = "StopBetweenStagedEraseAndProgramming", .nPhones = 1,
     .astrSim = {"--hold", "E4:1:1:1500"}, .szEnds = "F", .nFaultOpcode = CMD_ERASE_FOR_FLASH,
     .szLogged = "[Channel 0]  QCSBL restored from the phone's memory before the stop",
     .szInterrupt = "fault phone 1 E4 held", .nRestore = CMD_FLASH_DATA, .szHolds = "QCSBL"},
    {.szName = "StopBetweenStagedEraseAndRefusedProgramming", .nPhones = 1,
     .astrSim = {"--hold", "E4:1:1:1500", "--nak", "E2:1"}, .szEnds = "F",
     .nFaultOpcode = CMD_ERASE_FOR_FLASH, .szLogged = "[CH0] bar  QCSBL ERASED! Flash the phone again",
     .szInterrupt = "fault phone 1 E4 held", .nRestore = CMD_FLASH_DATA},
    // A file rewritten in place with its times put back is still a changed file.
    {.szName = "PdaRewrittenInPlaceKeepingItsTimes", .nPhones = 1, .astrSim = SLOW_LINK,
     .astrFlash = {"--select", "pda"}, .szEnds = "F", .nFaultOpcode = CMD_WRITE_FLASH,
     .szLogged = "[CH0] bar  PDA image file changed during download!",
     .pfnChange = RewritePdaKeepingItsTimes, .szChangeAt = PDA_WRITE_LINE, .bFaultIsLast = true},
};

using FaultMatrix = CLineRunTest<FAULT_ROW>;

bool Contains(const std::string& strHay, const std::string& strNeedle)
{
    return strHay.find(strNeedle) != std::string::npos;
}

TEST_P(FaultMatrix, EndsAsTheRowSays)
{
    const FAULT_ROW& row = GetParam();
    const std::string strEnds = row.szEnds;
    ASSERT_EQ(strEnds.size(), row.nPhones);
    const bool bAllPass = strEnds.find_first_not_of('P') == std::string::npos;
    const bool bRefused = strEnds.find_first_not_of('R') == std::string::npos;

    LINE_RUN_PLAN plan;
    plan.nPhones = row.nPhones;
    plan.astrSim = row.astrSim;
    plan.astrFlash = row.astrFlash;
    plan.strInterruptAt = row.szInterrupt;
    plan.strSecondInterruptAt = row.szSecondInterrupt;
    if (row.pfnChange && row.szChangeAt[0] == '\0') row.pfnChange(m_Set);
    if (row.pfnChange && row.szChangeAt[0] != '\0') {
        plan.strChangeAt = row.szChangeAt;
        plan.fnChange = [&] { row.pfnChange(m_Set); };
    }
    plan.nThief = row.nThief;
    plan.dwBoundMs = bAllPass ? PASS_BOUND_MS : FAIL_BOUND_MS;
    const LINE_RUN_RESULT run = LINE_RUN_Execute(plan, m_Set, m_strDir);
    // Both programs' output is shown once, under the first failure.
    std::string strWhat = "station:\n" + run.strFlashOut + "\nphones:\n" + run.strSimOut;
    const auto what = [&strWhat] { return std::exchange(strWhat, std::string()); };

    ASSERT_EQ(run.aPhones.size(), row.nPhones) << what();
    EXPECT_EQ(run.nFlashExit, bAllPass ? 0 : bRefused ? 2 : 1) << what();
    if (bAllPass) {
        EXPECT_EQ(run.nSimExit, 0) << what();
    } else {
        EXPECT_LT(run.dwFlashMs, FAIL_BOUND_MS);
    }
    if (row.szInterrupt[0] != '\0') {
        EXPECT_TRUE(run.bInterrupted) << what();
    }
    if (row.szChangeAt[0] != '\0') {
        EXPECT_TRUE(run.bChanged) << what();
    }
    if (row.szLogged[0] != '\0') {
        EXPECT_TRUE(Contains(run.strFlashOut, row.szLogged)) << what();
    }

    for (uint32_t k = 0; k < row.nPhones; ++k) {
        const LINE_PHONE& phone = run.aPhones[k];
        const std::string strCh = "[CH" + std::to_string(k) + "] ";
        const bool bPassed = Contains(run.strFlashOut, strCh + "bar  Download PASS. [");
        SCOPED_TRACE("phone " + std::to_string(k + 1) + " should end " + strEnds[k]);
        if (strEnds[k] == 'P' || (strEnds[k] == 'S' && bPassed)) {
            EXPECT_TRUE(bPassed) << what();
            EXPECT_EQ(phone.dwLocks, 1u);
            EXPECT_FALSE(phone.astrVerify.empty());
            for (const std::string& strVerify : phone.astrVerify)
                EXPECT_TRUE(strVerify.size() > 3 && strVerify.substr(strVerify.size() - 3) == " ok")
                    << strVerify;
            continue;
        }
        EXPECT_FALSE(bPassed) << what();
        EXPECT_EQ(phone.dwLocks, 0u) << what();
        if (strEnds[k] == 'R') {
            EXPECT_TRUE(phone.aRequests.empty()) << what();
        }
        if (strEnds[k] == 'F' && row.nFaultOpcode != NO_FAULT_FRAME) {
            const int nFault = row.bFaultIsLast ? LINE_RUN_LastOf(phone, row.nFaultOpcode)
                                                : LINE_RUN_FirstFault(phone, row.nFaultOpcode);
            // A change the station meets itself (an image rewritten) may be noticed before a
            // slower phone's first write of that kind: then none of its data went out at all.
            if (!row.bFaultIsLast) {
                ASSERT_GE(nFault, 0) << "the fault never met the phone\n" << what();
            }
            EXPECT_EQ(LINE_RUN_DestructiveAfter(phone, nFault, row.nRestore), "") << what();
        }
        for (const std::string& strRegion : CLI_Split(row.szHolds, ',')) {
            if (strRegion.empty()) continue;
            const std::string strOk = strRegion + " ok";
            EXPECT_TRUE(std::find(phone.astrVerify.begin(), phone.astrVerify.end(), strOk) !=
                        phone.astrVerify.end())
                << "the phone should hold " << strRegion << "\n" << what();
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, FaultMatrix, ::testing::ValuesIn(g_aRows),
                         [](const ::testing::TestParamInfo<FAULT_ROW>& info) {
                             return std::string(info.param.szName);
                         });

}  // namespace
