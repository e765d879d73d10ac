#include "Scanner/EngineCodeNames.h"

#include <gtest/gtest.h>

using namespace CorvaneCommandLineScanner;

TEST(EngineCodeNames, ResultCodesWithAndWithoutNames)
{
    EXPECT_EQ(EngineResultName(0), L"");
    EXPECT_EQ(EngineResultName(0x40000001), L"Stopped");
    EXPECT_EQ(EngineResultName(0x40000006), L"MaxBytes");
    EXPECT_EQ(EngineResultName(static_cast<std::int32_t>(0xC0000000)), L"Failed");
    EXPECT_EQ(EngineResultName(static_cast<std::int32_t>(0xC000000B)), L"FirFind");
    EXPECT_EQ(EngineResultName(static_cast<std::int32_t>(0xC0000013)), L"Disinfect");
    EXPECT_EQ(EngineResultName(static_cast<std::int32_t>(0xC0000020)), L"FileWrite");
    EXPECT_EQ(EngineResultName(static_cast<std::int32_t>(0xC0001002)), L"DbinfoUnavailable");
    EXPECT_EQ(EngineResultName(static_cast<std::int32_t>(0xC000100C)), L"CouldNotInitialize");
    // Gaps in the numbering have no name.
    for (const std::uint32_t code : {0x40000002u, 0xC0000008u, 0xC000000Au, 0xC000000Cu,
                                     0xC000000Eu, 0xC0000014u, 0xC0000016u, 0xC0001001u, 1u})
        EXPECT_EQ(EngineResultName(static_cast<std::int32_t>(code)), L"") << std::hex << code;
}

TEST(EngineCodeNames, TablesEndAtTheirLastCode)
{
    EXPECT_EQ(ActionName(0), L"Default");
    EXPECT_EQ(ActionName(7), L"QuarMove");
    EXPECT_EQ(ActionName(11), L"Skip");
    EXPECT_EQ(ObjectTypeName(0), L"File");
    EXPECT_EQ(ObjectTypeName(6), L"Stream");
    EXPECT_EQ(ScanStatusName(0), L"ScanFailed");
    EXPECT_EQ(ScanStatusName(11), L"MovedReboot");
    EXPECT_EQ(ThreatTypeName(0), L"Virus");
    EXPECT_EQ(ThreatTypeName(7), L"ArchBomb");
    EXPECT_EQ(ScanTypeName(0), L"Quick");
    EXPECT_EQ(ScanTypeName(3), L"Boot");
    for (const std::int32_t outside : {-1, std::numeric_limits<std::int32_t>::min()})
    {
        EXPECT_EQ(ActionName(outside), L"");
        EXPECT_EQ(ObjectTypeName(outside), L"");
        EXPECT_EQ(ScanStatusName(outside), L"");
        EXPECT_EQ(ThreatTypeName(outside), L"");
    }
    EXPECT_EQ(ActionName(12), L"");
    EXPECT_EQ(ObjectTypeName(7), L"");
    EXPECT_EQ(ScanStatusName(12), L"");
    EXPECT_EQ(ThreatTypeName(8), L"");
    EXPECT_EQ(ScanTypeName(4), L"");
}

TEST(EngineCodeNames, FlagsTextListsNamedBitsInTableOrder)
{
    EXPECT_EQ(ObjectFlagsText(0x3), L"Modified;Archive");
    EXPECT_EQ(ObjectFlagsText(0x10000002), L"Archive;Stream");
    EXPECT_EQ(ObjectFlagsText(0), L"");
    // Bits without a name are skipped without leaving separators behind.
    EXPECT_EQ(ObjectFlagsText(0x8 | 0x400 | 0x100000 | 0x20000000 | 0x80000000), L"");
    EXPECT_EQ(ObjectFlagsText(0x8 | 0x20 | 0x400 | 0x40000), L"Packed;Proc");
    EXPECT_EQ(ObjectFlagsText(0xFFFFFFFF),
              L"Modified;Archive;Password;Corrupted;Packed;Temporary;UnkMethod;HasMacros;"
              L"Unpacked;Move;IsBootImage;Adware;Spyware;Dialer;App;Cookie;Proc;Reg;Folder;"
              L"UnableToRead;NotUpdatable;EncryptedFs;Container;ArchBomb;KeyLogger;Stream");
    EXPECT_EQ(ObjectFlagName(0x800), L"Move");
    EXPECT_EQ(ObjectFlagName(0x8), L"");
}
