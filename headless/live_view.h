// quillon-flash on a terminal: one line per channel redrawn in place (its bar's text, a percent
// bar, the seconds since it started) and a summary table at the end, drawn from the bars' state
// by the main thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "engine/orchestration.h"
#include "station/terminal_output.h"

class CVarnDLCore;

// From now on a resize of the terminal (SIGWINCH) makes the next frame be drawn afresh.
void HEADLESS_WatchResize();

// The terminal view: one line per channel (its bar's text, a percent bar, seconds since it
// started), redrawn in place by the main thread from the bars' state, and a summary table at
// the end. What needs the reader's eye beside the bars (questions answered, messages, a results
// file that cannot be written) is printed above the lines; any thread may add such a note.
class CLiveView {
public:
    CLiveView(CVarnDLCore& core, const STATION_THREADS& threads, size_t nChannels, CTerminalOutput& out);

    void Note(const std::string& strLine);
    // Main thread. A frame only when the terminal has taken the last one, so that a terminal
    // that stops reading holds up no memory; the last frame is always drawn.
    void Draw(bool bFinal = false);
    void Summary();

private:
    static constexpr int DRAW_INTERVAL_MS = 200;
    static constexpr int BAR_WIDTH = 20;

    // The terminal's width, 80 when it does not say. A line is kept one short of it: a line
    // that fills the last column leaves some terminals' cursor past it.
    static size_t Columns();
    bool Started(int nCh) const;
    bool Ended(int nCh) const;
    std::string PortName(int nCh) const;
    std::string ChannelLine(int nCh, size_t nColumns) const;

    CVarnDLCore& m_core;
    const STATION_THREADS& m_threads;
    const size_t m_nChannels;
    CTerminalOutput& m_out;
    std::mutex m_csNotes;
    std::vector<std::string> m_astrNotes;
    bool m_bDrawn = false;
    std::vector<size_t> m_anDrawnWidth;  // the columns each channel line took when last drawn
    std::chrono::steady_clock::time_point m_lastDraw;
};
