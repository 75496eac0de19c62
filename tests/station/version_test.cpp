// The designed texts that carry a version: the build fills them in from the project version, so
// a template slip (a lost trailing blank, the About number swapped for the station's) shows here.
#include <gtest/gtest.h>

#include <string>

#include "station/version.h"

TEST(Version, DesignedTextsCarryTheirNumbers)
{
    EXPECT_EQ(std::string(VERSION_WINDOW_TITLE), "Quillon (Rode) Downloader Series Version 9.4 ");
    EXPECT_EQ(std::string(VERSION_ABOUT_LINE), "Version 7.0");
    EXPECT_EQ(std::string(VERSION_NUMBER), "9.4");
}
