// The headless station's event loop for the port sources: every descriptor a source hands over
// is polled by the main thread, which runs its handler there, as the window's event loop does.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "ports/port_source.h"

class CPollReadWatches {
public:
    CPollReadWatches() = default;
    CPollReadWatches(const CPollReadWatches&) = delete;
    CPollReadWatches& operator=(const CPollReadWatches&) = delete;

    // What the sources are given; their watches must end before the registry does.
    READ_WATCH_FN Maker();
    // Waits at most nTimeoutMs for a watched descriptor and runs the handler of each one that
    // is readable.
    void Poll(int nTimeoutMs);

    struct ENTRY;

private:
    std::vector<std::shared_ptr<ENTRY>> m_apEntries;
};
