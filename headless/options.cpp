#include "headless/options.h"

#include <cstdint>
#include <cstdio>

#include <sys/stat.h>

#include "station/terminal_output.h"
#include "images/image_trailer.h"
#include "line/line_topics.h"
#include "station/channel_context.h"
#include "station/command_line.h"
#include "station/version.h"

namespace {

const char* const g_szUsage =
    "Usage: quillon-flash [OPTIONS] PORT [PORT ...]\n"
    "       quillon-flash [OPTIONS] --watch\n"
    "Flashes one phone per serial port; the i-th PORT is channel i (at most 8). With --watch,\n"
    "phones are taken as they arrive, each on the first free channel, until an interrupt.\n"
    "\n"
    "  --phone FILE  --eboot FILE  --pda FILE  --csc FILE  --hidden FILE\n"
    "                              the image files\n"
    "  --model N                   device model index 0-6 (default 4)\n"
    "  --select LIST               comma list of pboot,phone,efs,eboot,pda,csc,hidden\n"
    "                              (default: pboot,phone, and eboot, pda, csc with their images)\n"
    "  --csc-entry NAME            Multi-CSC entry (default: the alphabetically first)\n"
    "  --csc-priority 0|1          (default 1)\n"
    "  --on-partition-mismatch yes|no\n"
    "                              the answer to the partition prompt (default no)\n"
    "  --reboot-wait SECONDS       (default: the model's wait)\n"
    "  --stall-timeout SECONDS     a phone that acknowledges nothing for this long, from its\n"
    "                              port's opening to its lock, fails its channel (default 120;\n"
    "                              0 waits for it without a bound)\n"
    "  --json                      one JSON object per line for every bar change, log line and\n"
    "                              channel outcome\n"
    "  --plain                     the line output even when standard output is a terminal\n"
    "  --results FILE              append one record per channel to FILE (JSON lines; a name\n"
    "                              ending in .csv gives CSV under a header row)\n"
    "  --watch                     no PORTs: take phones as they arrive (udev, and the virtual\n"
    "                              phones' directory named by QUILLON_VIRTUAL_PORTS) and start\n"
    "                              each at once, until SIGINT or SIGTERM\n"
    "  --mqtt URL                  tell the line's broker (mqtt://[user@]host[:port] or\n"
    "                              mqtts://...) each channel's state and every record of the\n"
    "                              --results file; the flashing never waits for the broker\n"
    "  --mqtt-password-file FILE   the broker's password is the first line of FILE\n"
    "  --station NAME              the station's name on the line and in record ids\n"
    "                              (default: the host name)\n"
    "  --help, --version\n"
    "\n"
    "On a terminal (without --json or --plain) each channel has one line, redrawn in place, and a\n"
    "summary table follows the run; otherwise (and on a terminal narrower than 20 columns or\n"
    "with TERM unset or dumb) every bar change and log line is printed, and each channel's\n"
    "outcome (passed, failed, stopped, disconnected or stalled) when it ends.\n"
    "A result record holds the time, host, channel, port and device, the phone's USB serial\n"
    "number and port path when udev knows them, the model, each image's path, size and SHA-256,\n"
    "the selection, the result (PASS, Stopped or the bar's failure text), elapsed_ms, bytes_sent,\n"
    "the outcome, the step it ended in, the cause of a stop, and the regions written and skipped.\n"
    "A record that cannot be written is reported once on standard error and never fails the run.\n"
    "\n"
    "Each PORT must be a terminal device. An interrupt (SIGINT, SIGTERM, SIGHUP) stops the run as\n"
    "a failed channel would; a phone whose EFS2 is parked by a re-partition first gets up to 30 s\n"
    "to take it back, and a second interrupt gives up on it at once.\n"
    "With --watch an interrupt stops the phones being flashed in the same way, and the run ends.\n"
    "Exit status: 0 every channel passed (with --watch: every phone taken passed, or none was\n"
    "taken), 1 a channel failed or was stopped, 2 usage error, refused image or broker setting.\n";

// false with the unknown item in strBad, or with strBad empty when the list names no region: an
// empty shell variable must not run a download that writes nothing and passes.
bool ParseSelect(const std::string& strList, MODEL_TICKS& ticks, std::string& strBad)
{
    ticks = MODEL_TICKS{};
    strBad.clear();
    bool bAny = false;
    size_t nPos = 0;
    while (nPos <= strList.size()) {
        size_t nEnd = strList.find(',', nPos);
        if (nEnd == std::string::npos) nEnd = strList.size();
        const std::string strItem = strList.substr(nPos, nEnd - nPos);
        if (strItem == "pboot") ticks.dwPBoot = 1;
        else if (strItem == "phone") ticks.dwPhone = 1;
        else if (strItem == "efs") ticks.dwEfs = 1;
        else if (strItem == "eboot") ticks.dwEboot = 1;
        else if (strItem == "pda") ticks.dwPda = 1;
        else if (strItem == "csc") ticks.dwCarrier = 1;
        else if (strItem == "hidden") ticks.dwHidden = 1;
        else if (!strItem.empty()) {
            strBad = strItem;
            return false;
        }
        bAny = bAny || !strItem.empty();
        nPos = nEnd + 1;
    }
    return bAny;
}

// Two names of one device (a link such as a by-id name, or the node itself) would put one phone
// on two channels: the second cannot open it and fails a phone that the first one flashed. And a
// results file that is an image would have records appended to the image.
bool SameFile(const std::string& strA, const std::string& strB)
{
    if (strA == strB) return true;
    struct stat stA, stB;
    return ::stat(strA.c_str(), &stA) == 0 && ::stat(strB.c_str(), &stB) == 0 && stA.st_dev == stB.st_dev &&
           stA.st_ino == stB.st_ino;
}

}  // namespace

int HEADLESS_Usage(const std::string& strWhy)
{
    std::fprintf(stderr, "quillon-flash: %s (try --help)\n", TERMINAL_PlainText(strWhy).c_str());
    return EXIT_USAGE;
}

int HEADLESS_ParseArgs(int argc, char** argv, OPTIONS& opt)
{
    enum : int { O_PHONE, O_EBOOT, O_PDA, O_CSC, O_HIDDEN, O_MODEL, O_SELECT, O_CSC_ENTRY,
                 O_CSC_PRIORITY, O_MISMATCH, O_REBOOT_WAIT, O_STALL, O_JSON, O_PLAIN, O_RESULTS,
                 O_WATCH, O_MQTT, O_MQTT_PASSWORD_FILE, O_STATION, O_HELP, O_VERSION };
    static const int s_anImage[] = {IMAGE_PHONE, IMAGE_EBOOT, IMAGE_PDA, IMAGE_CSC, IMAGE_HIDDEN};
    CCommandLine cli("quillon-flash", argc, argv,
                     {{"phone", true, O_PHONE}, {"eboot", true, O_EBOOT}, {"pda", true, O_PDA},
                      {"csc", true, O_CSC}, {"hidden", true, O_HIDDEN}, {"model", true, O_MODEL},
                      {"select", true, O_SELECT}, {"csc-entry", true, O_CSC_ENTRY},
                      {"csc-priority", true, O_CSC_PRIORITY},
                      {"on-partition-mismatch", true, O_MISMATCH},
                      {"reboot-wait", true, O_REBOOT_WAIT}, {"stall-timeout", true, O_STALL},
                      {"json", false, O_JSON}, {"plain", false, O_PLAIN},
                      {"results", true, O_RESULTS}, {"watch", false, O_WATCH},
                      {"mqtt", true, O_MQTT}, {"mqtt-password-file", true, O_MQTT_PASSWORD_FILE},
                      {"station", true, O_STATION}, {"help", false, O_HELP, 'h'},
                      {"version", false, O_VERSION}});
    std::string strValue;
    uint64_t qw = 0;
    for (int nOption; (nOption = cli.Next(strValue)) != CLI_END;) {
        switch (nOption) {
        case CLI_ERROR: return EXIT_USAGE;
        case O_HELP: std::fputs(g_szUsage, stdout); return -1;
        case O_VERSION: std::printf("quillon-flash %s\n", VERSION_NUMBER); return -1;
        case O_JSON: opt.bJson = true; break;
        case O_PLAIN: opt.bPlain = true; break;
        case O_PHONE: case O_EBOOT: case O_PDA: case O_CSC: case O_HIDDEN:
            if (strValue.empty()) return HEADLESS_Usage(cli.Name() + " needs a file");
            opt.astrImage[s_anImage[nOption - O_PHONE]] = strValue;
            break;
        case O_MODEL:
            if (!cli.Number(strValue, 0, MODEL_COUNT - 1, &qw)) return EXIT_USAGE;
            opt.nModel = static_cast<int>(qw);
            break;
        case O_SELECT: {
            std::string strBad;
            if (!ParseSelect(strValue, opt.ticks, strBad))
                return HEADLESS_Usage(strBad.empty() ? "--select names no region" : "unknown region in --select: " + strBad);
            opt.bSelectGiven = true;
            break;
        }
        case O_CSC_ENTRY:
            opt.strCscEntry = strValue;
            opt.bCscEntryGiven = true;
            break;
        case O_CSC_PRIORITY:
            if (!cli.Number(strValue, 0, 1, &qw)) return EXIT_USAGE;
            opt.bCscPriority = qw == 1;
            break;
        case O_MISMATCH:
            if (strValue != "yes" && strValue != "no")
                return HEADLESS_Usage("--on-partition-mismatch takes yes or no, not '" + strValue + "'");
            opt.bYesToMismatch = strValue == "yes";
            break;
        case O_REBOOT_WAIT:
            if (!cli.Number(strValue, 0, 86400, &qw)) return EXIT_USAGE;
            opt.nRebootWaitSec = static_cast<int>(qw);
            break;
        case O_STALL:
            if (!cli.Number(strValue, 0, 86400, &qw)) return EXIT_USAGE;
            opt.nStallTimeoutSec = static_cast<int>(qw);
            break;
        case O_RESULTS:
            if (strValue.empty()) return HEADLESS_Usage("--results needs a file");
            opt.strResults = strValue;
            break;
        case O_WATCH: opt.bWatch = true; break;
        case O_MQTT:
            if (strValue.empty()) return HEADLESS_Usage("--mqtt needs a broker URL");
            opt.strMqttUrl = strValue;
            break;
        case O_MQTT_PASSWORD_FILE:
            if (strValue.empty()) return HEADLESS_Usage("--mqtt-password-file needs a file");
            opt.strMqttPasswordFile = strValue;
            break;
        case O_STATION: {
            const std::string strProblem = LINE_StationNameProblem(strValue);
            if (!strProblem.empty()) return HEADLESS_Usage("--station: " + strProblem);
            opt.strStation = strValue;
            break;
        }
        }
    }
    opt.astrPorts = cli.Operands();
    // A PORT beside --watch would be a second way to give that phone a channel.
    if (opt.bWatch && !opt.astrPorts.empty())
        return HEADLESS_Usage("--watch takes phones as they arrive: give no PORT with it");
    if (!opt.bWatch && opt.astrPorts.empty()) return HEADLESS_Usage("no PORT given");
    if (!opt.strMqttPasswordFile.empty() && opt.strMqttUrl.empty())
        return HEADLESS_Usage("--mqtt-password-file needs --mqtt");
    if (opt.astrPorts.size() > MAX_CHANNEL) return HEADLESS_Usage("at most 8 PORTs");
    for (size_t i = 0; i < opt.astrPorts.size(); ++i)
        for (size_t j = 0; j < i; ++j)
            if (SameFile(opt.astrPorts[i], opt.astrPorts[j]))
                return HEADLESS_Usage(("PORT given twice: " + opt.astrPorts[i]).c_str());
    if (opt.astrImage[IMAGE_PHONE].empty()) return HEADLESS_Usage("a Phone image (--phone) is required");
    // An image is never written to.
    for (const std::string& strImage : opt.astrImage)
        if (!opt.strResults.empty() && !strImage.empty() && SameFile(opt.strResults, strImage))
            return HEADLESS_Usage(("--results names an image file: " + opt.strResults).c_str());

    if (!opt.bSelectGiven) {
        opt.ticks = MODEL_TICKS{};
        opt.ticks.dwPBoot = opt.ticks.dwPhone = 1;
        opt.ticks.dwEboot = !opt.astrImage[IMAGE_EBOOT].empty();
        opt.ticks.dwPda = !opt.astrImage[IMAGE_PDA].empty();
        opt.ticks.dwCarrier = !opt.astrImage[IMAGE_CSC].empty();
    }
    struct {
        uint32_t dwTick;
        int nKind;
        const char* szWhy;
    } aNeed[] = {{opt.ticks.dwEboot, IMAGE_EBOOT, "eboot is selected without --eboot"},
                 {opt.ticks.dwPda, IMAGE_PDA, "pda is selected without --pda"},
                 {opt.ticks.dwCarrier, IMAGE_CSC, "csc is selected without --csc"},
                 {opt.ticks.dwHidden, IMAGE_HIDDEN, "hidden is selected without --hidden"}};
    for (const auto& n : aNeed)
        if (n.dwTick && opt.astrImage[n.nKind].empty()) return HEADLESS_Usage(n.szWhy);
    if (opt.bCscEntryGiven && opt.astrImage[IMAGE_CSC].empty())
        return HEADLESS_Usage("--csc-entry needs --csc");
    return 0;
}
