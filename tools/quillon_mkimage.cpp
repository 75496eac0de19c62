// quillon-mkimage: writes image files for the station (Phone, Eboot, PDA, CSC, Hidden, in the
// new or old descriptor format, Multi-CSC containers and marked single CSC files) and shows the
// descriptor block of any file.
#include <sys/stat.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "sim/image_builder.h"
#include "station/command_line.h"
#include "station/version.h"

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
    "  quillon-mkimage --help | --version\n"
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
    if (argc < 2) {
        std::fputs(HELP, stderr);
        return 2;
    }
    std::string strMode, strTarget, strOut;
    IMAGE_SET_SIZES sizes;
    IMAGE_DESC desc;
    uint32_t dwSeed = 1;
    std::map<int, std::string> dataFiles;
    std::vector<MULTICSC_ENTRY_PLAN> aEntries;
    uint32_t dwCarrier = 0x01000000, dwCarrierErase = 0x00200000;
    uint32_t dwBytes = 0;
    std::string strDataFile;

    // Every option is told apart by its name; the ids only number them.
    static const char* const s_aszValue[] = {
        "set", "inspect", "multi-csc", "marked-csc", "kind", "out", "seed", "csc", "csc-entries",
        "qcsbl", "oemsbl", "amss", "fota", "appsbl", "pda", "csc-bytes", "efs2-erase",
        "hidden-erase", "region", "data", "head", "kind-word", "start-marker", "end-marker", "body",
        "entry", "carrier", "bytes", "data-file"};
    std::vector<CLI_OPTION> aOption;
    for (const char* sz : s_aszValue) aOption.push_back({sz, true, static_cast<int>(aOption.size())});
    for (const char* sz : {"old", "csc-size-in-pda", "help", "version"})
        aOption.push_back({sz, false, static_cast<int>(aOption.size())});
    aOption[aOption.size() - 2].cShort = 'h';  // --help
    CCommandLine cli("quillon-mkimage", argc, argv, aOption);
    const auto usage = [&cli](const std::string& str) {
        cli.Usage(str);
        return 2;
    };
    std::string v;
    for (int nOption; (nOption = cli.Next(v)) != CLI_END;) {
        if (nOption == CLI_ERROR) return 2;
        const std::string a = cli.Name();
        const auto number = [&](uint32_t* pdw) {
            uint64_t qw = 0;
            if (!cli.Number(v, 0, 0xFFFFFFFFull, &qw, true)) return false;
            *pdw = static_cast<uint32_t>(qw);
            return true;
        };
        if (a == "--help") {
            std::fputs(HELP, stdout);
            return 0;
        } else if (a == "--version") {
            std::printf("quillon-mkimage %s\n", VERSION_NUMBER);
            return 0;
        } else if (a == "--set" || a == "--inspect" || a == "--multi-csc" || a == "--marked-csc") {
            if (!strMode.empty()) return usage("one of --set, --kind, --inspect, --multi-csc, --marked-csc at a time");
            strTarget = v;
            strMode = a;
        } else if (a == "--kind") {
            if (!strMode.empty()) return usage("one of --set, --kind, --inspect, --multi-csc, --marked-csc at a time");
            if (KindOf(v) < 0) return usage("--kind takes phone, eboot, pda, csc, hidden or unified, not '" + v + "'");
            strMode = a;
            desc.eKind = static_cast<ImageKind>(KindOf(v));
            desc.bNoTrailer = desc.eKind == IMAGE_HIDDEN;
        } else if (a == "--out") {
            strOut = v;
        } else if (a == "--seed") {
            if (!number(&dwSeed)) return 2;
        } else if (a == "--old") {
            sizes.bOldFormat = true;
            desc.bOldFormat = true;
        } else if (a == "--csc") {
            if (v == "plain") sizes.eCsc = CSC_PLAIN;
            else if (v == "marked") sizes.eCsc = CSC_MARKED;
            else if (v == "multi") sizes.eCsc = CSC_MULTI;
            else return usage("--csc takes plain, marked or multi, not '" + v + "'");
        } else if (a == "--csc-entries") {
            if (!number(&sizes.dwCscEntries)) return 2;
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
            if (!number(p)) return 2;
        } else if (a == "--region") {
            const auto parts = CLI_Split(v, ':');
            uint32_t aw[5];
            bool bGood = parts.size() == 5;
            for (size_t k = 0; bGood && k < 5; ++k) bGood = ParseU32(parts[k], &aw[k]);
            if (!bGood) return usage("--region takes I:START:OFFSET:LENGTH:ERASE, not '" + v + "'");
            if (aw[0] >= REGION_COUNT) return usage("--region takes a region I from 0 to 10, not " + parts[0]);
            desc.aRegion[aw[0]] = {aw[1], aw[2], aw[3], aw[4]};
        } else if (a == "--data") {
            const size_t nEq = v.find('=');
            uint32_t dwIndex;
            if (nEq == std::string::npos || !ParseU32(v.substr(0, nEq), &dwIndex) || dwIndex >= REGION_COUNT) {
                return usage("--data takes I=FILE with I from 0 to 10, not '" + v + "'");
            }
            dataFiles[static_cast<int>(dwIndex)] = v.substr(nEq + 1);
        } else if (a == "--head" || a == "--kind-word" || a == "--start-marker" || a == "--end-marker") {
            uint32_t* p = a == "--head"           ? &desc.dwHeadWord
                          : a == "--kind-word"    ? &desc.dwKindWord
                          : a == "--start-marker" ? &desc.dwStartMarker
                                                  : &desc.dwEndMarker;
            if (!number(p)) return 2;
        } else if (a == "--body") {
            if (!cli.Number(v, 0, UINT64_MAX, &desc.qwBodyLength, true)) return 2;
        } else if (a == "--entry") {
            MULTICSC_ENTRY_PLAN entry;
            const size_t nEq = v.find('=');
            const size_t nColon = v.rfind(':');
            if (nEq != std::string::npos) {
                entry.strName = v.substr(0, nEq);
                entry.strPath = v.substr(nEq + 1);
            } else if (nColon != std::string::npos && ParseU32(v.substr(nColon + 1), &entry.dwLength)) {
                entry.strName = v.substr(0, nColon);
            } else {
                return usage("--entry takes NAME:BYTES or NAME=FILE, not '" + v + "'");
            }
            aEntries.push_back(entry);
        } else if (a == "--carrier") {
            const auto parts = CLI_Split(v, ':');
            if (parts.size() != 2 || !ParseU32(parts[0], &dwCarrier) || !ParseU32(parts[1], &dwCarrierErase)) {
                return usage("--carrier takes START:ERASE, not '" + v + "'");
            }
        } else if (a == "--bytes") {
            if (!number(&dwBytes)) return 2;
        } else if (a == "--data-file") {
            strDataFile = v;
        }
    }
    if (!cli.Operands().empty()) return usage("unexpected operand '" + cli.Operands().front() + "'");

    std::string strError;
    if (strMode == "--inspect") {
        // A file that cannot be read is no verdict on an image: its own status.
        struct stat st;
        if (::stat(strTarget.c_str(), &st) != 0) return Fail(strTarget + ": " + std::strerror(errno));
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
        if (aEntries.empty()) return usage("--multi-csc needs at least one --entry");
        for (size_t i = 0; i < aEntries.size(); ++i) aEntries[i].dwSeed = dwSeed * 0x01000193u + 200 + static_cast<uint32_t>(i);
        if (!IMAGE_BUILDER_WriteMultiCsc(strTarget, aEntries, dwCarrier, dwCarrierErase, &strError)) return Fail(strError);
        std::printf("wrote %s\n", strTarget.c_str());
        return 0;
    }
    if (strMode == "--marked-csc") {
        if (dwBytes == 0 && strDataFile.empty()) return usage("--marked-csc needs --bytes or --data-file");
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
        if (strOut.empty()) return usage("--kind needs --out FILE");
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
    return usage("nothing to do: give --set, --kind, --inspect, --multi-csc or --marked-csc");
}
