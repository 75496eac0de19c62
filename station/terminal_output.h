// What the command-line programs need to show a live view on a terminal: text made safe for one
// line, its width in columns, whether the terminal can redraw lines in place, and an output
// buffer that a slow or vanished reader never lets hold up the program's own work.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>

// A line without its line end.
std::string TERMINAL_Chomp(std::string str);
// Text for one line: a control character (or a byte a terminal could take for one) is shown
// escaped, so that a newline in a name can never start a forged line of its own.
std::string TERMINAL_PlainText(const std::string& str);
// At most nColumns characters of a line (a UTF-8 sequence counts as one).
std::string TERMINAL_Fit(const std::string& str, size_t nColumns);
// The columns a line takes: its characters, without colour sequences.
size_t TERMINAL_Width(const std::string& str);
// Standard output's terminal width in columns, 0 when it does not say.
size_t TERMINAL_Columns();
// Standard output is a terminal that moves its cursor (TERM set, not "dumb") and is at least
// 20 columns wide (or does not say).
bool TERMINAL_CanRedraw();

// Everything printed goes through here: any thread appends; the main thread writes out what
// standard output takes at that moment. A reader that has gone away (EPIPE) ends the printing.
class CTerminalOutput {
public:
    CTerminalOutput();
    void Append(const std::string& str);
    // Main thread: writes what standard output takes now (waiting at most nWaitMs for it to
    // take anything); true when nothing is left over.
    bool Pump(int nWaitMs = 0);
    // Main thread: nothing is waiting to be written.
    bool Idle();
    // At the end: writes the rest while the reader keeps taking it.
    void Finish();

private:
    bool Gone();

    std::mutex m_cs;  // guards m_strPending and m_bGone
    std::string m_strPending;
    bool m_bGone = false;
    std::string m_strWriting;  // the main thread's own
    size_t m_nWritten = 0;
};
