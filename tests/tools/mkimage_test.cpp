// Images written by quillon-mkimage, read back by its --inspect the way the station judges them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <sys/stat.h>

#include <fstream>

#include "sim/image_builder.h"
#include "support/sim_process.h"

namespace {

const std::string MKIMAGE = QUILLON_BINARY_DIR "/quillon-mkimage";

std::string Dir(const std::string& strName)
{
    const std::string str = ::testing::TempDir() + strName + "-" + std::to_string(getpid());
    mkdir(str.c_str(), 0755);
    return str;
}

bool Has(const std::string& strText, const std::string& strPart)
{
    return strText.find(strPart) != std::string::npos;
}

TEST(MkImage, AStandardSetIsAcceptedKindByKind)
{
    const std::string strDir = Dir("set");
    const auto made = SIM_PROCESS_Run({MKIMAGE, "--set", strDir, "--seed", "3", "--csc", "multi"});
    ASSERT_EQ(made.nExit, 0) << made.strOut;
    EXPECT_TRUE(Has(made.strOut, "flash QCSBL   0x00080000 erase 0x00040000"));

    const auto phone = SIM_PROCESS_Run({MKIMAGE, "--inspect", strDir + "/phone.bin"});
    EXPECT_EQ(phone.nExit, 0);
    EXPECT_TRUE(Has(phone.strOut, "accepted as: Phone (192-byte block)")) << phone.strOut;
    // Region data begin after the MIBIB areas, so no slice overlaps the fixed blocks.
    EXPECT_TRUE(Has(phone.strOut, " 1 QCSBL   0x00080000  0x00060000  0x00028000  0x00040000"));
    EXPECT_TRUE(Has(SIM_PROCESS_Run({MKIMAGE, "--inspect", strDir + "/eboot.eb0"}).strOut,
                    "accepted as: Eboot (192-byte block)"));
    EXPECT_TRUE(Has(SIM_PROCESS_Run({MKIMAGE, "--inspect", strDir + "/pda.pda"}).strOut,
                    "accepted as: PDA (192-byte block)"));
    const auto csc = SIM_PROCESS_Run({MKIMAGE, "--inspect", strDir + "/csc.csc"});
    EXPECT_TRUE(Has(csc.strOut, "accepted as: CSC (160-byte block)")) << csc.strOut;
    EXPECT_TRUE(Has(csc.strOut, "Multi-CSC container: 3 entries"));
    EXPECT_TRUE(Has(csc.strOut, "entry 1 \"ALPHA\" offset 0x00060800 size 0x0003F0A0"));
    const auto hidden = SIM_PROCESS_Run({MKIMAGE, "--inspect", strDir + "/hidden.hid"});
    EXPECT_EQ(hidden.nExit, 1);
    EXPECT_TRUE(Has(hidden.strOut, "refused: no descriptor block"));
}

TEST(MkImage, FixedBlocksOfThePhoneImageSitWhereTheStationReadsThem)
{
    IMAGE_SET set;
    IMAGE_SET_SIZES sizes;
    ASSERT_TRUE(IMAGE_BUILDER_WriteStandardSet(Dir("fixed"), 9, sizes, &set, nullptr));
    std::ifstream in(set.strPhone, std::ios::binary);
    std::vector<uint8_t> aby(2048);
    in.seekg(0x44800);
    in.read(reinterpret_cast<char*>(aby.data()), 2048);
    EXPECT_EQ(aby, set.abyPartitionTable);
    // Same layout, other seed: same table, so a phone holding one set's table accepts the other.
    IMAGE_SET other;
    ASSERT_TRUE(IMAGE_BUILDER_WriteStandardSet(Dir("fixed2"), 10, sizes, &other, nullptr));
    EXPECT_EQ(other.abyPartitionTable, set.abyPartitionTable);
    // The Hidden image has exactly the length the station derives from the HIDDEN erase area.
    EXPECT_EQ(std::ifstream(set.strHidden, std::ios::ate | std::ios::binary).tellg(),
              static_cast<std::streamoff>(IMAGE_SpareDataLength(sizes.dwHiddenErase)));
}

TEST(MkImage, OldBlocksAndTheUnmarkedOldPhoneWord)
{
    const std::string strDir = Dir("old");
    ASSERT_EQ(SIM_PROCESS_Run({MKIMAGE, "--set", strDir, "--old"}).nExit, 0);
    const auto phone = SIM_PROCESS_Run({MKIMAGE, "--inspect", strDir + "/phone.bin"});
    EXPECT_TRUE(Has(phone.strOut, "format: old, 160 bytes")) << phone.strOut;
    EXPECT_TRUE(Has(phone.strOut, "kind word: 0x00000002"));
    EXPECT_FALSE(Has(phone.strOut, " 9 CARRIER"));
    EXPECT_NE(access((strDir + "/csc.csc").c_str(), F_OK), 0);

    const std::string strUnmarked = strDir + "/unmarked.bin";
    ASSERT_EQ(SIM_PROCESS_Run({MKIMAGE, "--kind", "phone", "--old", "--out", strUnmarked,
                               "--kind-word", "0x40", "--start-marker", "0", "--end-marker", "0",
                               "--region", "1:0x80000:0x1000:0x2000:0x20000"})
                  .nExit,
              0);
    const auto unmarked = SIM_PROCESS_Run({MKIMAGE, "--inspect", strUnmarked});
    EXPECT_EQ(unmarked.nExit, 0);
    EXPECT_TRUE(Has(unmarked.strOut, "accepted as: Phone (160-byte block)")) << unmarked.strOut;
}

TEST(MkImage, RefusalsSayWhy)
{
    const std::string strDir = Dir("refuse");
    const std::string strShort = strDir + "/short.bin";
    std::ofstream(strShort, std::ios::binary) << std::string(192, '\x7E');
    const auto r = SIM_PROCESS_Run({MKIMAGE, "--inspect", strShort});
    EXPECT_EQ(r.nExit, 1);
    EXPECT_TRUE(Has(r.strOut, "192 bytes or fewer"));
    // A file that cannot be read gets no verdict on its image, and its own status.
    const auto missing = SIM_PROCESS_Run({MKIMAGE, "--inspect", strDir + "/none"});
    EXPECT_EQ(missing.nExit, 2);
    EXPECT_TRUE(Has(missing.strOut, "No such file or directory")) << missing.strOut;
    // A marked single CSC from a data file, and a container entry from one.
    const std::string strData = strDir + "/data.bin";
    std::ofstream(strData, std::ios::binary) << std::string(5000, 'x');
    ASSERT_EQ(SIM_PROCESS_Run({MKIMAGE, "--marked-csc", strDir + "/m.csc", "--data-file", strData}).nExit, 0);
    EXPECT_TRUE(Has(SIM_PROCESS_Run({MKIMAGE, "--inspect", strDir + "/m.csc"}).strOut,
                    "marked single CSC: 5000 data bytes"));
    ASSERT_EQ(SIM_PROCESS_Run({MKIMAGE, "--multi-csc", strDir + "/c.csc", "--entry",
                               "ONE=" + strData, "--entry", "TWO:4096"})
                  .nExit,
              0);
    EXPECT_TRUE(Has(SIM_PROCESS_Run({MKIMAGE, "--inspect", strDir + "/c.csc"}).strOut,
                    "entry 0 \"ONE\" offset 0x00020000 size 0x00001428"));
}

TEST(MkImage, SetMakesItsDirectoryOrSaysWhyNot)
{
    const std::string strDir = Dir("fresh") + "/not/yet";
    const auto made = SIM_PROCESS_Run({MKIMAGE, "--set", strDir, "--seed", "1"});
    ASSERT_EQ(made.nExit, 0) << made.strOut;
    for (const char* szName : {"phone.bin", "eboot.eb0", "pda.pda", "csc.csc", "hidden.hid"}) {
        struct stat st {};
        EXPECT_EQ(stat((strDir + "/" + szName).c_str(), &st), 0) << szName;
    }
    // Below a regular file no directory can be made.
    const auto refused = SIM_PROCESS_Run({MKIMAGE, "--set", strDir + "/phone.bin/sub"});
    EXPECT_EQ(refused.nExit, 2);
    EXPECT_TRUE(Has(refused.strOut, "cannot create " + strDir + "/phone.bin/sub")) << refused.strOut;
}

TEST(MkImage, AnswersHelp)
{
    const auto help = SIM_PROCESS_Run({MKIMAGE, "--help"});
    EXPECT_EQ(help.nExit, 0);
    EXPECT_TRUE(Has(help.strOut, "--inspect FILE"));
    EXPECT_EQ(SIM_PROCESS_Run({MKIMAGE, "--frobnicate"}).nExit, 2);
}

}  // namespace
