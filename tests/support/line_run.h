// The production line as a script drives it: quillon-phone-sim publishes virtual phones,
// quillon-flash flashes them, and the simulator's closing report says what each phone received,
// request by request, and whether its flash matches the images.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "sim/image_builder.h"

// One line of the simulator's request list: a frame and how often it came with one answer.
struct LINE_REQUEST {
    uint8_t byOpcode = 0;
    uint8_t bySeq = 0;
    uint32_t dwParam = 0;
    uint32_t dwLength = 0;
    std::string strReply;  // "ack", "nak", "none", "garbage", "wrong-seq", "pieces", ...
    uint32_t dwTimes = 0;
};

// One phone as the simulator reported it when it ended.
struct LINE_PHONE {
    uint32_t dwLocks = 0;
    std::vector<std::string> astrVerify;  // "QCSBL ok", "PDA mismatch (...)", one per region
    std::vector<LINE_REQUEST> aRequests;
};

struct LINE_RUN_PLAN {
    uint32_t nPhones = 1;
    std::vector<std::string> astrSim;    // fault and link options of quillon-phone-sim
    std::vector<std::string> astrFlash;  // options of quillon-flash besides images and ports
    // fnChange runs once quillon-flash has printed this line ("" never): an image file changed
    // under the running station.
    std::string strChangeAt;
    std::function<void()> fnChange;
    // quillon-flash gets SIGINT once this line is out ("" never): a line of quillon-flash, or,
    // when it begins "fault phone ", the simulator's word that a fault met a phone (the moment
    // the phone took the frame it does not answer plainly).
    std::string strInterruptAt;
    // And a second SIGINT once quillon-flash has printed this line after the first ("" never).
    std::string strSecondInterruptAt;
    // quillon-flash is killed after this long; a run that needs it has not ended in time.
    uint32_t dwBoundMs = 60000;
    // Phone K's port (1-based; 0 none) has a second reader that takes what the phone answers.
    uint32_t nThief = 0;
};

struct LINE_RUN_RESULT {
    int nFlashExit = -1;
    uint32_t dwFlashMs = 0;
    bool bInterrupted = false;
    bool bChanged = false;
    std::string strFlashOut;
    int nSimExit = -1;
    std::string strSimOut;
    std::vector<LINE_PHONE> aPhones;
};

// Removes a scratch directory and what it holds.
void LINE_RUN_RemoveTree(const std::string& strDir);
// A small image set (Phone, Eboot, PDA, CSC; no Hidden) written into strDir, with the sizes as
// fnSizes tweaks them when given.
bool LINE_RUN_WriteImages(const std::string& strDir, IMAGE_SET* pSet,
                          const std::function<void(IMAGE_SET_SIZES&)>& fnSizes = {});
// The phones of the simulator's closing report, in order.
std::vector<LINE_PHONE> LINE_RUN_ParseReport(const std::string& strOut);
// Runs both programs with the set's images (each verified by the simulator) and collects the
// results. strDir holds the simulator's ports.
LINE_RUN_RESULT LINE_RUN_Execute(const LINE_RUN_PLAN& plan, const IMAGE_SET& set,
                                 const std::string& strDir);

class CSimProcess;

// quillon-phone-sim publishing nPhones phones in strPorts from port nFirst on, each verified
// against the set's images at its end; true once they are "ready".
bool LINE_RUN_StartPhones(CSimProcess& sim, const IMAGE_SET& set, const std::string& strPorts, uint32_t nFirst,
                          uint32_t nPhones, const std::vector<std::string>& astrMore = {});
// quillon-flash's arguments for the set's images (no reboot wait), then astrMore.
std::vector<std::string> LINE_RUN_FlashArgs(const IMAGE_SET& set, const std::vector<std::string>& astrMore);
// quillon-flash --watch taking the virtual phones of strPorts, with the set's images.
bool LINE_RUN_StartWatch(CSimProcess& flash, const IMAGE_SET& set, const std::string& strPorts,
                         const std::vector<std::string>& astrMore);
// How often strPart stands in strText.
size_t LINE_RUN_Count(const std::string& strText, const std::string& strPart);
// Reads the program's output until strPart has come nTimes (true), it exits or dwBoundMs pass.
bool LINE_RUN_WaitCount(CSimProcess& proc, const std::string& strPart, size_t nTimes, unsigned dwBoundMs);
// The records of a JSON lines results file, in order: each one's "id" and "result".
std::vector<std::pair<std::string, std::string>> LINE_RUN_Records(const std::string& strPath);

// Erases, writes, programs, the MIBIB header, the EFS backup and the lock: frames that change a
// phone's flash or release it.
bool LINE_RUN_IsDestructive(uint8_t byOpcode);
// The first frame of the opcode (-1: any) that the phone did not simply acknowledge (its answer
// was faulted, or it was refused); -1 when there is none.
int LINE_RUN_FirstFault(const LINE_PHONE& phone, int nOpcode = -1);
// The last frame of the opcode the phone received; -1 when there is none.
int LINE_RUN_LastOf(const LINE_PHONE& phone, int nOpcode);
// "" when nothing destructive reached the phone after request nFrom other than the request
// itself sent again (and frames of opcode nAllowed, -1 none); otherwise the first such frame.
std::string LINE_RUN_DestructiveAfter(const LINE_PHONE& phone, int nFrom, int nAllowed = -1);

// The value of a field of one JSON line as written: a string unescaped, an array or a number as
// it stands, "null"; "" when the line has no such field.
std::string LINE_RUN_JsonValue(const std::string& strLine, const std::string& strName);
// The lines of quillon-flash's --json output of one type for channel nCh, in order.
std::vector<std::string> LINE_RUN_JsonEvents(const std::string& strOut, const std::string& strType,
                                             int nCh);

// A table-driven test of line runs: each row (with a pfnSizes member) gets a scratch directory
// with its image set, removed afterwards.
template <typename ROW>
class CLineRunTest : public ::testing::TestWithParam<ROW> {
protected:
    void SetUp() override
    {
        char szDir[] = "/tmp/quillon-line-run-XXXXXX";
        ASSERT_NE(::mkdtemp(szDir), nullptr);
        m_strDir = szDir;
        ASSERT_TRUE(LINE_RUN_WriteImages(m_strDir, &m_Set, this->GetParam().pfnSizes));
    }
    void TearDown() override { LINE_RUN_RemoveTree(m_strDir); }

    std::string m_strDir;
    IMAGE_SET m_Set;
};
