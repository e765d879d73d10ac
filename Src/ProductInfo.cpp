#include "ProductInfo.h"
#include "Jobs.h"

#include "ConsoleHelper/Console.h"

#include <boost/algorithm/string/replace.hpp>

namespace CorvaneCommandLineScanner
{
void PrintProductInfo()
{
    std::ostream& out = ConsoleHelper::Out();
    out << "Product Info:\n";
    out << "  Name: " << ProductName << "\n";
    out << "  Version: "
        << boost::algorithm::replace_all_copy(std::string(ProductVersion), ",", ".") << std::endl;
    out << "  Language: English" << std::endl;
}
} // namespace CorvaneCommandLineScanner
