// What quillon-flash prints: one buffer that the workers only append to and the main thread
// empties as fast as the reader takes it, and the text of every line made safe for a terminal
// and for the line scripts that read it.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>

// A log line without its line end, for the plain output.
std::string HEADLESS_Chomp(std::string str);

// Text for the plain output, one line per event. A control character (or a byte a terminal
// could take for one) in a file name must not start a line of its own: a newline in a path
// would otherwise print a forged "Download PASS" line for a phone that failed.
std::string HEADLESS_PlainText(const std::string& str);

// Everything printed during a run goes through here. Workers, which print with the display lock
// held, only append to a buffer; the main thread writes it out between its scans, taking only
// what the reader accepts at that moment. A slow or stopped reader thus holds up no worker, and
// a reader that has gone away (EPIPE) ends the printing, never a download.
class COutput {
public:
    COutput();

    void Append(const std::string& str);
    // Main thread: writes what standard output takes now; true when nothing is left over.
    bool Pump(int nWaitMs = 0);
    // Main thread: nothing is waiting to be written.
    bool Idle();
    // At the end: writes the rest while the reader keeps taking it; a reader that takes nothing
    // for FINISH_IDLE_MS does not keep the program from ending.
    void Finish();

private:
    static constexpr size_t BUFFER_RESERVE = 64 * 1024;
    static constexpr int POLL_SLICE_MS = 100;
    static constexpr int FINISH_IDLE_MS = 30000;

    bool Gone();

    std::mutex m_cs;  // guards m_strPending and m_bGone
    std::string m_strPending;
    bool m_bGone = false;
    // The main thread's own.
    std::string m_strWriting;
    size_t m_nWritten = 0;
};
