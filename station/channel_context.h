// What a channel's worker and the console share: the worker start record, the transfer buffers,
// the region table layout and the shape of the plan that Start computes once and hands to every
// worker (engine/download_plan.h makes it).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

constexpr int MAX_CHANNEL = 8;

// The phone's partition table, and the head of a Multi-CSC container, as the station keeps them.
constexpr uint32_t PARTITION_TABLE_SIZE = 2048;
constexpr uint32_t MULTICSC_HEADER_SIZE = 0x20000;

// Request frame buffer: 12-byte header + 0x8080 payload.
constexpr uint32_t BUF_OBJ_SIZE = 0x808C;

// One flash region: where it lies on the phone and where its data lie in the image file.
struct REGION_INFO {
    uint32_t StartAddr;
    uint32_t FileOffset;
    uint32_t DataLength;
    uint32_t EraseLength;
};
static_assert(sizeof(REGION_INFO) == 16);

enum RegionIndex : int {
    REGION_MIBIB = 0,
    REGION_QCSBL = 1,
    REGION_OEMSBL = 2,
    REGION_AMSS = 3,
    REGION_EFS2 = 4,
    REGION_FOTA = 5,
    REGION_APPSBL = 6,
    REGION_RESERVED = 7,  // filled by the image loader, never flashed
    REGION_PDA = 8,
    REGION_CARRIER = 9,
    REGION_HIDDEN = 10,
    REGION_COUNT = 11,
};

// The 12-byte head of the last accepted image descriptor, then the eleven regions.
struct REGION_TABLE {
    uint32_t dwStartMarker;
    uint32_t dwKind;
    uint32_t dwHeadWord;
    REGION_INFO aRegion[REGION_COUNT];
};
static_assert(sizeof(REGION_TABLE) == 188);

// A worker's two transfer buffers, created at the start of its cycle.
class CBufObj {
public:
    CBufObj();
    ~CBufObj();
    CBufObj(const CBufObj&) = delete;
    CBufObj& operator=(const CBufObj&) = delete;

    // Usable only when both buffers exist; the worker checks this before anything else.
    bool IsValid() const { return m_pPacket != nullptr && m_pData != nullptr; }
    void ClearPacket();
    void ClearData();
    void FillData(uint8_t byValue);

    uint8_t* m_pPacket;
    uint8_t* m_pData;
    uint32_t m_dwPacketSize;
    uint32_t m_dwDataSize;
};

class CVarnDLCore;
class CChannelSink;
struct CHANNEL_STATE;
class CImageSelection;

struct DOWNLOAD_PLAN;

// The record a worker is started with; it outlives the worker.
struct ChannelThreadParam {
    CVarnDLCore* pDlg = nullptr;  // the engine's; the floors below see only the three after
    int nCh = 0;
    const CChannelSink* pSink = nullptr;      // the channel's bar, log and end
    CHANNEL_STATE* pState = nullptr;          // the channel's flags and cycle values
    const CImageSelection* pImages = nullptr;  // the image selection, read-only during a run
    CBufObj* pnBufObj = nullptr;  // written by the worker once its buffers exist
    // The plan of the Start that started the worker; null: the current one.
    std::shared_ptr<const DOWNLOAD_PLAN> pPlan;
};

// Which regions the operator ticked, as computed at Start.
struct DOWN_SEL {
    uint32_t bQcsbl = 0;  // also drives the MIBIB step
    uint32_t bOemsbl = 0;
    uint32_t bFota = 0;
    uint32_t bAmss = 0;
    uint32_t bEfs2 = 0;  // EFS2 erase
    uint32_t bAppsbl = 0;
    uint32_t bPda = 0;
    uint32_t bCsc = 0;
    uint8_t byMibibMask = 0;
};

constexpr uint32_t HEADER_BLOCK_SIZE = 512;
constexpr uint32_t HEADER_BLOCK_TOTAL = 4 * HEADER_BLOCK_SIZE;

// Tells one version of a file from another: a file replaced, rewritten or cut short changes at
// least one of these. A copy that keeps timestamps puts the modification time back; the
// status-change time no program can set.
struct FILE_STAMP {
    bool bExists = false;
    uint64_t qwDevice = 0;
    uint64_t qwInode = 0;
    int64_t qwSize = 0;
    int64_t qwMtimeSec = 0;
    int64_t qwMtimeNsec = 0;
    int64_t qwCtimeSec = 0;
    int64_t qwCtimeNsec = 0;
    bool operator==(const FILE_STAMP&) const = default;
};

// Image kinds as the plan counts them: 0 Unified, 1 Phone, 2 Eboot, 3 PDA, 4 CSC, 5 Hidden.
constexpr int PLAN_IMAGE_KINDS = 6;

// What every worker of one Start reads: the selection, the four MIBIB header blocks and the
// image files as they were at Start. Start builds a new one aside and swaps it in; a worker
// keeps the one it started with, so it never sees a cleared or half-built selection, whatever a
// later Start does.
struct DOWNLOAD_PLAN {
    DOWN_SEL g_DownSel;
    uint8_t g_abyHeaderBlock[HEADER_BLOCK_TOTAL] = {};
    // By image kind; an empty path for a kind not chosen.
    std::string astrImagePath[PLAN_IMAGE_KINDS];
    FILE_STAMP aImageStamp[PLAN_IMAGE_KINDS];
};

// The "Download Mode" check boxes as they stand at Start.
struct DOWNLOAD_TICKS {
    bool bPhoneBoot = false;  // 1020
    bool bPhone = false;      // 1021
    bool bEboot = false;      // 1022
    bool bPda = false;        // 1023
    bool bEfsClear = false;   // 1024
    bool bCsc = false;        // 1057
    bool bHidden = false;     // 1058, read by the worker itself at the Hidden step
};
