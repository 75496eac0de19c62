// quillon-flash's command line: the images, the ports, what to write and how to print, read into
// OPTIONS and checked before anything is opened, with one line for what is wrong.
#pragma once

#include <string>
#include <vector>

#include "station/model_ticks.h"

constexpr int EXIT_PASS = 0;
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;

struct OPTIONS {
    std::string astrImage[6];  // by ImageKind; 0 (Unified) is never given
    int nModel = 4;
    bool bSelectGiven = false;
    MODEL_TICKS ticks;
    bool bCscEntryGiven = false;
    std::string strCscEntry;
    bool bCscPriority = true;
    bool bYesToMismatch = false;
    int nRebootWaitSec = -1;
    int nStallTimeoutSec = 120;
    bool bJson = false;
    bool bPlain = false;
    std::string strResults;
    std::vector<std::string> astrPorts;
    // Phones are taken as they arrive until an interrupt, instead of the PORTs given.
    bool bWatch = false;
    // The line's broker ("" none), the file holding its password, and the station's name on the
    // line and in record ids ("" the host name).
    std::string strMqttUrl;
    std::string strMqttPasswordFile;
    std::string strStation;
};

// A usage error in one line; EXIT_USAGE.
int HEADLESS_Usage(const std::string& strWhy);

// 0 on success, else the exit status (after the message), -1 for --help / --version.
int HEADLESS_ParseArgs(int argc, char** argv, OPTIONS& opt);
