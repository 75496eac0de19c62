#include "sim/image_builder.h"

#include <sys/stat.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>

#include "images/multi_csc.h"

namespace {

constexpr uint64_t WINDOW = 1 << 20;
constexpr uint32_t ERASE_BLOCK = 0x20000;
constexpr uint32_t CHUNK = 0x8000;
constexpr uint32_t SPARE_CHUNK = 0x8080;
constexpr uint32_t CSC_PLAIN_EXTRA = 0x20000;  // the station erases this much beyond a plain CSC

const char* const REGION_NAMES[REGION_COUNT] = {"MIBIB", "QCSBL", "OEMSBL", "AMSS",
                                                "EFS2",  "FOTA",  "APPSBL", "(7)",
                                                "PDA",   "CARRIER", "HIDDEN"};
const char* const KIND_NAMES[] = {"Unified", "Phone", "Eboot", "PDA", "CSC", "Hidden"};

uint64_t SplitMix(uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

uint32_t RoundUp(uint64_t qw, uint32_t dwUnit)
{
    return static_cast<uint32_t>((qw + dwUnit - 1) / dwUnit * dwUnit);
}

uint32_t SpareFootprint(uint32_t dwFileBytes)
{
    return (dwFileBytes + SPARE_CHUNK - 1) / SPARE_CHUNK * CHUNK;
}

void PutWord(std::vector<uint8_t>& aby, size_t nOffset, uint32_t dw)
{
    std::memcpy(aby.data() + nOffset, &dw, 4);
}

uint32_t GetWord(const uint8_t* pby)
{
    uint32_t dw;
    std::memcpy(&dw, pby, 4);
    return dw;
}

void Fill(const IMAGE_PIECE& piece, uint64_t qwFrom, uint8_t* pbyOut, uint64_t qwCount,
          std::ifstream* pFile)
{
    switch (piece.eFill) {
    case FILL_SEEDED:
        for (uint64_t i = 0; i < qwCount; ++i) {
            pbyOut[i] = IMAGE_BUILDER_SeededByte(piece.dwSeed, qwFrom + i);
        }
        break;
    case FILL_BYTES:
        if (!piece.aby.empty()) {
            for (uint64_t i = 0; i < qwCount; ++i) {
                pbyOut[i] = piece.aby[(qwFrom + i) % piece.aby.size()];
            }
        }
        break;
    case FILL_FILE:
        std::memset(pbyOut, 0, qwCount);
        if (pFile != nullptr && *pFile) {
            pFile->clear();
            pFile->seekg(static_cast<std::streamoff>(qwFrom));
            pFile->read(reinterpret_cast<char*>(pbyOut), static_cast<std::streamsize>(qwCount));
            pFile->clear();
        }
        break;
    }
}

std::string Hex(uint32_t dw)
{
    char sz[16];
    std::snprintf(sz, sizeof(sz), "0x%08X", dw);
    return sz;
}

uint64_t FileLength(const std::string& strPath)
{
    struct stat st {};
    return stat(strPath.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

}  // namespace

uint8_t IMAGE_BUILDER_SeededByte(uint32_t dwSeed, uint64_t qwOffset)
{
    const uint64_t qwWord = SplitMix((static_cast<uint64_t>(dwSeed) << 40) ^ (qwOffset / 8));
    return static_cast<uint8_t>(qwWord >> (8 * (qwOffset % 8)));
}

std::vector<uint8_t> IMAGE_BUILDER_Trailer(const IMAGE_DESC& desc)
{
    const uint32_t dwSize = desc.bOldFormat ? TRAILER_OLD_SIZE : TRAILER_NEW_SIZE;
    std::vector<uint8_t> aby(dwSize, 0);
    const uint32_t dwKind = desc.dwKindWord != 0xFFFFFFFF ? desc.dwKindWord
                            : desc.bOldFormat             ? 1u << desc.eKind
                                                          : static_cast<uint32_t>(desc.eKind);
    PutWord(aby, 0, desc.dwStartMarker != 0xFFFFFFFF ? desc.dwStartMarker : TRAILER_START_MARKER);
    PutWord(aby, 4, dwKind);
    PutWord(aby, 8, desc.dwHeadWord);
    const int nRegions = desc.bOldFormat ? static_cast<int>(TRAILER_OLD_REGIONS) : REGION_COUNT;
    for (int i = 0; i < nRegions; ++i) {
        std::memcpy(aby.data() + 12 + 16 * i, &desc.aRegion[i], 16);
    }
    PutWord(aby, dwSize - 4, desc.dwEndMarker != 0xFFFFFFFF ? desc.dwEndMarker : TRAILER_END_MARKER);
    return aby;
}

namespace {

uint64_t BodyLength(const IMAGE_DESC& desc)
{
    uint64_t qwBody = desc.qwBodyLength;
    if (qwBody == 0) {
        for (const auto& piece : desc.aPieces) {
            qwBody = std::max(qwBody, piece.qwOffset + piece.qwLength);
        }
    }
    return qwBody;
}

// The data files of the FILL_FILE pieces, one slot per piece (null for the others).
bool OpenPieceFiles(const IMAGE_DESC& desc, std::vector<std::unique_ptr<std::ifstream>>* papFiles,
                    std::string* pstrError)
{
    for (const auto& piece : desc.aPieces) {
        if (piece.eFill == FILL_FILE) {
            papFiles->push_back(std::make_unique<std::ifstream>(piece.strPath, std::ios::binary));
            if (!*papFiles->back()) {
                if (pstrError) *pstrError = "cannot read " + piece.strPath;
                return false;
            }
        } else {
            papFiles->push_back(nullptr);
        }
    }
    return true;
}

// Body bytes [qwPos, qwPos + qwCount), every piece painted over the zeros in order.
void PaintBody(const IMAGE_DESC& desc, const std::vector<std::unique_ptr<std::ifstream>>& apFiles,
               uint64_t qwPos, uint8_t* pbyOut, uint64_t qwCount)
{
    std::memset(pbyOut, 0, qwCount);
    const uint64_t qwEnd = qwPos + qwCount;
    for (size_t k = 0; k < desc.aPieces.size(); ++k) {
        const IMAGE_PIECE& piece = desc.aPieces[k];
        const uint64_t qwFrom = std::max(qwPos, piece.qwOffset);
        const uint64_t qwTo = std::min(qwEnd, piece.qwOffset + piece.qwLength);
        if (qwFrom < qwTo) {
            Fill(piece, qwFrom - piece.qwOffset, pbyOut + (qwFrom - qwPos), qwTo - qwFrom,
                 apFiles[k].get());
        }
    }
}

}  // namespace

bool IMAGE_BUILDER_Write(const std::string& strPath, const IMAGE_DESC& desc,
                         std::string* pstrError)
{
    const uint64_t qwBody = BodyLength(desc);
    std::ofstream out(strPath, std::ios::binary | std::ios::trunc);
    if (!out) {
        if (pstrError) *pstrError = "cannot create " + strPath;
        return false;
    }
    std::vector<std::unique_ptr<std::ifstream>> apFiles;
    if (!OpenPieceFiles(desc, &apFiles, pstrError)) {
        return false;
    }
    // A window at a time, so images larger than memory can be written.
    std::vector<uint8_t> abyWindow(WINDOW);
    for (uint64_t qwPos = 0; qwPos < qwBody; qwPos += WINDOW) {
        const uint64_t qwCount = std::min(qwBody - qwPos, WINDOW);
        PaintBody(desc, apFiles, qwPos, abyWindow.data(), qwCount);
        out.write(reinterpret_cast<const char*>(abyWindow.data()),
                  static_cast<std::streamsize>(qwCount));
    }
    if (!desc.bNoTrailer) {
        const auto abyTrailer = IMAGE_BUILDER_Trailer(desc);
        out.write(reinterpret_cast<const char*>(abyTrailer.data()),
                  static_cast<std::streamsize>(abyTrailer.size()));
    }
    out.close();
    if (!out) {
        if (pstrError) *pstrError = "cannot write " + strPath;
        return false;
    }
    return true;
}

bool IMAGE_BUILDER_Render(const IMAGE_DESC& desc, std::vector<uint8_t>* paby,
                          std::string* pstrError)
{
    std::vector<std::unique_ptr<std::ifstream>> apFiles;
    if (!OpenPieceFiles(desc, &apFiles, pstrError)) {
        return false;
    }
    paby->resize(BodyLength(desc));
    PaintBody(desc, apFiles, 0, paby->data(), paby->size());
    if (!desc.bNoTrailer) {
        const auto abyTrailer = IMAGE_BUILDER_Trailer(desc);
        paby->insert(paby->end(), abyTrailer.begin(), abyTrailer.end());
    }
    return true;
}

std::vector<uint8_t> IMAGE_BUILDER_PartitionTable(const REGION_INFO (&aFlash)[REGION_COUNT])
{
    std::vector<uint8_t> aby(2048, 0xFF);
    const char szMagic[16] = "QUILLON PARTS 1";
    std::memcpy(aby.data(), szMagic, 16);
    for (int i = 0; i < REGION_COUNT; ++i) {
        uint8_t* pby = aby.data() + 16 + 32 * i;
        std::memset(pby, 0, 32);
        std::memcpy(pby, REGION_NAMES[i], std::strlen(REGION_NAMES[i]));
        std::memcpy(pby + 16, &aFlash[i].StartAddr, 4);
        std::memcpy(pby + 20, &aFlash[i].EraseLength, 4);
    }
    return aby;
}

bool IMAGE_BUILDER_WriteMarkedCsc(const std::string& strPath, uint32_t dwLength, uint32_t dwSeed,
                                  const std::string& strDataPath, uint32_t dwCarrierStart,
                                  uint32_t dwCarrierErase, std::string* pstrError)
{
    if (dwLength < 128) {
        if (pstrError) *pstrError = "a marked CSC needs at least 128 data bytes";
        return false;
    }
    IMAGE_DESC desc;
    desc.eKind = IMAGE_CSC;
    desc.bOldFormat = true;
    IMAGE_PIECE data;
    data.qwLength = dwLength;
    if (!strDataPath.empty()) {
        data.eFill = FILL_FILE;
        data.strPath = strDataPath;
    } else {
        data.dwSeed = dwSeed;
    }
    desc.aPieces.push_back(data);
    IMAGE_PIECE mark;
    mark.eFill = FILL_BYTES;
    mark.qwLength = 4;
    mark.aby = {0xCC, 0xCC, 0xCC, 0xCC};
    desc.aPieces.push_back(mark);
    mark.qwOffset = 124;
    mark.aby = {0xEE, 0xEE, 0xEE, 0xEE};
    desc.aPieces.push_back(mark);
    desc.aRegion[REGION_PDA] = {dwCarrierStart, 0, dwLength, dwCarrierErase};
    return IMAGE_BUILDER_Write(strPath, desc, pstrError);
}

bool IMAGE_BUILDER_MultiCscDesc(const std::vector<MULTICSC_ENTRY_PLAN>& aEntries,
                                uint32_t dwCarrierStart, uint32_t dwCarrierErase,
                                IMAGE_DESC* pDesc, std::string* pstrError)
{
    if (aEntries.empty() || aEntries.size() > MULTICSC_MAX_ENTRIES) {
        if (pstrError) *pstrError = "a container holds 1 to 1,023 entries";
        return false;
    }
    IMAGE_DESC desc;
    desc.eKind = IMAGE_CSC;
    desc.bOldFormat = true;
    std::vector<uint8_t> abyHeader(MULTICSC_HEADER_SIZE, 0);
    PutWord(abyHeader, 0, MULTICSC_START_MARKER);
    PutWord(abyHeader, MULTICSC_COUNT_OFFSET, static_cast<uint32_t>(aEntries.size()));
    PutWord(abyHeader, MULTICSC_END_OFFSET, MULTICSC_END_MARKER);
    uint64_t qwOffset = MULTICSC_HEADER_SIZE;
    for (size_t i = 0; i < aEntries.size(); ++i) {
        const MULTICSC_ENTRY_PLAN& entry = aEntries[i];
        uint32_t dwLength = entry.dwLength;
        if (!entry.strPath.empty()) {
            dwLength = static_cast<uint32_t>(FileLength(entry.strPath));
        }
        if (entry.strName.size() > MULTICSC_NAME_SIZE) {
            if (pstrError) *pstrError = "entry name longer than 32 bytes: " + entry.strName;
            return false;
        }
        const uint32_t dwErase = entry.dwCarrierErase ? entry.dwCarrierErase : dwCarrierErase;
        const size_t nEntry = MULTICSC_ENTRY_BASE + MULTICSC_ENTRY_SIZE * i;
        std::memcpy(abyHeader.data() + nEntry + MULTICSC_NAME_OFFSET, entry.strName.data(),
                    entry.strName.size());
        PutWord(abyHeader, nEntry + MULTICSC_SIZE_OFFSET, dwLength + TRAILER_OLD_SIZE);
        PutWord(abyHeader, nEntry + MULTICSC_DATA_OFFSET, static_cast<uint32_t>(qwOffset));

        IMAGE_PIECE data;
        data.qwOffset = qwOffset;
        data.qwLength = dwLength;
        if (!entry.strPath.empty()) {
            data.eFill = FILL_FILE;
            data.strPath = entry.strPath;
        } else {
            data.dwSeed = entry.dwSeed;
        }
        desc.aPieces.push_back(data);
        IMAGE_DESC embedded;
        embedded.eKind = IMAGE_CSC;
        embedded.bOldFormat = true;
        embedded.aRegion[REGION_PDA] = {dwCarrierStart, 0, dwLength, dwErase};
        IMAGE_PIECE trailer;
        trailer.eFill = FILL_BYTES;
        trailer.qwOffset = qwOffset + dwLength;
        trailer.qwLength = TRAILER_OLD_SIZE;
        trailer.aby = IMAGE_BUILDER_Trailer(embedded);
        desc.aPieces.push_back(trailer);
        if (i == 0) {
            desc.aRegion[REGION_PDA] = {dwCarrierStart, static_cast<uint32_t>(qwOffset), dwLength,
                                        dwErase};
        }
        qwOffset = RoundUp(qwOffset + dwLength + TRAILER_OLD_SIZE, 0x800);
    }
    IMAGE_PIECE header;
    header.eFill = FILL_BYTES;
    header.qwLength = MULTICSC_HEADER_SIZE;
    header.aby = std::move(abyHeader);
    desc.aPieces.insert(desc.aPieces.begin(), header);
    desc.qwBodyLength = qwOffset;
    *pDesc = std::move(desc);
    return true;
}

bool IMAGE_BUILDER_WriteMultiCsc(const std::string& strPath,
                                 const std::vector<MULTICSC_ENTRY_PLAN>& aEntries,
                                 uint32_t dwCarrierStart, uint32_t dwCarrierErase,
                                 std::string* pstrError)
{
    IMAGE_DESC desc;
    return IMAGE_BUILDER_MultiCscDesc(aEntries, dwCarrierStart, dwCarrierErase, &desc, pstrError) &&
           IMAGE_BUILDER_Write(strPath, desc, pstrError);
}

bool IMAGE_BUILDER_WriteStandardSet(const std::string& strDir, uint32_t dwSeed,
                                    const IMAGE_SET_SIZES& sizes, IMAGE_SET* pSet,
                                    std::string* pstrError)
{
    IMAGE_SET set;
    REGION_INFO(&aFlash)[REGION_COUNT] = set.aFlash;
    const bool bPacked = sizes.eCsc != CSC_PLAIN;
    if (!bPacked && sizes.adwEraseLength[REGION_CARRIER] != 0 &&
        sizes.adwEraseLength[REGION_CARRIER] < CSC_PLAIN_EXTRA) {
        if (pstrError) *pstrError = "the CARRIER erase of a plain CSC must be at least 0x20000";
        return false;
    }
    if (sizes.dwHiddenErase != 0 && sizes.dwHiddenErase < 0xA0000 && !sizes.bOldFormat) {
        if (pstrError) *pstrError = "the Hidden erase size must be at least 0xA0000";
        return false;
    }

    // Flash layout.
    uint32_t dwAddr = 0;
    auto place = [&](int nIndex, uint32_t dwFootprint) {
        aFlash[nIndex].StartAddr = dwAddr;
        aFlash[nIndex].EraseLength =
            sizes.adwEraseLength[nIndex]
                ? sizes.adwEraseLength[nIndex]
                : std::max<uint32_t>(RoundUp(dwFootprint, ERASE_BLOCK), ERASE_BLOCK);
        dwAddr += aFlash[nIndex].EraseLength;
    };
    place(REGION_MIBIB, 0x80000);
    place(REGION_QCSBL, RoundUp(sizes.dwQcsbl, CHUNK));
    place(REGION_OEMSBL, RoundUp(sizes.dwOemsbl, CHUNK));
    place(REGION_AMSS, RoundUp(sizes.dwAmss, CHUNK));
    place(REGION_EFS2, sizes.dwEfs2Erase);
    place(REGION_FOTA, RoundUp(sizes.dwFota, CHUNK));
    place(REGION_APPSBL, RoundUp(sizes.dwAppsbl, CHUNK));
    place(REGION_RESERVED, ERASE_BLOCK);
    place(REGION_PDA, SpareFootprint(sizes.dwPda));
    // One block more than the data need, which is what the station adds to a plain CSC's size.
    place(REGION_CARRIER,
          (bPacked ? RoundUp(sizes.dwCsc, CHUNK) : SpareFootprint(sizes.dwCsc)) + ERASE_BLOCK);
    place(REGION_HIDDEN, sizes.dwHiddenErase);
    set.abyPartitionTable = IMAGE_BUILDER_PartitionTable(aFlash);

    const std::string strBase = strDir.empty() || strDir.back() == '/' ? strDir : strDir + "/";
    auto seedOf = [&](uint32_t dwTag) { return dwSeed * 0x01000193u + dwTag; };
    auto seeded = [&](uint64_t qwOffset, uint64_t qwLength, uint32_t dwTag) {
        IMAGE_PIECE piece;
        piece.qwOffset = qwOffset;
        piece.qwLength = qwLength;
        piece.dwSeed = seedOf(dwTag);
        return piece;
    };

    // Phone: MIBIB areas, header blocks and partition table at the offsets the station reads.
    IMAGE_DESC phone;
    phone.eKind = IMAGE_PHONE;
    phone.bOldFormat = sizes.bOldFormat;
    phone.dwHeadWord = 0x51554C31;
    phone.aPieces.push_back(seeded(0, CHUNK, 100));
    phone.aPieces.push_back(seeded(0x40000, 0x20000, 101));
    phone.aPieces.push_back(seeded(0x41800, 512, 102));
    phone.aPieces.push_back(seeded(0x42000, 512, 103));
    IMAGE_PIECE table;
    table.eFill = FILL_BYTES;
    table.qwOffset = PARTITION_TABLE_OFFSET;
    table.qwLength = 2048;
    table.aby = set.abyPartitionTable;
    phone.aPieces.push_back(table);
    for (int i = 0; i < REGION_COUNT; ++i) {
        phone.aRegion[i].StartAddr = aFlash[i].StartAddr;
        phone.aRegion[i].EraseLength = aFlash[i].EraseLength;
    }
    phone.aRegion[REGION_MIBIB].DataLength = 0x60000;
    uint32_t dwOffset = 0x60000;
    const std::pair<int, uint32_t> aPhoneData[] = {{REGION_QCSBL, sizes.dwQcsbl},
                                                   {REGION_OEMSBL, sizes.dwOemsbl},
                                                   {REGION_AMSS, sizes.dwAmss},
                                                   {REGION_FOTA, sizes.dwFota}};
    for (const auto& [nIndex, dwLength] : aPhoneData) {
        phone.aRegion[nIndex].FileOffset = dwOffset;
        phone.aRegion[nIndex].DataLength = dwLength;
        phone.aPieces.push_back(seeded(dwOffset, dwLength, static_cast<uint32_t>(nIndex)));
        dwOffset = RoundUp(dwOffset + dwLength, 0x1000);
    }
    phone.qwBodyLength = dwOffset;
    // Carrier and Hidden lengths follow from their erase areas (what the station computes).
    phone.aRegion[REGION_CARRIER].DataLength = IMAGE_SpareDataLength(aFlash[REGION_CARRIER].EraseLength);
    phone.aRegion[REGION_HIDDEN].DataLength = IMAGE_SpareDataLength(aFlash[REGION_HIDDEN].EraseLength);
    set.strPhone = strBase + "phone.bin";
    if (!IMAGE_BUILDER_Write(set.strPhone, phone, pstrError)) {
        return false;
    }

    // Eboot: header blocks 2 and 3 at 0 and 0x800, then APPSBL and the side entry 7.
    IMAGE_DESC eboot;
    eboot.eKind = IMAGE_EBOOT;
    eboot.bOldFormat = sizes.bOldFormat;
    eboot.aPieces.push_back(seeded(0, 512, 104));
    eboot.aPieces.push_back(seeded(0x800, 512, 105));
    eboot.aRegion[REGION_APPSBL] = {aFlash[REGION_APPSBL].StartAddr, 0x1000, sizes.dwAppsbl,
                                    aFlash[REGION_APPSBL].EraseLength};
    eboot.aPieces.push_back(seeded(0x1000, sizes.dwAppsbl, REGION_APPSBL));
    const uint32_t dwSide = RoundUp(0x1000 + static_cast<uint64_t>(sizes.dwAppsbl), 0x1000);
    eboot.aRegion[REGION_RESERVED] = {aFlash[REGION_RESERVED].StartAddr, dwSide, 0x800,
                                      aFlash[REGION_RESERVED].EraseLength};
    eboot.aPieces.push_back(seeded(dwSide, 0x800, REGION_RESERVED));
    set.strEboot = strBase + "eboot.eb0";
    if (!IMAGE_BUILDER_Write(set.strEboot, eboot, pstrError)) {
        return false;
    }

    // PDA: data with spare bytes from the first byte.
    IMAGE_DESC pda;
    pda.eKind = IMAGE_PDA;
    pda.bOldFormat = sizes.bOldFormat;
    pda.aRegion[REGION_PDA] = {aFlash[REGION_PDA].StartAddr, 0, sizes.dwPda,
                               aFlash[REGION_PDA].EraseLength};
    if (sizes.bCscSizeInPda) {
        const uint32_t dwAnnounced = sizes.dwCscSizeAnnounced ? sizes.dwCscSizeAnnounced : sizes.dwCsc;
        pda.aRegion[REGION_RESERVED] = {CSC_SIZE_MARKER, dwAnnounced, 0, 0};
    }
    pda.aPieces.push_back(seeded(0, sizes.dwPda, REGION_PDA));
    set.strPda = strBase + "pda.pda";
    if (!IMAGE_BUILDER_Write(set.strPda, pda, pstrError)) {
        return false;
    }

    if (sizes.bOldFormat) {
        // An old Phone block has no CARRIER or HIDDEN area of its own.
        if (pSet) *pSet = std::move(set);
        return true;
    }

    set.strCsc = strBase + "csc.csc";
    const uint32_t dwCarrier = aFlash[REGION_CARRIER].StartAddr;
    const uint32_t dwCarrierErase = aFlash[REGION_CARRIER].EraseLength;
    bool bOk = true;
    if (sizes.eCsc == CSC_PLAIN) {
        IMAGE_DESC csc;
        csc.eKind = IMAGE_CSC;
        csc.aRegion[REGION_PDA] = {dwCarrier, 0, sizes.dwCsc, dwCarrierErase - CSC_PLAIN_EXTRA};
        csc.aPieces.push_back(seeded(0, sizes.dwCsc, REGION_CARRIER));
        bOk = IMAGE_BUILDER_Write(set.strCsc, csc, pstrError);
    } else if (sizes.eCsc == CSC_MARKED) {
        bOk = IMAGE_BUILDER_WriteMarkedCsc(set.strCsc, sizes.dwCsc, seedOf(REGION_CARRIER), "",
                                           dwCarrier, dwCarrierErase, pstrError);
    } else {
        static const char* const aszNames[] = {"ZULU", "ALPHA", "MIKE", "BRAVO", "YANKEE"};
        std::vector<MULTICSC_ENTRY_PLAN> aEntries;
        for (uint32_t i = 0; i < std::max<uint32_t>(1, sizes.dwCscEntries); ++i) {
            MULTICSC_ENTRY_PLAN entry;
            entry.strName = i < 5 ? aszNames[i] : "ENTRY" + std::to_string(i);
            // Entries differ in length too, so a wrong choice cannot pass unnoticed.
            entry.dwLength = sizes.dwCsc - std::min<uint32_t>(sizes.dwCsc / 2, i * 0x1000);
            entry.dwSeed = seedOf(200 + i);
            set.astrCscNames.push_back(entry.strName);
            aEntries.push_back(entry);
        }
        bOk = IMAGE_BUILDER_WriteMultiCsc(set.strCsc, aEntries, dwCarrier, dwCarrierErase,
                                          pstrError);
    }
    if (!bOk) {
        return false;
    }

    if (sizes.dwHiddenErase != 0) {
        IMAGE_DESC hidden;
        hidden.eKind = IMAGE_HIDDEN;
        hidden.bNoTrailer = true;
        const uint32_t dwHidden = IMAGE_SpareDataLength(sizes.dwHiddenErase);
        hidden.aPieces.push_back(seeded(0, dwHidden, REGION_HIDDEN));
        set.strHidden = strBase + "hidden.hid";
        if (!IMAGE_BUILDER_Write(set.strHidden, hidden, pstrError)) {
            return false;
        }
    }
    if (pSet) *pSet = std::move(set);
    return true;
}

bool IMAGE_BUILDER_Inspect(const std::string& strPath, std::string* pstrText)
{
    std::string& str = *pstrText;
    str.clear();
    std::ifstream in(strPath, std::ios::binary);
    struct stat st {};
    if (!in || stat(strPath.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        str = strPath + ": refused: cannot be opened as a regular file\n";
        return false;
    }
    const uint64_t qwLength = static_cast<uint64_t>(st.st_size);
    str += strPath + ": " + std::to_string(qwLength) + " bytes\n";
    if (qwLength <= TRAILER_NEW_SIZE) {
        str += "refused: a file of 192 bytes or fewer carries no descriptor block "
               "(a Hidden image is judged by its length alone)\n";
        return false;
    }
    uint8_t abyTail[TRAILER_NEW_SIZE];
    in.seekg(static_cast<std::streamoff>(qwLength - TRAILER_NEW_SIZE));
    in.read(reinterpret_cast<char*>(abyTail), TRAILER_NEW_SIZE);
    uint8_t abyHead[128] = {};
    in.clear();
    in.seekg(0);
    in.read(reinterpret_cast<char*>(abyHead), sizeof(abyHead));

    IMAGE_TRAILER trailer{};
    TrailerFormat eFormat = TRAILER_REFUSED;
    std::string strKinds;
    for (int nKind = IMAGE_UNIFIED; nKind <= IMAGE_CSC; ++nKind) {
        IMAGE_TRAILER t{};
        const TrailerFormat e = IMAGE_ParseTrailer(abyTail, nKind, &t);
        if (e == TRAILER_REFUSED) {
            continue;
        }
        strKinds += std::string(strKinds.empty() ? "" : ", ") + KIND_NAMES[nKind] +
                    (e == TRAILER_NEW ? " (192-byte block)" : " (160-byte block)");
        if (eFormat == TRAILER_REFUSED || (eFormat == TRAILER_OLD && e == TRAILER_NEW)) {
            eFormat = e;
            trailer = t;
        }
    }
    if (eFormat == TRAILER_REFUSED) {
        const uint8_t* pbyOld = abyTail + TRAILER_NEW_SIZE - TRAILER_OLD_SIZE;
        str += "refused: no descriptor block of any kind; last 192 bytes: start " +
               Hex(GetWord(abyTail)) + ", kind " + Hex(GetWord(abyTail + 4)) + ", end " +
               Hex(GetWord(abyTail + 188)) + "; last 160 bytes: start " + Hex(GetWord(pbyOld)) +
               ", kind " + Hex(GetWord(pbyOld + 4)) + ", end " + Hex(GetWord(pbyOld + 156)) +
               " (a Hidden image carries none: the station accepts it by its length alone)\n";
        return false;
    }
    str += "format: " + std::string(eFormat == TRAILER_NEW ? "new, 192 bytes" : "old, 160 bytes") +
           "\n";
    str += "accepted as: " + strKinds + "\n";
    str += "kind word: " + Hex(trailer.dwKind) + "\n";
    str += "head word: " + Hex(trailer.dwHeadWord) + "\n";
    str += "region     StartAddr   FileOffset  DataLength  EraseLength\n";
    const int nRegions = eFormat == TRAILER_NEW ? REGION_COUNT : static_cast<int>(TRAILER_OLD_REGIONS);
    for (int i = 0; i < nRegions; ++i) {
        const REGION_INFO& r = trailer.aRegion[i];
        char sz[128];
        std::snprintf(sz, sizeof(sz), "%2d %-7s %s  %s  %s  %s\n", i, REGION_NAMES[i],
                      Hex(r.StartAddr).c_str(), Hex(r.FileOffset).c_str(),
                      Hex(r.DataLength).c_str(), Hex(r.EraseLength).c_str());
        str += sz;
    }
    if (trailer.aRegion[REGION_RESERVED].StartAddr == CSC_SIZE_MARKER) {
        str += "csc size: " + std::to_string(trailer.aRegion[REGION_RESERVED].FileOffset) + "\n";
    }

    const uint32_t dwFirst = GetWord(abyHead);
    const uint32_t dwMark = GetWord(abyHead + 124);
    if (dwFirst == 0xCCCCCCCC && dwMark == 0xEEEEEEEE) {
        str += "marked single CSC: " + std::to_string(qwLength - TRAILER_OLD_SIZE) +
               " data bytes from offset 0\n";
    } else if (dwFirst == 0xAAAAAAAA && dwMark == 0xBBBBBBBB) {
        std::vector<uint8_t> abyHeader(MULTICSC_HEADER_SIZE, 0);
        in.clear();
        in.seekg(0);
        in.read(reinterpret_cast<char*>(abyHeader.data()), MULTICSC_HEADER_SIZE);
        const uint32_t dwCount = GetWord(abyHeader.data() + 36);
        str += "Multi-CSC container: " + std::to_string(dwCount) + " entries\n";
        if (dwCount == 0 || dwCount > 1023) {
            str += "refused: the entry count must be 1 to 1,023\n";
            return false;
        }
        for (uint32_t i = 0; i < dwCount; ++i) {
            const uint8_t* pby = abyHeader.data() + 128 + 128 * i;
            char szName[33] = {};
            std::memcpy(szName, pby + 4, 32);
            const uint32_t dwSize = GetWord(pby + 36);
            const uint32_t dwOffset = GetWord(pby + 44);
            const bool bInside = static_cast<uint64_t>(dwOffset) + dwSize <= qwLength &&
                                 dwSize >= TRAILER_OLD_SIZE;
            char sz[160];
            std::snprintf(sz, sizeof(sz), "  entry %u \"%s\" offset %s size %s%s\n", i, szName,
                          Hex(dwOffset).c_str(), Hex(dwSize).c_str(),
                          bInside ? "" : " (refused: lies outside the file)");
            str += sz;
        }
    }
    return true;
}
