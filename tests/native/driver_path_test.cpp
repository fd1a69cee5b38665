#include "program/deploy/core/DriverPath.hpp"

#include <gtest/gtest.h>

TEST(DriverFilePath, JoinsTemporaryFolderAndName)
{
    EXPECT_EQ(DriverFilePath(u"C:\\Temp\\"), std::u16string(u"C:\\Temp\\KorvaleNoQuorVallin.sys"));
}

TEST(DriverFilePath, LongestFolderThatFits)
{
    // 236 characters of folder + 23 of name + terminator = 260.
    const std::u16string folder = u"C:\\" + std::u16string(232, u'a') + u"\\";
    ASSERT_EQ(folder.size(), 236u);
    const auto path = DriverFilePath(folder);
    ASSERT_TRUE(path.has_value());
    EXPECT_EQ(path->size(), 259u);
    EXPECT_FALSE(DriverFilePath(folder + u"b").has_value());
}

TEST(DriverFilePath, NoFolderNoPath)
{
    EXPECT_FALSE(DriverFilePath(u"").has_value());
}
