#include "support/e2e_station.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

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
            m_pCore->m_nComPort[i] = PORT_TABLE_Assign(m_apPhone.back()->SlavePath());
    }
}

CE2EStation::~CE2EStation()
{
    if (m_Stopper.joinable()) m_Stopper.join();
    STATION_LOOP_OPTIONS loop;
    STATION_Cancel(*m_pCore, m_Threads, loop, 10000);
    for (int i = 0; i < MAX_CHANNEL; ++i) SERIAL_DEVICE_Close(i);
    SERIAL_DEVICE_BindRunFlags(nullptr);
    for (auto& pPhone : m_apPhone) pPhone->Stop();
    m_pCore->SetView(nullptr);
    ENGINE_SetDownloadPlan(nullptr);
    PORT_TABLE_Reset();
    if (!m_strDir.empty()) RemoveTree(m_strDir);
}

bool CE2EStation::BuildImages(const E2E_IMAGE_OPTIONS& opt)
{
    m_Opt = opt;
    return !m_strDir.empty() && E2E_BuildImages(m_strDir, opt, m_Images);
}

std::vector<std::string> CE2EStation::Load(const MODEL_TICKS& ticks, int nModel,
                                           const std::string& strEntry, bool bPriority)
{
    CVarnDLCore& core = *m_pCore;
    core.m_nModel = nModel;
    core.m_aModelTicks[nModel] = ticks;
    core.m_strPhonePath = m_Images.phone.strPath;
    core.m_strEbootPath = m_Images.eboot.strPath;
    core.m_strPdaPath = m_Images.pda.strPath;
    core.m_strCscPath = m_Images.csc.strPath;
    core.m_strHiddenPath = m_Images.hidden.strPath;
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
    m_bPriority = bPriority ? 1 : 0;
    MODEL_TICKS_ApplyStored(core);
    std::vector<std::string> astrRefused = result.astrRefused;
    if (!result.bGoOn) astrRefused.push_back(result.strMessage);
    return astrRefused;
}

int CE2EStation::Run()
{
    STATION_LOOP_OPTIONS loop;
    loop.bEndWhenWorkersEnd = true;
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
        for (int k = 0; k < MAX_CHANNEL; ++k) m_pCore->m_bRun[k] = 0;
    });
}

bool CE2EStation::Passed(int i) const
{
    return m_pCore->m_bCycleEnd[i] == 1 && m_pCore->m_bDownloadDone[i] == 1;
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
    const REGION_INFO& layout = m_Images.aLayout[nRegion];
    const E2E_FILE* pFile = &m_Images.phone;
    uint32_t dwOffset = layout.FileOffset;
    uint32_t dwLength = layout.DataLength;
    bool bPaged = false;
    std::vector<uint8_t> abySlice;
    switch (nRegion) {
    case REGION_APPSBL: pFile = &m_Images.eboot; break;
    case REGION_PDA: pFile = &m_Images.pda; bPaged = true; break;
    case REGION_HIDDEN: pFile = &m_Images.hidden; dwOffset = 0; bPaged = true; break;
    case REGION_CARRIER:
        pFile = &m_Images.csc;
        if (m_nEntry >= 0) {
            dwOffset = m_Images.adwEntryOffset[static_cast<size_t>(m_nEntry)];
            dwLength = m_Opt.dwEntryData;
            // The first chunk carries the priority byte in place of the file's.
            abySlice.assign(pFile->aby.begin() + dwOffset, pFile->aby.begin() + dwOffset + dwLength);
            abySlice[104] = static_cast<uint8_t>(m_bPriority);
        } else {
            bPaged = true;
        }
        break;
    default: break;
    }
    if (static_cast<uint64_t>(dwOffset) + dwLength > pFile->aby.size()) return "slice beyond the file";
    const uint8_t* pbySlice = abySlice.empty() ? pFile->aby.data() + dwOffset : abySlice.data();
    const std::vector<uint8_t> abyFlash =
        m_apPhone[i]->ReadFlash(layout.StartAddr, E2E_FlashBytes(dwLength, bPaged));
    return E2E_Compare(abyFlash, pbySlice, dwLength, bPaged);
}

std::string CE2EStation::CheckMibib(int i, bool bStaged) const
{
    const std::vector<uint8_t>& aby = m_Images.phone.aby;
    std::string str = E2E_Compare(m_apPhone[i]->ReadFlash(0, 0x8000), aby.data(), 0x8000, false);
    if (!str.empty()) return "MIBIB page 0: " + str;
    const uint32_t dwArea = bStaged ? 0x20000 : 0x8000;
    str = E2E_Compare(m_apPhone[i]->ReadFlash(0x40000, dwArea), aby.data() + 0x40000, dwArea, false);
    return str.empty() ? str : "MIBIB area at 0x40000: " + str;
}
