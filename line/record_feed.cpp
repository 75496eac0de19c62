#include "line/record_feed.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

namespace {

// A record is a few kilobytes; a "line" much longer is a file that is no results file.
constexpr size_t RECORD_MAX = 1 << 20;
constexpr size_t READ_PIECE = 64 << 10;

bool EndsWith(const std::string& str, const char* szTail)
{
    const size_t n = std::strlen(szTail);
    return str.size() >= n && str.compare(str.size() - n, n, szTail) == 0;
}

// Writes strText to strPath so that a reader sees the old file or the new one, never a part.
bool WriteAtomically(const std::string& strPath, const std::string& strText, std::string& strError)
{
    const std::string strTemp = strPath + ".tmp" + std::to_string(::getpid());
    const int fd = ::open(strTemp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        strError = std::strerror(errno);
        return false;
    }
    const bool bWritten = ::write(fd, strText.data(), strText.size()) == static_cast<ssize_t>(strText.size()) &&
                          ::fsync(fd) == 0;
    const int nError = errno;
    ::close(fd);
    if (!bWritten || ::rename(strTemp.c_str(), strPath.c_str()) != 0) {
        strError = std::strerror(bWritten ? errno : nError);
        ::unlink(strTemp.c_str());
        return false;
    }
    return true;
}

}  // namespace

std::vector<std::string> FEED_CsvFields(const std::string& strRecord)
{
    std::vector<std::string> a(1);
    bool bQuoted = false;
    size_t nEnd = strRecord.size();
    while (nEnd > 0 && (strRecord[nEnd - 1] == '\n' || strRecord[nEnd - 1] == '\r')) --nEnd;
    for (size_t i = 0; i < nEnd; ++i) {
        const char c = strRecord[i];
        if (bQuoted && c == '"' && i + 1 < nEnd && strRecord[i + 1] == '"') {
            a.back() += '"';
            ++i;
        } else if (c == '"') {
            bQuoted = !bQuoted;
        } else if (c == ',' && !bQuoted) {
            a.emplace_back();
        } else {
            a.back() += c;
        }
    }
    return a;
}

CRecordFeed::~CRecordFeed() { Close(); }

void CRecordFeed::Open(const std::string& strPath)
{
    Close();
    m_strPath = strPath;
    m_bCsv = EndsWith(strPath, ".csv");
    m_qwAcked = m_qwRead = 0;
    m_qwInode = 0;
    unsigned long long qwOffset = 0, qwInode = 0;
    if (FILE* pFile = std::fopen(AckedPath(strPath).c_str(), "re")) {
        if (std::fscanf(pFile, "%llu %llu", &qwOffset, &qwInode) == 2) {
            m_qwAcked = m_qwRead = qwOffset;
            m_qwInode = qwInode;
        }
        std::fclose(pFile);
    }
}

void CRecordFeed::Close()
{
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
    m_astrHeader.clear();
}

bool CRecordFeed::Reopen()
{
    if (m_fd >= 0) ::close(m_fd);
    m_astrHeader.clear();
    m_fd = ::open(m_strPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    return m_fd >= 0;
}

bool CRecordFeed::Check(std::string& strWhat)
{
    struct stat stPath;
    if (::stat(m_strPath.c_str(), &stPath) != 0 || !S_ISREG(stPath.st_mode)) return false;
    struct stat stOpen;
    const bool bSame = m_fd >= 0 && ::fstat(m_fd, &stOpen) == 0 && stOpen.st_ino == stPath.st_ino &&
                       stOpen.st_dev == stPath.st_dev;
    if (!bSame && !Reopen()) return false;
    const uint64_t qwInode = static_cast<uint64_t>(stPath.st_ino);
    const uint64_t qwSize = static_cast<uint64_t>(stPath.st_size);
    // The first file fed: what was acknowledged before belongs to it.
    if (m_qwInode == 0 && m_qwAcked == 0) {
        m_qwInode = qwInode;
        return false;
    }
    if (qwInode == m_qwInode && qwSize >= m_qwAcked) return false;
    strWhat = qwInode != m_qwInode ? "was replaced" : "was truncated";
    m_qwInode = qwInode;
    m_qwAcked = m_qwRead = 0;
    Store();
    return true;
}

bool CRecordFeed::ReadRecord(uint64_t qwFrom, std::string& strRecord, uint64_t& qwEnd)
{
    strRecord.clear();
    bool bQuoted = false;
    char aby[READ_PIECE];
    uint64_t qwAt = qwFrom;
    for (;;) {
        const ssize_t n = ::pread(m_fd, aby, sizeof(aby), static_cast<off_t>(qwAt));
        if (n <= 0) return false;  // no complete record yet
        for (ssize_t i = 0; i < n; ++i) {
            const char c = aby[i];
            if (m_bCsv && c == '"') bQuoted = !bQuoted;
            if (c == '\n' && !bQuoted) {
                strRecord.append(aby, static_cast<size_t>(i) + 1);
                qwEnd = qwAt + static_cast<uint64_t>(i) + 1;
                return true;
            }
        }
        // An overlong line is kept no further than its bound, but read to its end.
        if (strRecord.size() < RECORD_MAX) strRecord.append(aby, static_cast<size_t>(n));
        qwAt += static_cast<uint64_t>(n);
    }
}

std::string CRecordFeed::ToJson(const std::string& strRecord) const
{
    if (strRecord.size() >= RECORD_MAX) return std::string();
    if (!m_bCsv) {
        const nlohmann::ordered_json json = nlohmann::ordered_json::parse(strRecord, nullptr, false);
        return json.is_object() ? json.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
                                : std::string();
    }
    const std::vector<std::string> astr = FEED_CsvFields(strRecord);
    if (m_astrHeader.empty() || (astr.size() == 1 && astr[0].empty())) return std::string();
    nlohmann::ordered_json json = nlohmann::ordered_json::object();
    for (size_t i = 0; i < m_astrHeader.size() && i < astr.size(); ++i) json[m_astrHeader[i]] = astr[i];
    // A file begun before records had ids keeps its old header: the id is the column after it.
    if (astr.size() == m_astrHeader.size() + 1 && !json.contains("id")) json["id"] = astr.back();
    return json.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::vector<FEED_RECORD> CRecordFeed::Next(size_t nMax)
{
    std::vector<FEED_RECORD> a;
    if (m_fd < 0) return a;
    std::string strRecord;
    uint64_t qwEnd = 0;
    // The header row is read again when the file is read from its start: it is no record.
    if (m_bCsv && (m_astrHeader.empty() || m_qwRead == 0)) {
        if (!ReadRecord(0, strRecord, qwEnd)) return a;
        m_astrHeader = FEED_CsvFields(strRecord);
        if (m_qwRead < qwEnd) a.push_back({std::string(), m_qwRead = qwEnd});
    }
    while (a.size() < nMax && ReadRecord(m_qwRead, strRecord, qwEnd)) {
        a.push_back({ToJson(strRecord), qwEnd});
        m_qwRead = qwEnd;
    }
    return a;
}

void CRecordFeed::Acknowledge(uint64_t qwEnd)
{
    if (qwEnd > m_qwAcked) m_qwAcked = qwEnd;
}

void CRecordFeed::Store()
{
    if (m_qwStored == m_qwAcked) return;
    m_qwStored = m_qwAcked;
    const std::string strText = std::to_string(m_qwAcked) + " " + std::to_string(m_qwInode) + "\n";
    std::string strError;
    m_strStoreProblem = WriteAtomically(AckedPath(m_strPath), strText, strError) ? std::string() : strError;
}
