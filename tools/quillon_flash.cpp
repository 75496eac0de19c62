// quillon-flash: the station without a window, for production-line automation. The same
// engine and Start orchestration as the dialog flash up to eight phones, one per serial port
// given; every log line and every change of a bar's text is printed, prefixed with its channel.
// On a terminal it draws one line per channel in place instead, and a summary at the end.
// The program lives in headless/; this is its entry.

#include <cstdlib>

#include "headless/options.h"
#include "station/terminal_output.h"
#include "headless/run.h"

int main(int argc, char** argv)
{
    if (!HEADLESS_OpenStandardDescriptors()) return EXIT_USAGE;
    HEADLESS_InstallSignals();
    OPTIONS opt;
    const int nParse = HEADLESS_ParseArgs(argc, argv, opt);
    if (nParse < 0) return EXIT_PASS;
    if (nParse > 0) return nParse;

    static CTerminalOutput s_out;
    const int nStatus = HEADLESS_Run(opt, s_out);
    s_out.Finish();
    if (HEADLESS_WriterLeft()) std::_Exit(nStatus);
    return nStatus;
}
