// The NAND flash of a virtual phone: sparse, so a phone of hundreds of megabytes costs only what
// has been written; erased bytes read 0xFF and programming can only clear bits, as on real NAND.
// Every 2,048-byte page has 8 spare bytes kept apart from the main data (see CFlashModel).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

constexpr uint32_t FLASH_PAGE_SIZE = 2048;
constexpr uint32_t FLASH_SPARE_SIZE = 8;
constexpr uint32_t FLASH_SLOT_SIZE = FLASH_PAGE_SIZE + FLASH_SPARE_SIZE;  // a page as framed: 2,056
constexpr uint32_t FLASH_CHUNK_SIZE = 0x8000;                               // one write step
constexpr uint32_t FLASH_PAGES_PER_CHUNK = FLASH_CHUNK_SIZE / FLASH_PAGE_SIZE;
constexpr uint64_t FLASH_DEFAULT_SIZE = 0x10000000;  // 256 MiB

// Layout: the main area is one flat byte space, address A holding main byte A; a 32,896-byte
// page write at address A puts slot k's 2,048 data bytes at A + k * 2,048 (so the data of a
// region read back from the main area is contiguous, like its unpaged image) and the slot's
// 8 spare bytes into the spare area of page (A / 2,048) + k. The spare area is addressed by page
// number only. An erase clears the main bytes of its range and the spare bytes of every page it
// touches.
class CFlashModel {
public:
    explicit CFlashModel(uint64_t qwSize = FLASH_DEFAULT_SIZE);

    uint64_t Size() const { return m_qwSize; }
    // false (and nothing changed) when the range leaves the flash.
    bool Erase(uint32_t dwAddr, uint32_t dwLength);
    bool Program(uint32_t dwAddr, const uint8_t* pbyData, uint32_t dwLength);
    // nSlots slots of 2,056 bytes; dwAddr must be page aligned.
    bool ProgramPages(uint32_t dwAddr, const uint8_t* pbySlots, uint32_t nSlots);
    // Contents the part had before anyone programmed it: not counted as written.
    bool Load(uint32_t dwAddr, const uint8_t* pbyData, uint32_t dwLength);
    bool InRange(uint32_t dwAddr, uint64_t qwLength) const;

    void Read(uint32_t dwAddr, uint8_t* pbyOut, uint32_t dwLength) const;
    std::vector<uint8_t> Read(uint32_t dwAddr, uint32_t dwLength) const;
    void ReadSpare(uint32_t dwPage, uint8_t* pbyOut /* FLASH_SPARE_SIZE */) const;

    // Main-area ranges [start, end) programmed and not erased since, merged and in order.
    std::vector<std::pair<uint32_t, uint64_t>> WrittenExtents() const;
    // Bytes whose programming wanted a bit that was already 0: data written over data that was
    // not erased first. On a real part those bytes come out wrong.
    uint64_t BytesProgrammedUnerased() const { return m_qwBytesUnerased; }
    void Clear();

private:
    struct BLOCK {
        uint8_t abyMain[FLASH_CHUNK_SIZE];
        uint8_t abySpare[FLASH_PAGES_PER_CHUNK * FLASH_SPARE_SIZE];
    };
    BLOCK* Block(uint32_t dwIndex);  // created erased on first use
    const BLOCK* FindBlock(uint32_t dwIndex) const;
    void ProgramByte(uint8_t& byCell, uint8_t byValue);
    void MarkWritten(uint32_t dwAddr, uint64_t qwEnd);
    void UnmarkWritten(uint32_t dwAddr, uint64_t qwEnd);

    uint64_t m_qwSize;
    std::unordered_map<uint32_t, std::unique_ptr<BLOCK>> m_blocks;
    std::map<uint32_t, uint64_t> m_written;  // start -> end, disjoint and not touching
    uint64_t m_qwBytesProgrammed = 0;
    uint64_t m_qwBytesUnerased = 0;
};
