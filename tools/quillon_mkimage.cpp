// quillon-mkimage: writes image files for the station (Phone, Eboot, PDA, CSC, Hidden, in the
// new or old descriptor format, Multi-CSC containers and marked single CSC files) and shows the
// descriptor block of any file.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "sim/command_line.h"
#include "sim/image_builder.h"

namespace {

const char* const HELP =
    "Usage:\n"
    "  quillon-mkimage --set DIR [options]     a standard image set: phone.bin, eboot.eb0,\n"
    "                                          pda.pda, csc.csc and hidden.hid in DIR\n"
    "                                          (made if missing)\n"
    "      --seed N            seed of the pseudo-random data (default 1)\n"
    "      --old               old 160-byte descriptor blocks (no CSC or Hidden image then)\n"
    "      --csc plain|marked|multi   the CSC form (default plain)\n"
    "      --csc-entries N     entries of a Multi-CSC container (default 3)\n"
    "      --csc-size-in-pda   the PDA image announces the CSC size\n"
    "      --qcsbl B --oemsbl B --amss B --fota B --appsbl B --pda B --csc-bytes B\n"
    "                          data lengths in bytes (PDA and plain CSC count file bytes,\n"
    "                          2,056 per page with its spare bytes)\n"
    "      --efs2-erase B --hidden-erase B   erase sizes (Hidden 0 = no Hidden image)\n"
    "  quillon-mkimage --kind K --out FILE [options]   one image of kind phone, eboot, pda,\n"
    "                                          csc, hidden or unified\n"
    "      --old               old 160-byte block (nine regions)\n"
    "      --region I:START:OFFSET:LENGTH:ERASE   region I (0-10) of the block; LENGTH bytes\n"
    "                          of data are written at OFFSET\n"
    "      --data I=FILE       region I's data from FILE (its LENGTH defaults to the file's)\n"
    "      --seed N --head W   seed of the data; the block's head word\n"
    "      --kind-word W --start-marker W --end-marker W   write these words as given\n"
    "      --body B            bytes before the block (default: the end of the last region)\n"
    "  quillon-mkimage --multi-csc FILE --entry NAME:BYTES|NAME=DATAFILE ... [--carrier S:E]\n"
    "                                          a Multi-CSC container, entries in order\n"
    "  quillon-mkimage --marked-csc FILE (--bytes B | --data-file F) [--carrier S:E]\n"
    "                                          a marked single CSC file\n"
    "  quillon-mkimage --inspect FILE          prints the descriptor block, or why the station\n"
    "                                          refuses the file (exit status 1)\n"
    "  quillon-mkimage --help\n"
    "Numbers may be decimal or 0x hexadecimal. No binary images need be kept: the same seed\n"
    "writes the same bytes.\n";


bool ParseU32(const std::string& str, uint32_t* pdw)
{
    uint64_t qw;
    if (!CLI_ParseNumber(str, &qw) || qw > 0xFFFFFFFFull) return false;
    *pdw = static_cast<uint32_t>(qw);
    return true;
}


int Fail(const std::string& str)
{
    std::fprintf(stderr, "quillon-mkimage: %s\n", str.c_str());
    return 2;
}

int KindOf(const std::string& str)
{
    static const std::map<std::string, int> kinds = {{"unified", IMAGE_UNIFIED}, {"phone", IMAGE_PHONE},
                                                     {"eboot", IMAGE_EBOOT},     {"pda", IMAGE_PDA},
                                                     {"csc", IMAGE_CSC},         {"hidden", IMAGE_HIDDEN}};
    auto it = kinds.find(str);
    return it == kinds.end() ? -1 : it->second;
}

void PrintSet(const IMAGE_SET& set)
{
    static const char* const aszNames[REGION_COUNT] = {"MIBIB", "QCSBL", "OEMSBL", "AMSS",
                                                       "EFS2",  "FOTA",  "APPSBL", "(7)",
                                                       "PDA",   "CARRIER", "HIDDEN"};
    for (const std::string* p : {&set.strPhone, &set.strEboot, &set.strPda, &set.strCsc, &set.strHidden}) {
        if (!p->empty()) std::printf("wrote %s\n", p->c_str());
    }
    for (int i = 0; i < REGION_COUNT; ++i) {
        std::printf("flash %-7s 0x%08X erase 0x%08X\n", aszNames[i], set.aFlash[i].StartAddr,
                    set.aFlash[i].EraseLength);
    }
    for (const auto& str : set.astrCscNames) std::printf("csc entry %s\n", str.c_str());
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        std::fputs(HELP, stderr);
        return 2;
    }
    std::string strMode, strTarget, strOut;
    IMAGE_SET_SIZES sizes;
    IMAGE_DESC desc;
    uint32_t dwSeed = 1;
    bool bSeedGiven = false;
    std::map<int, std::string> dataFiles;
    std::vector<MULTICSC_ENTRY_SPEC> aEntries;
    uint32_t dwCarrier = 0x01000000, dwCarrierErase = 0x00200000;
    uint32_t dwBytes = 0;
    std::string strDataFile;

    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string* pstr) {
            if (i + 1 >= args.size()) return false;
            *pstr = args[++i];
            return true;
        };
        auto number = [&](uint32_t* pdw) {
            std::string str;
            return value(&str) && ParseU32(str, pdw);
        };
        std::string v;
        if (a == "--help" || a == "-h") {
            std::fputs(HELP, stdout);
            return 0;
        } else if (a == "--set" || a == "--inspect" || a == "--multi-csc" || a == "--marked-csc") {
            if (!strMode.empty() || !value(&strTarget)) return Fail("one of --set, --kind, --inspect, --multi-csc, --marked-csc, with its argument");
            strMode = a;
        } else if (a == "--kind") {
            if (!strMode.empty() || !value(&v) || KindOf(v) < 0) return Fail("--kind phone|eboot|pda|csc|hidden|unified");
            strMode = a;
            desc.eKind = static_cast<ImageKind>(KindOf(v));
            desc.bNoTrailer = desc.eKind == IMAGE_HIDDEN;
        } else if (a == "--out") {
            if (!value(&strOut)) return Fail("--out FILE");
        } else if (a == "--seed") {
            if (!number(&dwSeed)) return Fail("--seed N");
            bSeedGiven = true;
        } else if (a == "--old") {
            sizes.bOldFormat = true;
            desc.bOldFormat = true;
        } else if (a == "--csc") {
            if (!value(&v)) return Fail("--csc plain|marked|multi");
            if (v == "plain") sizes.eCsc = CSC_PLAIN;
            else if (v == "marked") sizes.eCsc = CSC_MARKED;
            else if (v == "multi") sizes.eCsc = CSC_MULTI;
            else return Fail("--csc plain|marked|multi");
        } else if (a == "--csc-entries") {
            if (!number(&sizes.dwCscEntries)) return Fail("--csc-entries N");
        } else if (a == "--csc-size-in-pda") {
            sizes.bCscSizeInPda = true;
        } else if (a == "--qcsbl" || a == "--oemsbl" || a == "--amss" || a == "--fota" ||
                   a == "--appsbl" || a == "--pda" || a == "--csc-bytes" || a == "--efs2-erase" ||
                   a == "--hidden-erase") {
            uint32_t* p = a == "--qcsbl"        ? &sizes.dwQcsbl
                          : a == "--oemsbl"     ? &sizes.dwOemsbl
                          : a == "--amss"       ? &sizes.dwAmss
                          : a == "--fota"       ? &sizes.dwFota
                          : a == "--appsbl"     ? &sizes.dwAppsbl
                          : a == "--pda"        ? &sizes.dwPda
                          : a == "--csc-bytes"  ? &sizes.dwCsc
                          : a == "--efs2-erase" ? &sizes.dwEfs2Erase
                                                : &sizes.dwHiddenErase;
            if (!number(p)) return Fail(a + " BYTES");
        } else if (a == "--region") {
            const auto parts = value(&v) ? CLI_Split(v, ':') : std::vector<std::string>{};
            uint32_t aw[5];
            if (parts.size() != 5) return Fail("--region I:START:OFFSET:LENGTH:ERASE");
            for (int k = 0; k < 5; ++k) {
                if (!ParseU32(parts[k], &aw[k])) return Fail("--region I:START:OFFSET:LENGTH:ERASE");
            }
            if (aw[0] >= REGION_COUNT) return Fail("--region: I is 0 to 10");
            desc.aRegion[aw[0]] = {aw[1], aw[2], aw[3], aw[4]};
        } else if (a == "--data") {
            const size_t nEq = value(&v) ? v.find('=') : std::string::npos;
            uint32_t dwIndex;
            if (nEq == std::string::npos || !ParseU32(v.substr(0, nEq), &dwIndex) || dwIndex >= REGION_COUNT) {
                return Fail("--data I=FILE");
            }
            dataFiles[static_cast<int>(dwIndex)] = v.substr(nEq + 1);
        } else if (a == "--head" || a == "--kind-word" || a == "--start-marker" || a == "--end-marker") {
            uint32_t* p = a == "--head"           ? &desc.dwHeadWord
                          : a == "--kind-word"    ? &desc.dwKindWord
                          : a == "--start-marker" ? &desc.dwStartMarker
                                                  : &desc.dwEndMarker;
            if (!number(p)) return Fail(a + " WORD");
        } else if (a == "--body") {
            std::string str;
            if (!value(&str) || !CLI_ParseNumber(str, &desc.qwBodyLength)) return Fail("--body BYTES");
        } else if (a == "--entry") {
            MULTICSC_ENTRY_SPEC entry;
            if (!value(&v)) return Fail("--entry NAME:BYTES or NAME=FILE");
            const size_t nEq = v.find('=');
            const size_t nColon = v.rfind(':');
            if (nEq != std::string::npos) {
                entry.strName = v.substr(0, nEq);
                entry.strPath = v.substr(nEq + 1);
            } else if (nColon != std::string::npos && ParseU32(v.substr(nColon + 1), &entry.dwLength)) {
                entry.strName = v.substr(0, nColon);
            } else {
                return Fail("--entry NAME:BYTES or NAME=FILE");
            }
            aEntries.push_back(entry);
        } else if (a == "--carrier") {
            const auto parts = value(&v) ? CLI_Split(v, ':') : std::vector<std::string>{};
            if (parts.size() != 2 || !ParseU32(parts[0], &dwCarrier) || !ParseU32(parts[1], &dwCarrierErase)) {
                return Fail("--carrier START:ERASE");
            }
        } else if (a == "--bytes") {
            if (!number(&dwBytes)) return Fail("--bytes B");
        } else if (a == "--data-file") {
            if (!value(&strDataFile)) return Fail("--data-file FILE");
        } else {
            return Fail("unknown option " + a + " (see --help)");
        }
    }

    std::string strError;
    if (strMode == "--inspect") {
        std::string strText;
        const bool bOk = IMAGE_BUILDER_Inspect(strTarget, &strText);
        std::fputs(strText.c_str(), stdout);
        return bOk ? 0 : 1;
    }
    if (strMode == "--set") {
        std::error_code ec;
        std::filesystem::create_directories(strTarget, ec);
        if (ec) return Fail("cannot create " + strTarget + ": " + ec.message());
        IMAGE_SET set;
        if (!IMAGE_BUILDER_WriteStandardSet(strTarget, dwSeed, sizes, &set, &strError)) return Fail(strError);
        PrintSet(set);
        return 0;
    }
    if (strMode == "--multi-csc") {
        if (aEntries.empty()) return Fail("--multi-csc needs at least one --entry");
        for (size_t i = 0; i < aEntries.size(); ++i) aEntries[i].dwSeed = dwSeed * 0x01000193u + 200 + static_cast<uint32_t>(i);
        if (!IMAGE_BUILDER_WriteMultiCsc(strTarget, aEntries, dwCarrier, dwCarrierErase, &strError)) return Fail(strError);
        std::printf("wrote %s\n", strTarget.c_str());
        return 0;
    }
    if (strMode == "--marked-csc") {
        if (dwBytes == 0 && strDataFile.empty()) return Fail("--marked-csc needs --bytes or --data-file");
        if (!strDataFile.empty()) {
            FILE* p = std::fopen(strDataFile.c_str(), "rb");
            if (p == nullptr) return Fail("cannot read " + strDataFile);
            std::fseek(p, 0, SEEK_END);
            dwBytes = static_cast<uint32_t>(std::ftell(p));
            std::fclose(p);
        }
        if (!IMAGE_BUILDER_WriteMarkedCsc(strTarget, dwBytes, dwSeed, strDataFile, dwCarrier, dwCarrierErase, &strError)) {
            return Fail(strError);
        }
        std::printf("wrote %s\n", strTarget.c_str());
        return 0;
    }
    if (strMode == "--kind") {
        if (strOut.empty()) return Fail("--kind needs --out FILE");
        (void)bSeedGiven;
        for (int i = 0; i < REGION_COUNT; ++i) {
            REGION_INFO& r = desc.aRegion[i];
            auto it = dataFiles.find(i);
            IMAGE_PIECE piece;
            piece.qwOffset = r.FileOffset;
            if (it != dataFiles.end()) {
                FILE* p = std::fopen(it->second.c_str(), "rb");
                if (p == nullptr) return Fail("cannot read " + it->second);
                std::fseek(p, 0, SEEK_END);
                const long nSize = std::ftell(p);
                std::fclose(p);
                if (r.DataLength == 0) r.DataLength = static_cast<uint32_t>(nSize);
                piece.eFill = FILL_FILE;
                piece.strPath = it->second;
            } else {
                piece.dwSeed = dwSeed * 0x01000193u + static_cast<uint32_t>(i);
            }
            piece.qwLength = r.DataLength;
            // An old block carries nine regions; the last two describe nothing in its file.
            if (r.DataLength != 0 && (!desc.bOldFormat || i < static_cast<int>(TRAILER_OLD_REGIONS))) {
                desc.aPieces.push_back(piece);
            }
        }
        if (desc.eKind == IMAGE_HIDDEN && desc.aPieces.empty() && desc.qwBodyLength != 0) {
            IMAGE_PIECE piece;
            piece.qwLength = desc.qwBodyLength;
            piece.dwSeed = dwSeed * 0x01000193u + REGION_HIDDEN;
            desc.aPieces.push_back(piece);
        }
        if (!IMAGE_BUILDER_Write(strOut, desc, &strError)) return Fail(strError);
        std::printf("wrote %s\n", strOut.c_str());
        return 0;
    }
    return Fail("nothing to do (see --help)");
}
