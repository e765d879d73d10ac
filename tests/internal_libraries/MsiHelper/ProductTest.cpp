#include "MsiHelper/Product.h"
#include "MsiHelper/Detail/ProductRecords.h"

#include "ExceptionHelper/Exception.h"
#include "Installation.h"
#include "ProductRecords.h"

#include <boost/filesystem/operations.hpp>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>

using CorvaneTest::RegisterProduct;
using MsiHelper::FourPartVersion;
using MsiHelper::Product;

namespace
{
// Each test gets an empty all-users data folder of its own.
class ProductTest : public testing::Test
{
protected:
    void SetUp() override { ::setenv("PROGRAMDATA", programData.Path().c_str(), 1); }
    void TearDown() override { ::unsetenv("PROGRAMDATA"); }

    void WriteRecord(const std::string& fileName, const std::string& content) const
    {
        const auto folder = MsiHelper::Detail::ProductRecordsFolder();
        boost::filesystem::create_directories(folder);
        std::ofstream((folder / fileName).string(), std::ios::binary) << content;
    }

    CorvaneTest::TemporaryFolder programData;
};

const wchar_t* const codeA = L"{11111111-2222-3333-4444-555555555555}";
const wchar_t* const codeB = L"{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}";
} // namespace

TEST_F(ProductTest, NoRecordsFolderFindsNothing)
{
    EXPECT_FALSE(Product::FindByName(L"CorvaneCommandLineScanner"));
}

TEST_F(ProductTest, FindsTheProductWithExactlyThatName)
{
    RegisterProduct(codeA,
                    {{L"ProductName", L"corvanecommandlinescanner"}, {L"VersionString", L"1"}});
    RegisterProduct(codeB, {{L"ProductName", L"CorvaneCommandLineScanner"},
                            {L"VersionString", L"12.7.1093"},
                            {L"Publisher", L"Corvane = \u00e9"}});
    const auto product = Product::FindByName(L"CorvaneCommandLineScanner");
    ASSERT_TRUE(product);
    EXPECT_EQ(std::wstring(product->Code()), codeB);
    EXPECT_EQ(product->GetProperty(L"Publisher"), L"Corvane = \u00e9");
    EXPECT_EQ(product->GetProperty(L"Missing"), L"");
    EXPECT_EQ(product->GetVersion(), FourPartVersion(12, 7, 1093, 0));
    EXPECT_FALSE(Product::FindByName(L"CorvaneCommandLineScanne"));
    EXPECT_FALSE(Product::FindByName(L"CorvaneCommandLineScanner "));
}

TEST_F(ProductTest, NamesDifferingOnlyInCaseAreNotFound)
{
    RegisterProduct(codeA, {{L"ProductName", L"CORVANECOMMANDLINESCANNER"}});
    RegisterProduct(codeB, {{L"ProductName", L"corvaneCommandLineScanner"}});
    EXPECT_FALSE(Product::FindByName(L"CorvaneCommandLineScanner"));
}

TEST_F(ProductTest, FirstRecordInCodeOrderWinsAndStrayFilesAreSkipped)
{
    WriteRecord("notes.product", "ProductName=Same\n");
    WriteRecord("{11111111-2222-3333-4444-55555555555}.product", "ProductName=Same\n");
    WriteRecord("{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}.txt", "ProductName=Same\n");
    WriteRecord("{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}.product",
                "ProductName=Same\r\nVersionString=2.0\r\n");
    WriteRecord("{11111111-2222-3333-4444-555555555555}.product",
                "garbage line\n=no name\nProductName=Same\nProductName=Other\nVersionString=\n");
    const auto product = Product::FindByName(L"Same");
    ASSERT_TRUE(product);
    EXPECT_EQ(std::wstring(product->Code()), codeA);
    EXPECT_EQ(product->GetProperty(L"ProductName"), L"Same");
    EXPECT_EQ(product->GetVersion(), FourPartVersion());
    EXPECT_FALSE(Product::FindByName(L"Other"));
}

TEST_F(ProductTest, RegisteringRejectsWhatIsNoProductCode)
{
    EXPECT_THROW(RegisterProduct(L"../escape", {{L"ProductName", L"x"}}),
                 ExceptionHelper::Exception);
    EXPECT_THROW(RegisterProduct(L"{1111}", {}), ExceptionHelper::Exception);
}
