#include "engine/download_plan.h"
#include "support/e2e_station.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include <gtest/gtest.h>

#include "images/image_select.h"
#include "images/multi_csc.h"
#include "link/port_table.h"
#include "link/serial_device.h"
#include "station/model_ticks.h"

namespace {

class CTickControls final : public CNullImageControls {
public:
    explicit CTickControls(CVarnDLCore& core) : m_core(core) {}
    void ApplyStoredTicks() override { MODEL_TICKS_ApplyStored(m_core); }

private:
    CVarnDLCore& m_core;
};

void RemoveTree(const std::string& strDir)
{
    if (DIR* d = ::opendir(strDir.c_str())) {
        while (dirent* e = ::readdir(d)) {
            const std::string strName = e->d_name;
            if (strName != "." && strName != "..") ::unlink((strDir + "/" + strName).c_str());
        }
        ::closedir(d);
    }
    ::rmdir(strDir.c_str());
}

}  // namespace

IMAGE_SET_SIZES E2E_Sizes()
{
    IMAGE_SET_SIZES sizes;
    sizes.dwQcsbl = 0x9123;
    sizes.dwOemsbl = 0x12345;
    sizes.dwAmss = 0x50321;
    sizes.dwFota = 0x1004D;
    sizes.dwAppsbl = 0x23456;
    sizes.dwPda = 3 * 0x8080 + 0x1234;  // file bytes, spare bytes included
    sizes.dwCsc = 2 * 0x8080 + 100;
    sizes.dwEfs2Erase = 0x40000;
    sizes.dwHiddenErase = 0x200000;
    return sizes;
}

std::string E2E_CheckSlice(const CVirtualPhone& phone, const VERIFY_IMAGES& images,
                           const std::string& strName)
{
    std::vector<FLASH_SLICE> aSlices;
    std::string strError;
    if (!FLASH_VERIFY_SlicesFromImages(images, &aSlices, &strError)) return strError;
    for (const FLASH_SLICE& slice : aSlices) {
        if (slice.strName != strName) continue;
        VERIFY_RESULT result;
        phone.WithFlash([&](const CFlashModel& flash) { result = FLASH_VERIFY_Slice(flash, slice); });
        return result.eStatus == VERIFY_OK ? "" : FLASH_VERIFY_ResultText(result);
    }
    return "no slice " + strName + " in the images";
}

CE2EStation::CE2EStation(int nPhones, const PHONE_CONFIG& cfg)
    : m_pCore(std::make_unique<CVarnDLCore>()), m_pView(std::make_unique<CRecordingView>(m_pCore.get()))
{
    PORT_TABLE_Reset();
    m_pCore->SetView(m_pView.get());
    char szDir[] = "/tmp/quillon-e2e-XXXXXX";
    if (::mkdtemp(szDir)) m_strDir = szDir;
    for (int i = 0; i < nPhones; ++i) {
        m_apPhone.push_back(std::make_unique<CVirtualPhone>(cfg));
        if (m_apPhone.back()->Start())
            m_pCore->m_aChannel[i].m_nComPort = PORT_TABLE_Assign(m_apPhone.back()->SlavePath());
    }
}

CE2EStation::~CE2EStation()
{
    if (m_Stopper.joinable()) m_Stopper.join();
    STATION_LOOP_OPTIONS loop;
    STATION_Cancel(*m_pCore, m_Threads, loop, 10000);
    for (int i = 0; i < MAX_CHANNEL; ++i) SERIAL_DEVICE_Close(i);
    SERIAL_DEVICE_SetStopTest(nullptr);
    for (auto& pPhone : m_apPhone) pPhone->Stop();
    m_pCore->SetView(nullptr);
    ENGINE_SetDownloadPlan(nullptr);
    PORT_TABLE_Reset();
    if (!m_strDir.empty()) RemoveTree(m_strDir);
}

bool CE2EStation::BuildImages(const IMAGE_SET_SIZES& sizes)
{
    std::string strError;
    const bool bOk = !m_strDir.empty() &&
                     IMAGE_BUILDER_WriteStandardSet(m_strDir, 1, sizes, &m_Images, &strError);
    EXPECT_TRUE(bOk) << strError;
    return bOk;
}

std::vector<std::string> CE2EStation::Load(const MODEL_TICKS& ticks, int nModel,
                                           const std::string& strEntry, bool bPriority)
{
    CVarnDLCore& core = *m_pCore;
    core.m_nModel = nModel;
    core.m_aModelTicks[nModel] = ticks;
    core.m_strPhonePath = m_Images.strPhone;
    core.m_strEbootPath = m_Images.strEboot;
    core.m_strPdaPath = m_Images.strPda;
    core.m_strCscPath = m_Images.strCsc;
    core.m_strHiddenPath = m_Images.strHidden;
    CTickControls controls(core);
    IMAGE_RevalidateImages(core, controls);

    IMAGE_START_INPUT input;
    input.bCscPriority = bPriority;
    input.bCscTicked = ticks.dwCarrier != 0;
    if (core.m_bMultiCsc) {
        const std::vector<std::string> astrItems = MULTICSC_ListItems(core);
        input.bHasSelection = !astrItems.empty();
        input.strSelected = strEntry.empty() && !astrItems.empty() ? astrItems.front() : strEntry;
    }
    const IMAGE_START_RESULT result = IMAGE_ValidateForStart(core, controls, input);
    m_nEntry = result.nEntry;
    m_Verify = {m_Images.strPhone, m_Images.strEboot, m_Images.strPda, m_Images.strCsc,
                m_Images.strHidden, input.strSelected, bPriority ? 1 : 0};
    MODEL_TICKS_ApplyStored(core);
    std::vector<std::string> astrRefused = result.astrRefused;
    if (!result.bGoOn) astrRefused.push_back(result.strMessage);
    return astrRefused;
}

int CE2EStation::Run(uint32_t dwStallTimeoutMs)
{
    STATION_LOOP_OPTIONS loop;
    loop.bEndWhenWorkersEnd = true;
    loop.dwStallTimeoutMs = dwStallTimeoutMs;
    loop.fnWallMs = m_fnWallMs;
    loop.dwPollMs = 20;
    const int nResult = STATION_Start(*m_pCore, m_Threads, loop);
    STATION_JoinAll(*m_pCore, m_Threads, loop);
    if (m_Stopper.joinable()) m_Stopper.join();
    return nResult;
}

void CE2EStation::StopAllAfter(int i, size_t nRequests)
{
    m_Stopper = std::thread([this, i, nRequests] {
        m_apPhone[i]->WaitRequestCount(nRequests, 60000);
        for (int k = 0; k < MAX_CHANNEL; ++k) m_pCore->m_aChannel[k].m_bRun = 0;
    });
}

bool CE2EStation::Passed(int i) const
{
    return m_pCore->m_aChannel[i].m_bCycleEnd == 1 && m_pCore->m_aChannel[i].m_bDownloadDone == 1;
}

std::string CE2EStation::LastBarText(int i) const
{
    return m_pCore->m_ctrlProgress[i].GetState().strText;
}

bool CE2EStation::Logged(const std::string& strLine) const
{
    for (const std::string& str : m_pView->LogLines())
        if (str == strLine) return true;
    return false;
}

std::string CE2EStation::CheckRegion(int i, int nRegion) const
{
    static const char* const s_aszName[REGION_COUNT] = {
        "", "QCSBL", "OEMSBL", "AMSS", "", "FOTA", "APPSBL", "", "PDA", "CARRIER", "HIDDEN"};
    if (!*s_aszName[nRegion]) return "region " + std::to_string(nRegion) + " is not checked";
    return E2E_CheckSlice(*m_apPhone[i], m_Verify, s_aszName[nRegion]);
}

std::string CE2EStation::CheckMibib(int i, bool bStaged) const
{
    // The direct write sends the first chunk of each area, the staged download all of the second.
    std::string str = E2E_CheckSlice(*m_apPhone[i], m_Verify, "MIBIB 0");
    if (str.empty()) str = E2E_CheckSlice(*m_apPhone[i], m_Verify, "MIBIB 1");
    if (str.empty() && bStaged) str = E2E_CheckSlice(*m_apPhone[i], m_Verify, "MIBIB 1 rest");
    return str;
}
