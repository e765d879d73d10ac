#include "MsiHelper/FourPartVersion.h"

#include <gtest/gtest.h>

using MsiHelper::FourPartVersion;

TEST(FourPartVersion, AnySingleCharacterSeparatesTheParts)
{
    const FourPartVersion expected(12, 7, 1093, 0);
    for (const char* text : {"12,7,1093,0", "12.7.1093.0", "12-7-1093-0", " 12 . 7 ,\t1093 x 0",
                             "12.7.1093", "12.7.1093.0.5", "12.7.1093.0junk"})
        EXPECT_EQ(FourPartVersion(std::string(text)), expected) << text;
    EXPECT_EQ(FourPartVersion(std::wstring(L"12,7,1093,0")), expected);
    EXPECT_EQ(FourPartVersion(std::wstring(L"12\u00e97\u00e91093")), expected);
}

TEST(FourPartVersion, UnreadablePartAndTheRestAreZero)
{
    EXPECT_EQ(FourPartVersion(std::string("")), FourPartVersion());
    EXPECT_EQ(FourPartVersion(std::string("abc")), FourPartVersion());
    EXPECT_EQ(FourPartVersion(std::string("13")), FourPartVersion(13, 0, 0, 0));
    EXPECT_EQ(FourPartVersion(std::string("12.8")), FourPartVersion(12, 8, 0, 0));
    EXPECT_EQ(FourPartVersion(std::string("12..7.1")), FourPartVersion(12, 0, 0, 0));
    EXPECT_EQ(FourPartVersion(std::string("12.x.7.1")), FourPartVersion(12, 0, 0, 0));
    EXPECT_EQ(FourPartVersion(std::string("12.-7.1.1")), FourPartVersion(12, 0, 0, 0));
    // Two separators in a row: the second is where a number should be.
    EXPECT_EQ(FourPartVersion(std::string("1.2.,3")), FourPartVersion(1, 2, 0, 0));
}

TEST(FourPartVersion, PartTooLargeForSixteenBitsCountsAsUnreadable)
{
    EXPECT_EQ(FourPartVersion(std::string("65535.65535.65535.65535")).Value(), ~0ull);
    EXPECT_EQ(FourPartVersion(std::string("12.65536.3.4")), FourPartVersion(12, 0, 0, 0));
    EXPECT_EQ(FourPartVersion(std::string("1.2.3.99999999999999999999")),
              FourPartVersion(1, 2, 3, 0));
}

TEST(FourPartVersion, OrdersLikeItsPartsFromMajorToRevision)
{
    const FourPartVersion own(std::string("12,7,1093,0"));
    EXPECT_EQ(own.Value(), 0x000C000704450000ull);
    EXPECT_GT(FourPartVersion(std::string("12.7.1093.1")), own);
    EXPECT_GT(FourPartVersion(std::string("12.8")), own);
    EXPECT_GT(FourPartVersion(std::string("13")), own);
    EXPECT_LT(FourPartVersion(std::string("12.7.1092.9999")), own);
    EXPECT_LT(FourPartVersion(std::string("11.65535.65535.65535")), own);
}

TEST(FourPartVersion, FormatsWithDots)
{
    EXPECT_EQ(FourPartVersion().ToString(), "0.0.0.0");
    EXPECT_EQ(FourPartVersion(std::string("12,7,1093")).ToString(), "12.7.1093.0");
    EXPECT_EQ(FourPartVersion(65535, 1, 0, 65535).ToWideString(), L"65535.1.0.65535");
}
