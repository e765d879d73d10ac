// Products installed with the system's installer from packages made at build time. Installing
// takes seconds, so one test does it once and asks everything of the installed products.
#include "MsiHelper/Product.h"
#include "WindowsFixtures.h"

#include <gtest/gtest.h>
#include <optional>

using CorvaneTest::Windows::InstalledProduct;
using MsiHelper::FourPartVersion;
using MsiHelper::Product;

namespace
{
std::wstring Wide(const char* text)
{
    return std::wstring(text, text + std::char_traits<char>::length(text));
}
} // namespace

TEST(ProductTest, FindsInstalledProductsByExactlyTheirName)
{
    // Our product's name under a test product code, and the same name in lower case.
    std::optional<InstalledProduct> product(CORVANE_TEST_PRODUCT_MSI);
    std::optional<InstalledProduct> lowerCaseProduct(CORVANE_TEST_LOWER_CASE_PRODUCT_MSI);

    const auto found = Product::FindByName(L"CorvaneCommandLineScanner");
    ASSERT_TRUE(found);
    EXPECT_EQ(std::wstring(found->Code()), Wide(CORVANE_TEST_PRODUCT_CODE));
    EXPECT_EQ(found->GetProperty(L"ProductName"), L"CorvaneCommandLineScanner");
    EXPECT_EQ(found->GetProperty(L"Publisher"), L"Corvane Software");
    EXPECT_EQ(found->GetProperty(L"NoSuchProperty"), L"");
    EXPECT_EQ(found->GetVersion(), FourPartVersion(12, 7, 1093, 0));

    const auto lowerCase = Product::FindByName(L"corvanecommandlinescanner");
    ASSERT_TRUE(lowerCase);
    EXPECT_EQ(std::wstring(lowerCase->Code()), Wide(CORVANE_TEST_LOWER_CASE_PRODUCT_CODE));

    for (const wchar_t* name : {L"CORVANECOMMANDLINESCANNER", L"CorvaneCommandLineScanne",
                                L"CorvaneCommandLineScanner ", L""})
        EXPECT_FALSE(Product::FindByName(name)) << name;

    // Uninstalled products are gone from the database.
    product.reset();
    EXPECT_FALSE(Product::FindByName(L"CorvaneCommandLineScanner"));
    EXPECT_TRUE(Product::FindByName(L"corvanecommandlinescanner"));
    lowerCaseProduct.reset();
    EXPECT_FALSE(Product::FindByName(L"corvanecommandlinescanner"));
}
