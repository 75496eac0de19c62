// What the benchmark programs share: the clock they time with, where they stand, the way they
// read their options and print their figures, and a scratch image set for a line run.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sim/image_builder.h"

double BENCH_NowMs();
// The running program's path, and its directory (where the station programs are built beside it).
std::string BENCH_SelfPath();
std::string BENCH_SelfDir();

// The value given after szName on the command line ("--phones 4"), or the default.
std::string BENCH_TextOption(int argc, char** argv, const char* szName, const std::string& strDefault);
int BENCH_IntOption(int argc, char** argv, const char* szName, int nDefault);

// The options of a line run: --flash (quillon-flash beside the program), --phones (1-8, default
// 8), --pda-mib (32) and --amss-mib (8).
struct BENCH_LINE {
    std::string strFlash;
    int nPhones = 8;
    uint32_t dwPdaMib = 32;
    uint32_t dwAmssMib = 8;
    // The PDA and AMSS sizes of the image set this run flashes.
    IMAGE_SET_SIZES Sizes() const;
};
BENCH_LINE BENCH_LineOptions(int argc, char** argv);

// A program started with its standard output on a pipe, which the caller reads and closes; pid
// -1 when it could not be started. bOffscreen runs a windowed program without a display.
struct BENCH_CHILD {
    int pid = -1;
    int fdOut = -1;
};
BENCH_CHILD BENCH_Spawn(std::vector<std::string> astrArgs, bool bOffscreen = false);
// Reads a child's output to its end, handing each line (without its newline) over with the
// moment its read came back, then closes the pipe.
void BENCH_ReadLines(int fdOut, const std::function<void(const std::string& strLine, double dNowMs)>& fnLine);

bool BENCH_EndsWith(const std::string& str, const std::string& strEnd);

double BENCH_Median(std::vector<double> ad);
std::string BENCH_LoadAverage();

// A scratch directory under /tmp with the standard image set in it, removed with everything in
// it when this goes.
class CBenchImages {
public:
    CBenchImages() = default;
    CBenchImages(const CBenchImages&) = delete;
    CBenchImages& operator=(const CBenchImages&) = delete;
    ~CBenchImages();
    // false, said on standard error under szProgram's name, when the directory or the images
    // cannot be written. The Hidden image has no erase length: no run writes it.
    bool Write(const char* szProgram, IMAGE_SET_SIZES sizes);
    const std::string& Dir() const { return m_strDir; }
    const IMAGE_SET& Images() const { return m_Images; }

private:
    std::string m_strDir;
    IMAGE_SET m_Images;
};
