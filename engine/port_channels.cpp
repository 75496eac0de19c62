#include "engine/port_channels.h"

#include <cstdio>

#include "engine/orchestration.h"
#include "link/serial_device.h"
#include "station/log.h"
#include "station/outcome.h"
#include "station/station_core.h"
#include "station/status.h"

int STATION_PortArrived(CVarnDLCore& core, STATION_THREADS& threads, uint32_t nPort,
                        const std::string& strDevNode, const PORT_BOX_FN& fnPortBox)
{
    if (nPort == 0) return -1;
    int nChosen = -1;
    for (int i = 0; i < MAX_CHANNEL; ++i) {
        if (core.m_aChannel[i].m_nComPort != nPort) continue;
        if (nChosen < 0) {
            nChosen = i;
        } else {
            core.m_aChannel[i].m_nComPort = 0;
            core.m_aChannel[i].m_bCycleEnd = 0;
            fnPortBox(i, 0, "");
        }
    }
    // A channel whose worker still runs (its phone pulled mid-cycle and not yet joined, or
    // rebooting after its lock) is no empty channel: that worker's last texts, PASS among them,
    // would land on the new phone's bar.
    for (int i = 0; nChosen < 0 && i < MAX_CHANNEL; ++i)
        if (core.m_aChannel[i].m_nComPort == 0 && !core.m_aChannel[i].m_bThreadStart && !core.m_aChannel[i].m_bRebootWait) nChosen = i;
    if (nChosen >= 0) {
        const int c = nChosen;
        core.m_aChannel[c].m_nComPort = nPort;
        core.m_aChannel[c].m_bCycleEnd = 0;
        threads.m_dwStartedAtArrival[c] = threads.m_dwStarted[c];
        fnPortBox(c, nPort, strDevNode);
        WriteLog(&core, c, core.m_csDisplay, "Detect COM%u Port\r\n", nPort);
        char szText[STATUS_TEXT_MAX + 1];
        std::snprintf(szText, sizeof(szText), " Ready - Detect COM%u Port", nPort);
        core.m_ctrlProgress[c].SetBarColor(0, 0, 200);
        core.m_ctrlProgress[c].ShowText(core.m_csDisplay, szText, 0);
        core.m_aChannel[c].m_bDownloadDone = 0;
    }
    // A passed phone's channel is released for the next one; its PASS text stays.
    for (int i = 0; i < MAX_CHANNEL; ++i) {
        const uint32_t n = core.m_aChannel[i].m_nComPort;
        if (n != 0 && n != nPort && core.m_aChannel[i].m_bCycleEnd == 1 && core.m_aChannel[i].m_bRebootWait != 1) core.m_aChannel[i].m_nComPort = 0;
    }
    return nChosen;
}

bool STATION_PortRemoved(CVarnDLCore& core, STATION_THREADS& threads, uint32_t nPort,
                         const PORT_BOX_FN& fnPortBox)
{
    int i = 0;
    while (i < MAX_CHANNEL && (nPort == 0 || core.m_aChannel[i].m_nComPort != nPort)) ++i;
    if (i == MAX_CHANNEL) return false;
    auto showPulled = [&] {
        char szText[STATUS_TEXT_MAX + 1];
        WriteLog(&core, i, core.m_csDisplay, "ERROR Disconnected COM%u Port\r\n", nPort);
        std::snprintf(szText, sizeof(szText), " ERROR!! Disconnected COM%u Port", nPort);
        OUTCOME_End(core, i, OUTCOME_DISCONNECTED, szText);
        core.m_ctrlProgress[i].ShowStatus(i, core.m_csDisplay, szText, Error, 100, 0);
    };
    if (core.m_aChannel[i].m_bThreadStart) {
        if (!core.m_aChannel[i].m_bDownloadDone) {
            if (!core.m_aChannel[i].m_bRebootWait) showPulled();
            core.m_aChannel[i].m_bCycleEnd = 1;
        }
        core.m_aChannel[i].m_nComPort = 0;
        // A locked phone reboots, so its port goes: its box keeps the port's name, greyed.
        if (!core.m_aChannel[i].m_bDownloadDone) fnPortBox(i, 0, "");
    } else if (!core.m_aChannel[i].m_bDownloadDone && !core.m_aChannel[i].m_bRebootWait) {
        // A tty hangs up the moment its device goes, before the removal reaches the station: a
        // worker of this phone that met the hang-up has often ended by now. Its phone was still
        // pulled mid-download, and says so, instead of looking like a failure seen and cleared.
        if (threads.m_dwStarted[i] != threads.m_dwStartedAtArrival[i] && SERIAL_DEVICE_IsHungUp(i)) {
            showPulled();
        } else {
            WriteLog(&core, i, core.m_csDisplay, "Disconnected COM%u Port\r\n", nPort);
            core.m_ctrlProgress[i].SetBarColor(0, 0, 255);
            core.m_ctrlProgress[i].ShowText(core.m_csDisplay, " Disconnected...", 0);
        }
        core.m_aChannel[i].m_nComPort = 0;
        fnPortBox(i, 0, "");
    }
    return true;
}
