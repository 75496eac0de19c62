// The channel's image file: slices read at offsets, and only regular files opened.
#include "images/channel_image.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "engine/download_plan.h"
#include "station/station_core.h"

namespace {

TEST(ImageSlices, ReadsAtOffsetsAndStopsAtTheEnd)
{
    char szPath[] = "/tmp/quillon-slice-XXXXXX";
    int fd = mkstemp(szPath);
    ASSERT_GE(fd, 0);
    std::vector<uint8_t> data(1000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
    ASSERT_EQ(write(fd, data.data(), data.size()), 1000);
    close(fd);

    ASSERT_EQ(ENGINE_OpenImage(5, szPath), 1);
    uint8_t aby[64];
    EXPECT_EQ(ENGINE_ReadImage(5, 990, aby, sizeof(aby)), 10u);
    EXPECT_EQ(aby[0], static_cast<uint8_t>(990));
    EXPECT_EQ(ENGINE_ReadImage(5, 5000, aby, sizeof(aby)), 0u);
    ENGINE_CloseImage(5);
    EXPECT_EQ(g_fileImage[5], -1);
    EXPECT_EQ(ENGINE_ReadImage(5, 0, aby, sizeof(aby)), 0u);
    EXPECT_EQ(ENGINE_OpenImage(5, "/nonexistent/quillon"), 0);
    unlink(szPath);

    // A path that names a FIFO by the time the worker opens it must not block the worker for
    // good, and a directory is no image data either; the header blocks read at Start likewise.
    ASSERT_EQ(mkfifo(szPath, 0600), 0);
    EXPECT_EQ(ENGINE_OpenImage(5, szPath), 0);
    EXPECT_EQ(g_fileImage[5], -1);
    CVarnDLCore core;
    core.m_bPhoneImage = 1;
    core.m_strPhonePath = szPath;
    uint8_t abyHeader[HEADER_BLOCK_TOTAL];
    ENGINE_ReadHeaderBlocks(core, abyHeader);
    EXPECT_EQ(abyHeader[0], 0);
    unlink(szPath);
    EXPECT_EQ(ENGINE_OpenImage(5, "/tmp"), 0);
}

}  // namespace
