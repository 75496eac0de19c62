#include "sim/flash_model.h"

#include <algorithm>
#include <cstring>

CFlashModel::CFlashModel(uint64_t qwSize) : m_qwSize(qwSize) {}

bool CFlashModel::InRange(uint32_t dwAddr, uint64_t qwLength) const
{
    return static_cast<uint64_t>(dwAddr) + qwLength <= m_qwSize;
}

CFlashModel::BLOCK* CFlashModel::Block(uint32_t dwIndex)
{
    auto it = m_blocks.find(dwIndex);
    if (it != m_blocks.end()) {
        return it->second.get();
    }
    auto pBlock = std::make_unique<BLOCK>();
    std::memset(pBlock.get(), 0xFF, sizeof(BLOCK));
    BLOCK* p = pBlock.get();
    m_blocks.emplace(dwIndex, std::move(pBlock));
    return p;
}

const CFlashModel::BLOCK* CFlashModel::FindBlock(uint32_t dwIndex) const
{
    auto it = m_blocks.find(dwIndex);
    return it == m_blocks.end() ? nullptr : it->second.get();
}

void CFlashModel::ProgramByte(uint8_t& byCell, uint8_t byValue)
{
    if ((byCell & byValue) != byValue) {
        ++m_qwBytesUnerased;
    }
    byCell &= byValue;
}

bool CFlashModel::Erase(uint32_t dwAddr, uint32_t dwLength)
{
    if (!InRange(dwAddr, dwLength)) {
        return false;
    }
    if (dwLength == 0) {
        return true;
    }
    const uint64_t qwEnd = static_cast<uint64_t>(dwAddr) + dwLength;
    uint64_t qwPos = dwAddr;
    while (qwPos < qwEnd) {
        const uint32_t dwIndex = static_cast<uint32_t>(qwPos / FLASH_CHUNK_SIZE);
        const uint64_t qwBlockStart = static_cast<uint64_t>(dwIndex) * FLASH_CHUNK_SIZE;
        const uint64_t qwBlockEnd = qwBlockStart + FLASH_CHUNK_SIZE;
        const uint64_t qwStop = std::min(qwEnd, qwBlockEnd);
        if (qwPos == qwBlockStart && qwStop == qwBlockEnd) {
            m_blocks.erase(dwIndex);
        } else if (auto it = m_blocks.find(dwIndex); it != m_blocks.end()) {
            BLOCK* p = it->second.get();
            const uint32_t dwFrom = static_cast<uint32_t>(qwPos - qwBlockStart);
            const uint32_t dwTo = static_cast<uint32_t>(qwStop - qwBlockStart);
            std::memset(p->abyMain + dwFrom, 0xFF, dwTo - dwFrom);
            const uint32_t dwFirstPage = dwFrom / FLASH_PAGE_SIZE;
            const uint32_t dwLastPage = (dwTo - 1) / FLASH_PAGE_SIZE;
            std::memset(p->abySpare + dwFirstPage * FLASH_SPARE_SIZE, 0xFF,
                        (dwLastPage - dwFirstPage + 1) * FLASH_SPARE_SIZE);
        }
        qwPos = qwStop;
    }
    UnmarkWritten(dwAddr, qwEnd);
    return true;
}

bool CFlashModel::Program(uint32_t dwAddr, const uint8_t* pbyData, uint32_t dwLength)
{
    if (!InRange(dwAddr, dwLength)) {
        return false;
    }
    uint32_t dwDone = 0;
    while (dwDone < dwLength) {
        const uint64_t qwPos = static_cast<uint64_t>(dwAddr) + dwDone;
        const uint32_t dwIndex = static_cast<uint32_t>(qwPos / FLASH_CHUNK_SIZE);
        const uint32_t dwIn = static_cast<uint32_t>(qwPos % FLASH_CHUNK_SIZE);
        const uint32_t dwCount = std::min(dwLength - dwDone, FLASH_CHUNK_SIZE - dwIn);
        BLOCK* p = Block(dwIndex);
        for (uint32_t i = 0; i < dwCount; ++i) {
            ProgramByte(p->abyMain[dwIn + i], pbyData[dwDone + i]);
        }
        dwDone += dwCount;
    }
    m_qwBytesProgrammed += dwLength;
    if (dwLength != 0) {
        MarkWritten(dwAddr, static_cast<uint64_t>(dwAddr) + dwLength);
    }
    return true;
}

bool CFlashModel::Load(uint32_t dwAddr, const uint8_t* pbyData, uint32_t dwLength)
{
    if (!InRange(dwAddr, dwLength)) {
        return false;
    }
    for (uint32_t i = 0; i < dwLength; ++i) {
        const uint64_t qwPos = static_cast<uint64_t>(dwAddr) + i;
        Block(static_cast<uint32_t>(qwPos / FLASH_CHUNK_SIZE))->abyMain[qwPos % FLASH_CHUNK_SIZE] =
            pbyData[i];
    }
    return true;
}

bool CFlashModel::ProgramPages(uint32_t dwAddr, const uint8_t* pbySlots, uint32_t nSlots)
{
    if (dwAddr % FLASH_PAGE_SIZE != 0 ||
        !InRange(dwAddr, static_cast<uint64_t>(nSlots) * FLASH_PAGE_SIZE)) {
        return false;
    }
    for (uint32_t k = 0; k < nSlots; ++k) {
        const uint8_t* pbySlot = pbySlots + static_cast<size_t>(k) * FLASH_SLOT_SIZE;
        const uint32_t dwPageAddr = dwAddr + k * FLASH_PAGE_SIZE;
        Program(dwPageAddr, pbySlot, FLASH_PAGE_SIZE);
        const uint32_t dwPage = dwPageAddr / FLASH_PAGE_SIZE;
        BLOCK* p = Block(dwPage / FLASH_PAGES_PER_CHUNK);
        uint8_t* pbySpare = p->abySpare + (dwPage % FLASH_PAGES_PER_CHUNK) * FLASH_SPARE_SIZE;
        for (uint32_t i = 0; i < FLASH_SPARE_SIZE; ++i) {
            ProgramByte(pbySpare[i], pbySlot[FLASH_PAGE_SIZE + i]);
        }
    }
    return true;
}

void CFlashModel::Read(uint32_t dwAddr, uint8_t* pbyOut, uint32_t dwLength) const
{
    uint32_t dwDone = 0;
    while (dwDone < dwLength) {
        const uint64_t qwPos = static_cast<uint64_t>(dwAddr) + dwDone;
        const uint32_t dwIn = static_cast<uint32_t>(qwPos % FLASH_CHUNK_SIZE);
        const uint32_t dwCount = std::min(dwLength - dwDone, FLASH_CHUNK_SIZE - dwIn);
        const BLOCK* p = qwPos < m_qwSize
                             ? FindBlock(static_cast<uint32_t>(qwPos / FLASH_CHUNK_SIZE))
                             : nullptr;
        if (p != nullptr) {
            std::memcpy(pbyOut + dwDone, p->abyMain + dwIn, dwCount);
        } else {
            std::memset(pbyOut + dwDone, 0xFF, dwCount);
        }
        dwDone += dwCount;
    }
}

std::vector<uint8_t> CFlashModel::Read(uint32_t dwAddr, uint32_t dwLength) const
{
    std::vector<uint8_t> aby(dwLength);
    Read(dwAddr, aby.data(), dwLength);
    return aby;
}

void CFlashModel::ReadSpare(uint32_t dwPage, uint8_t* pbyOut) const
{
    const BLOCK* p = FindBlock(dwPage / FLASH_PAGES_PER_CHUNK);
    if (p == nullptr) {
        std::memset(pbyOut, 0xFF, FLASH_SPARE_SIZE);
        return;
    }
    std::memcpy(pbyOut, p->abySpare + (dwPage % FLASH_PAGES_PER_CHUNK) * FLASH_SPARE_SIZE,
                FLASH_SPARE_SIZE);
}

void CFlashModel::MarkWritten(uint32_t dwAddr, uint64_t qwEnd)
{
    uint64_t qwStart = dwAddr;
    auto it = m_written.upper_bound(dwAddr);
    if (it != m_written.begin()) {
        auto prev = std::prev(it);
        if (prev->second >= qwStart) {
            qwStart = prev->first;
            qwEnd = std::max(qwEnd, prev->second);
            it = m_written.erase(prev);
        }
    }
    while (it != m_written.end() && it->first <= qwEnd) {
        qwEnd = std::max(qwEnd, it->second);
        it = m_written.erase(it);
    }
    m_written.emplace(static_cast<uint32_t>(qwStart), qwEnd);
}

void CFlashModel::UnmarkWritten(uint32_t dwAddr, uint64_t qwEnd)
{
    auto it = m_written.upper_bound(dwAddr);
    if (it != m_written.begin()) {
        auto prev = std::prev(it);
        if (prev->second > dwAddr) {
            const uint64_t qwOldEnd = prev->second;
            prev->second = dwAddr;
            if (prev->first == dwAddr) {
                m_written.erase(prev);
            }
            if (qwOldEnd > qwEnd) {
                m_written.emplace(static_cast<uint32_t>(qwEnd), qwOldEnd);
                return;
            }
        }
    }
    it = m_written.lower_bound(dwAddr);
    while (it != m_written.end() && it->first < qwEnd) {
        if (it->second > qwEnd) {
            const uint64_t qwOldEnd = it->second;
            m_written.erase(it);
            m_written.emplace(static_cast<uint32_t>(qwEnd), qwOldEnd);
            return;
        }
        it = m_written.erase(it);
    }
}

std::vector<std::pair<uint32_t, uint64_t>> CFlashModel::WrittenExtents() const
{
    return {m_written.begin(), m_written.end()};
}

void CFlashModel::Clear()
{
    m_blocks.clear();
    m_written.clear();
    m_qwBytesProgrammed = 0;
    m_qwBytesUnerased = 0;
}
