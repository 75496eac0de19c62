// quillon-flash's run: the images checked as the dialog checks them, the ports given their
// channels, the engine started and watched until every channel has ended, interrupts turned into
// the stops the dialog's Cancel makes, and the exit status.
#pragma once

#include "headless/options.h"
#include "station/terminal_output.h"

// A descriptor 0-2 left closed by the caller (>&-) would be taken by the first file or port
// opened, and the phone would receive the log text meant for standard output. false when one
// cannot be put in place.
bool HEADLESS_OpenStandardDescriptors();
// SIGINT, SIGTERM and SIGHUP are counted for the run to act on; a reader that went away
// (| head -1) ends the printing, never a download.
void HEADLESS_InstallSignals();

// The run itself, once the command line is accepted; the exit status.
int HEADLESS_Run(const OPTIONS& opt, CTerminalOutput& out);

// The result writer was stuck in its disk at the end and let go: the program must end without
// running the destructors of what it may still use.
bool HEADLESS_WriterLeft();
