// How a channel's run ended, set by its cycle at the moment it happens: passed, failed, stopped,
// disconnected or stalled, the step it ended in, the text its bar shows, the cause of a stop, and
// the regions written or skipped. The bar's last text, the log, the result record, the headless
// station's output and its exit status are all made from it; nothing reads a bar back.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class CVarnDLCore;

enum OUTCOME_KIND : uint32_t {
    OUTCOME_RUNNING = 0,  // not ended yet
    OUTCOME_PASSED = 1,
    OUTCOME_FAILED = 2,        // the phone, or the station's own check, failed the channel
    OUTCOME_STOPPED = 3,       // ended by a stop it did not cause
    OUTCOME_DISCONNECTED = 4,  // the phone went away during its cycle
    OUTCOME_STALLED = 5,       // the phone acknowledged nothing for the stall time
};

// Why a run was stopped.
enum STOP_CAUSE : uint32_t {
    STOP_NONE = 0,
    STOP_OPERATOR = 1,        // Cancel, or the window closed
    STOP_SIGNAL = 2,          // SIGINT, SIGTERM or SIGHUP to the station
    STOP_CHANNEL_FAILED = 3,  // a channel failed before its regions, which stops every channel
};

struct STOP_REASON {
    STOP_CAUSE eCause = STOP_NONE;
    int nValue = 0;  // the failed channel, or the signal
};

struct SKIPPED_REGION {
    std::string strRegion;  // as in OUTCOME_RegionName
    std::string strReason;
};

struct CHANNEL_OUTCOME {
    OUTCOME_KIND eKind = OUTCOME_RUNNING;
    // The step the cycle was in: "start", "open", "unlock", "partition", "mcci", a region
    // ("qcsbl" ... "hidden", "mibib header"), "lock" or "reboot wait".
    std::string strStep;
    // What the bar shows for it: the failure text as designed; for a pass, a stop, a stall or a
    // pull the bar's text of that end.
    std::string strText;
    STOP_REASON stop;  // OUTCOME_STOPPED only
    std::vector<std::string> astrWritten;  // regions written this cycle, in order
    std::vector<SKIPPED_REGION> aSkipped;
};

// "passed", "failed", "stopped", "disconnected", "stalled"; "running" before the end.
const char* OUTCOME_KindName(OUTCOME_KIND eKind);
// What a stop was: "cancelled by the operator", "interrupted by SIGTERM", "channel 3 failed
// before its regions"; "" for none.
std::string OUTCOME_StopText(const STOP_REASON& stop);
// The record's "result": "PASS", "Stopped", or the bar's text without its blanks and line end.
std::string OUTCOME_ResultText(const CHANNEL_OUTCOME& outcome);
// The lower-case name of a region (RegionIndex) as outcomes and records give it.
const char* OUTCOME_RegionName(int nRegion);

// The channel's outcome as it stands (a copy: the worker may change it meanwhile).
CHANNEL_OUTCOME OUTCOME_Get(const CVarnDLCore& core, int nCh);
// A new run of the channel: running, nothing written.
void OUTCOME_Begin(CVarnDLCore& core, int nCh);
// The cycle enters a step.
void OUTCOME_Step(CVarnDLCore& core, int nCh, const std::string& strStep);
// A region written, or skipped with its reason.
void OUTCOME_Written(CVarnDLCore& core, int nCh, const std::string& strRegion);
void OUTCOME_Skipped(CVarnDLCore& core, int nCh, const std::string& strRegion,
                     const std::string& strReason);
// The channel ends (or has its end decided) as eKind with the bar's text. The first end stays:
// a failure, a stall, a pull and a pass are never turned into anything else, and a stop never
// turns a channel that has failed of its own into a stopped one. Only a stop is told more
// precisely later, by the pull or the stall behind it (and damage, below).
void OUTCOME_End(CVarnDLCore& core, int nCh, OUTCOME_KIND eKind, const std::string& strText);

// The phone was left damaged: the channel fails with this text whatever ended it before,
// unless it passed.
void OUTCOME_Damage(CVarnDLCore& core, int nCh, const std::string& strText);

// The station's stop: asked once by whoever stops the run, with its cause, before the run flags
// are cleared; logged once. A later stop keeps the first cause. false when a stop was already
// asked.
bool STATION_AskStop(CVarnDLCore& core, STOP_REASON reason);
// A new run: no stop asked.
void STATION_ClearStop(CVarnDLCore& core);
