// quillon-downloader: the flash station's window.

#include <cstdio>

#include "console/varndl_app.h"
#include "settings/settings_store.h"
#include "station/version.h"

int main(int argc, char** argv)
{
    VARNDL_OPTIONS opt;
    if (!VARNDL_ParseArgs(argc, argv, opt)) return VARNDL_EXIT_USAGE;
    if (opt.bHelp) {
        std::fputs(VARNDL_USAGE, stdout);
        return VARNDL_EXIT_OK;
    }
    if (opt.bVersion) {
        std::printf("quillon-downloader %s\n", VERSION_NUMBER);
        return VARNDL_EXIT_OK;
    }
    if (!VARNDL_HasDisplay(argc, argv)) {
        std::fprintf(stderr, "quillon-downloader: %s\n", VARNDL_NO_DISPLAY_TEXT);
        return VARNDL_EXIT_USAGE;
    }
    CVarnDLApp app(argc, argv);
    CQtSettingsStore store;
    return app.InitInstance(opt, &store);
}
