#include "station/channel_context.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>

#include "station/station_core.h"

uint8_t g_bySeq[MAX_CHANNEL];
const REGION_INFO* g_pRegion[MAX_CHANNEL];
int g_fileImage[MAX_CHANNEL] = {-1, -1, -1, -1, -1, -1, -1, -1};
uint32_t g_dwStartTick[MAX_CHANNEL];
uint32_t g_dwEndTick[MAX_CHANNEL];
std::atomic<uint32_t> g_bPartitionChanged[MAX_CHANNEL];

CBufObj::CBufObj()
    : m_pPacket(new (std::nothrow) uint8_t[BUF_OBJ_SIZE]()),
      m_pData(new (std::nothrow) uint8_t[BUF_OBJ_SIZE]()),
      m_dwPacketSize(BUF_OBJ_SIZE),
      m_dwDataSize(BUF_OBJ_SIZE)
{
}

CBufObj::~CBufObj()
{
    delete[] m_pPacket;
    delete[] m_pData;
}

void CBufObj::ClearPacket()
{
    if (m_pPacket) std::memset(m_pPacket, 0, m_dwPacketSize);
}

void CBufObj::ClearData()
{
    if (m_pData) std::memset(m_pData, 0, m_dwDataSize);
}

void CBufObj::FillData(uint8_t byValue)
{
    if (m_pData) std::memset(m_pData, byValue, m_dwDataSize);
}

namespace {
std::mutex g_csPlan;
std::shared_ptr<const DOWNLOAD_PLAN> g_pPlan;

// The paths were judged as regular files when they were chosen, but the name may since point
// elsewhere: opening a FIFO would block the worker (or Start) for good, beyond any run flag, and
// a directory or device would be read as image data. Only a regular file is opened.
int OpenRegularFile(const char* szPath)
{
    const int fd = ::open(szPath, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return -1;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Reads one block at a fixed offset; what the file does not hold stays zero.
void ReadBlock(const std::string& strPath, off_t offset, uint8_t* pbyBlock)
{
    const int fd = OpenRegularFile(strPath.c_str());
    if (fd < 0) return;
    uint32_t dwDone = 0;
    while (dwDone < HEADER_BLOCK_SIZE) {
        ssize_t n = ::pread(fd, pbyBlock + dwDone, HEADER_BLOCK_SIZE - dwDone, offset + dwDone);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        dwDone += static_cast<uint32_t>(n);
    }
    ::close(fd);
}

FILE_STAMP Stamp(const struct stat& st)
{
    FILE_STAMP stamp;
    stamp.bExists = true;
    stamp.qwDevice = static_cast<uint64_t>(st.st_dev);
    stamp.qwInode = static_cast<uint64_t>(st.st_ino);
    stamp.qwSize = static_cast<int64_t>(st.st_size);
    stamp.qwMtimeSec = static_cast<int64_t>(st.st_mtim.tv_sec);
    stamp.qwMtimeNsec = static_cast<int64_t>(st.st_mtim.tv_nsec);
    stamp.qwCtimeSec = static_cast<int64_t>(st.st_ctim.tv_sec);
    stamp.qwCtimeNsec = static_cast<int64_t>(st.st_ctim.tv_nsec);
    return stamp;
}
}  // namespace

std::shared_ptr<const DOWNLOAD_PLAN> ENGINE_GetDownloadPlan()
{
    std::lock_guard<std::mutex> lock(g_csPlan);
    return g_pPlan;
}

void ENGINE_SetDownloadPlan(std::shared_ptr<const DOWNLOAD_PLAN> pPlan)
{
    std::lock_guard<std::mutex> lock(g_csPlan);
    g_pPlan = std::move(pPlan);
}

DOWN_SEL ENGINE_ComputeSelection(const DOWNLOAD_TICKS& ticks)
{
    DOWN_SEL sel;
    if (ticks.bPhoneBoot) {
        sel.bQcsbl = sel.bOemsbl = sel.bFota = 1;
        sel.byMibibMask |= 0x01 | 0x10;
    }
    if (ticks.bPhone) {
        sel.bAmss = 1;
        sel.byMibibMask |= 0x02;
    }
    if (ticks.bEfsClear) sel.bEfs2 = 1;
    if (ticks.bEboot) {
        sel.bAppsbl = 1;
        sel.byMibibMask |= 0x04 | 0x08;
    }
    if (ticks.bPda) sel.bPda = 1;
    if (ticks.bCsc) sel.bCsc = 1;
    return sel;
}

void ENGINE_ReadHeaderBlocks(const CVarnDLCore& core, uint8_t* pbyHeader)
{
    std::memset(pbyHeader, 0, HEADER_BLOCK_TOTAL);
    if (core.m_bUnifiedImage) {
        static const off_t aOffset[4] = {0x41800, 0x42000, 0x42800, 0x42FE2};
        for (int i = 0; i < 4; ++i)
            ReadBlock(core.m_strUnifiedPath, aOffset[i], pbyHeader + i * HEADER_BLOCK_SIZE);
        return;
    }
    if (core.m_bPhoneImage) {
        ReadBlock(core.m_strPhonePath, 0x41800, pbyHeader);
        ReadBlock(core.m_strPhonePath, 0x42000, pbyHeader + HEADER_BLOCK_SIZE);
    }
    if (core.m_bEbootImage) {
        ReadBlock(core.m_strEbootPath, 0, pbyHeader + 2 * HEADER_BLOCK_SIZE);
        ReadBlock(core.m_strEbootPath, 0x800, pbyHeader + 3 * HEADER_BLOCK_SIZE);
    }
}

void ENGINE_PrepareStart(CVarnDLCore& core, const DOWNLOAD_TICKS& ticks)
{
    for (int i = 0; i < MAX_CHANNEL; ++i) {
        if (!core.m_bThreadStart[i] && !core.m_bRebootWait[i]) g_bPartitionChanged[i] = 0;
    }
    auto pPlan = std::make_shared<DOWNLOAD_PLAN>();
    pPlan->g_DownSel = ENGINE_ComputeSelection(ticks);
    ENGINE_ReadHeaderBlocks(core, pPlan->g_abyHeaderBlock);
    // The image files as they are now: a worker fails rather than pass a phone whose data came
    // from a file that changed meanwhile.
    const uint32_t abChosen[PLAN_IMAGE_KINDS] = {core.m_bUnifiedImage, core.m_bPhoneImage, core.m_bEbootImage,
                                                 core.m_bPdaImage,     core.m_bCscImage,   core.m_bHiddenImage};
    const std::string* apstrPath[PLAN_IMAGE_KINDS] = {&core.m_strUnifiedPath, &core.m_strPhonePath,
                                                      &core.m_strEbootPath,   &core.m_strPdaPath,
                                                      &core.m_strCscPath,     &core.m_strHiddenPath};
    for (int k = 0; k < PLAN_IMAGE_KINDS; ++k) {
        if (!abChosen[k]) continue;
        pPlan->astrImagePath[k] = *apstrPath[k];
        pPlan->aImageStamp[k] = ENGINE_StampPath(*apstrPath[k]);
    }
    ENGINE_SetDownloadPlan(std::move(pPlan));
}

FILE_STAMP ENGINE_StampPath(const std::string& strPath)
{
    struct stat st;
    if (strPath.empty() || ::stat(strPath.c_str(), &st) != 0) return FILE_STAMP{};
    return Stamp(st);
}

FILE_STAMP ENGINE_StampDescriptor(int fd)
{
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0) return FILE_STAMP{};
    return Stamp(st);
}

FILE_STAMP ENGINE_StampOpenImage(int nCh) { return ENGINE_StampDescriptor(g_fileImage[nCh]); }

int ENGINE_OpenImage(int nCh, const char* szPath)
{
    ENGINE_CloseImage(nCh);
    if (!szPath || !*szPath) return 0;
    const int fd = OpenRegularFile(szPath);
    if (fd < 0) return 0;
    g_fileImage[nCh] = fd;
    return 1;
}

void ENGINE_CloseImage(int nCh)
{
    if (g_fileImage[nCh] >= 0) {
        ::close(g_fileImage[nCh]);
        g_fileImage[nCh] = -1;
    }
}

uint32_t ENGINE_ReadImage(int nCh, uint64_t qwOffset, void* pBuffer, uint32_t dwCount)
{
    int fd = g_fileImage[nCh];
    if (fd < 0) return 0;
    uint32_t dwDone = 0;
    auto* pby = static_cast<uint8_t*>(pBuffer);
    while (dwDone < dwCount) {
        ssize_t n = ::pread(fd, pby + dwDone, dwCount - dwDone, static_cast<off_t>(qwOffset + dwDone));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        dwDone += static_cast<uint32_t>(n);
    }
    return dwDone;
}
