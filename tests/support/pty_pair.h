// A pseudo-terminal pair that stands in for a phone's port in tests. The master side plays the
// phone; the slave side (/dev/pts/N) is what the station opens, after Register() has put it in
// the port table under a COM number. The line starts with the terminal defaults (cooked, with
// echo), as a port the station finds may: only the station's own opening makes it raw.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class CPtyPair {
public:
    CPtyPair();  // check IsOpen(): a machine without pseudo-terminals gives a closed pair
    ~CPtyPair();
    CPtyPair(const CPtyPair&) = delete;
    CPtyPair& operator=(const CPtyPair&) = delete;

    bool IsOpen() const { return m_hMaster >= 0; }
    int Master() const { return m_hMaster; }
    const std::string& SlavePath() const { return m_strSlave; }

    // Gives the slave the fixed number nPort in the port table; returns nPort, 0 when taken.
    uint32_t Register(uint32_t nPort);

    // Writes all bytes to the master (what the phone sends); false on an error or after 5 s.
    bool Send(const void* pData, size_t nCount);
    // Reads up to nCount bytes from the master (what the station sent), waiting at most
    // nTimeoutMs for them all; returns how many arrived.
    size_t Receive(void* pData, size_t nCount, int nTimeoutMs = 5000);
    // True when the station's bytes are waiting on the master within nTimeoutMs.
    bool WaitReadable(int nTimeoutMs);

    // The phone vanishes: the slave sees a hang-up, its writes fail.
    void CloseMaster();

private:
    int m_hMaster = -1;
    // Kept open so the line keeps its settings and the master no hang-up while the station has
    // the slave closed.
    int m_hSlave = -1;
    std::string m_strSlave;
};

// Waits until at least nCount bytes are queued for reading on hPort (the station's side of a
// pair), so a test knows bytes the phone sent have arrived; false after nTimeoutMs.
bool PTY_WaitQueued(int hPort, uint32_t nCount, int nTimeoutMs = 5000);
