// A station's results file read as a feed of records for the line: every complete record after
// the point the broker has acknowledged, as one JSON object each (a CSV file's rows become objects
// by its header row), and that point kept beside the file (RESULTS.acked, replaced atomically), so
// that after an outage or a restart the rest is sent, and only the rest.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct FEED_RECORD {
    std::string strJson;  // one JSON object; "" for a line that is no record (passed over)
    uint64_t qwEnd = 0;   // the file offset just past it
};

class CRecordFeed {
public:
    CRecordFeed() = default;
    ~CRecordFeed();
    CRecordFeed(const CRecordFeed&) = delete;
    CRecordFeed& operator=(const CRecordFeed&) = delete;

    // Starts feeding strPath (which need not exist yet) from the point stored beside it.
    void Open(const std::string& strPath);
    void Close();

    // Looks at the file: a file replaced (another inode) or truncated below the acknowledged
    // point is fed again from its start, and true is returned with what happened in strWhat.
    bool Check(std::string& strWhat);
    // The complete records after the read point, at most nMax; the read point moves past them.
    std::vector<FEED_RECORD> Next(size_t nMax);
    // Reading starts again at the acknowledged point (what was read but not acknowledged is
    // read again): after a lost connection.
    void Rewind() { m_qwRead = m_qwAcked; }
    // Reading starts again at qwTo, a record's end at or before the acknowledged point: records
    // acknowledged by a broker that then died may never have been handed on.
    void RewindTo(uint64_t qwTo) { m_qwRead = qwTo < m_qwAcked ? qwTo : m_qwAcked; }
    // Everything up to qwEnd is acknowledged; stored beside the file by Store.
    void Acknowledge(uint64_t qwEnd);
    // Stores the acknowledged point when it moved since it was last stored: once for all the
    // acknowledgements that came together, since each store waits for the disk.
    void Store();
    uint64_t Acknowledged() const { return m_qwAcked; }
    // The reason the acknowledged point could not be stored, "" when it was.
    const std::string& StoreProblem() const { return m_strStoreProblem; }

    // The file that keeps the acknowledged point of a results file.
    static std::string AckedPath(const std::string& strPath) { return strPath + ".acked"; }

private:
    bool Reopen();
    // The end of the first complete record at or after qwFrom (0 when none yet), in m_strBuf.
    bool ReadRecord(uint64_t qwFrom, std::string& strRecord, uint64_t& qwEnd);
    std::string ToJson(const std::string& strRecord) const;

    std::string m_strPath;
    bool m_bCsv = false;
    int m_fd = -1;
    uint64_t m_qwInode = 0;
    uint64_t m_qwAcked = 0;
    uint64_t m_qwRead = 0;
    std::vector<std::string> m_astrHeader;  // a CSV file's column names
    std::string m_strStoreProblem;
    uint64_t m_qwStored = UINT64_MAX;
};

// The fields of one CSV record as a spreadsheet reads them (quotes undone, line end dropped).
std::vector<std::string> FEED_CsvFields(const std::string& strRecord);
