// The image builder's two outputs, a file and bytes in memory, must be the same image: tests edit
// the rendered bytes and expect the station to judge them as it judges written files.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "sim/image_builder.h"
#include "support/images_fixture.h"

namespace {

std::vector<uint8_t> ReadAll(const std::string& strPath)
{
    std::ifstream in(strPath, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(ImageBuilder, RenderedBytesEqualTheWrittenFile)
{
    CImagesTempDir dir;
    ImagesWriteBytes(dir.File("data.bin"), std::vector<uint8_t>(3000, 0x5C));
    // Each shape paints differently: a container (byte pieces over seeded data, entries from a
    // file, a rounded body), and a body longer than the writer's window with pieces overlapping.
    std::vector<IMAGE_DESC> aDesc(2);
    std::vector<MULTICSC_ENTRY_PLAN> aEntries(2);
    aEntries[0] = {"ONE", 5000, 3, "", 0x80000};
    aEntries[1] = {std::string(32, 'N'), 0, 0, dir.File("data.bin"), 0};
    std::string strError;
    ASSERT_TRUE(IMAGE_BUILDER_MultiCscDesc(aEntries, 0x100000, 0x40000, &aDesc[0], &strError))
        << strError;
    IMAGE_DESC refused;
    aEntries[1].strName += 'X';  // one byte more than the name field holds
    EXPECT_FALSE(IMAGE_BUILDER_MultiCscDesc(aEntries, 0x100000, 0x40000, &refused, &strError));
    aDesc[1].eKind = IMAGE_PDA;
    aDesc[1].aPieces.push_back({0, 0x180000, FILL_SEEDED, 9, "", {}});
    aDesc[1].aPieces.push_back({0xFFF00, 0x200, FILL_BYTES, 0, "", {1, 2, 3}});
    aDesc[1].aPieces.push_back({0x17FF00, 0x100, FILL_FILE, 0, dir.File("data.bin"), {}});
    aDesc[1].qwBodyLength = 0x180000 + 0x321;
    for (size_t i = 0; i < aDesc.size(); ++i) {
        SCOPED_TRACE(i);
        const std::string strPath = dir.File("image" + std::to_string(i));
        ASSERT_TRUE(IMAGE_BUILDER_Write(strPath, aDesc[i], &strError)) << strError;
        std::vector<uint8_t> aby;
        ASSERT_TRUE(IMAGE_BUILDER_Render(aDesc[i], &aby, &strError)) << strError;
        EXPECT_EQ(aby, ReadAll(strPath));
    }
    // A data file that is gone fails both the same way.
    std::filesystem::remove(dir.File("data.bin"));
    std::vector<uint8_t> aby;
    EXPECT_FALSE(IMAGE_BUILDER_Render(aDesc[1], &aby, &strError));
    EXPECT_EQ(strError, "cannot read " + dir.File("data.bin"));
}

}  // namespace
