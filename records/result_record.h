// One record per channel that ends, so that every phone flashed can be traced: when and where,
// which phone, which images (with their SHA-256), what was chosen and how it ended. Records are
// appended to a results file (JSON lines, or CSV under a header row for a name ending in .csv) by
// one background writer, which also hashes each Start's image files ahead of that Start's
// records: a slow, full or unwritable disk never holds up, stops or fails a download.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "station/channel_context.h"
#include "station/outcome.h"

class CVarnDLCore;

// What udev knows of the phone behind a port; "" for what it does not know.
struct PHONE_IDENTITY {
    std::string strSerial;    // the USB serial number
    std::string strPortPath;  // the physical port path
};

// One run of a channel: set up when its worker starts, completed when it ends.
struct CHANNEL_END {
    uint32_t nPort = 0;
    std::string strDevNode;
    PHONE_IDENTITY identity;
    uint32_t dwStartTick = 0;  // station clock
    CHANNEL_OUTCOME outcome;  // as the run ended
    uint32_t dwElapsedMs = 0;
    uint64_t qwBytesSent = 0;
};

struct RESULT_IMAGE {
    int nKind = 0;  // by plan image kind, 0 Unified .. 5 Hidden
    std::string strPath;
    int64_t qwSize = 0;
    std::string strSha256;  // "" when the file could not be hashed as the version flashed
};

struct RESULT_RECORD {
    std::string strTime;  // RESULT_RECORD_Time
    std::string strHost;
    int nChannel = 0;
    uint32_t nPort = 0;
    std::string strDevNode;
    PHONE_IDENTITY identity;
    int nModel = 0;
    std::string strModel;
    std::vector<RESULT_IMAGE> aImages;  // the images chosen, by kind
    std::vector<std::string> astrSelection;  // RESULT_RECORD_Selection
    CHANNEL_OUTCOME outcome;  // "outcome", "step", "cause", "written", "skipped"; "result" from it
    uint32_t dwElapsedMs = 0;
    uint64_t qwBytesSent = 0;
    // "STATION:N", unique across the station's restarts: the line keeps one record per id.
    std::string strId;
};

// ---- the record as text

// ISO 8601 local time with its offset from UTC: "2024-05-01T14:03:22+02:00".
std::string RESULT_RECORD_Time(time_t t);
// The regions chosen, named as quillon-flash --select names them.
std::vector<std::string> RESULT_RECORD_Selection(const DOWNLOAD_TICKS& ticks);
// One JSON object on one line, with its line end.
std::string RESULT_RECORD_Json(const RESULT_RECORD& record);
// The CSV header row and a record's row, each with its line end; every image kind has its path,
// size and SHA-256 columns, empty when the kind was not chosen.
std::string RESULT_RECORD_CsvHeader();
std::string RESULT_RECORD_CsvRow(const RESULT_RECORD& record);

// ---- the results file

// Starts keeping records in strPath (created when missing; a name ending in .csv gives CSV). A
// file deleted or renamed away while records are kept is noticed before the next record, which
// goes to a new file at the same path (told once); no record goes to a file without a name.
// false, with the reason in strError, when the file cannot be opened or is not a regular file:
// the caller reports that once, and the station runs on without records. Replaces a file kept
// before. The day's counts start from this host's records of today already in a JSON file.
bool RESULT_RECORD_Open(const std::string& strPath, std::string& strError);
// Writes what is still queued, for at most dwBoundMs of real time (hashing is given up when the
// time is short, and those digests are left empty), then stops keeping records. false when the
// writer was still busy at the bound: it is let go with what it holds.
bool RESULT_RECORD_Close(uint32_t dwBoundMs);

// Told once, on the writer's thread, when a record cannot be written (a full disk, a file taken
// away); later failures of the same file stay quiet.
void RESULT_RECORD_SetProblemSink(std::function<void(const std::string& strProblem)> fnProblem);
// The station part of record ids (the host name until set): the station's name on the line.
void RESULT_RECORD_SetStation(const std::string& strStation);
// Finds what udev knows of the phone at a device node; asked for each channel at Start.
void RESULT_RECORD_SetIdentify(std::function<PHONE_IDENTITY(const std::string& strDevNode)> fnIdentify);
// Told, on the writer's thread, that the day's counts have changed (a record is in the file).
void RESULT_RECORD_SetOnCounted(std::function<void()> fnCounted);

// What one Start hands to the records of its channels.
struct RESULT_START;
// At Start, once the plan is in place: queues the hashing of its image files. Null when no
// records are kept.
std::shared_ptr<RESULT_START> RESULT_RECORD_BeginStart(const CVarnDLCore& core,
                                                       std::shared_ptr<const DOWNLOAD_PLAN> pPlan,
                                                       const DOWNLOAD_TICKS& ticks);
PHONE_IDENTITY RESULT_RECORD_Identify(const std::string& strDevNode);
// A channel's worker has ended: queues its record (none without pStart), counted once written.
void RESULT_RECORD_ChannelEnded(const std::shared_ptr<RESULT_START>& pStart, int nCh,
                                const CHANNEL_END& end);
// Adds to the counts this host's records of strDay ("2024-05-01") in the JSON results file
// open on fd, read backwards from its end until a record of an earlier day; lines that are no
// record are passed over.
void RESULT_RECORD_CountDay(int fd, const std::string& strDay, const std::string& strHost,
                            uint32_t& nPass, uint32_t& nFail);
// Waits until every record queued so far is written (or given up), at most dwBoundMs of real
// time; false at the bound.
bool RESULT_RECORD_Flush(uint32_t dwBoundMs);
// This host's PASS and failed channels of the current day, as the results file holds them.
void RESULT_RECORD_DayCounts(uint32_t& nPass, uint32_t& nFail);
