#include "ConsoleHelper/Console.h"

#include <ostream>
#include <string>

// Writes narrow, wide and formatted text in turn, for a test that reads it through a pipe. The
// last piece is narrow text without a line end or a flush, which must still come out.
int main()
{
    ConsoleHelper::Out() << "Scan started\n";
    const wchar_t* nothing = nullptr;
    ConsoleHelper::Print(L"Object Path: %s. Parent Containers: %s. Inner Object: %s\n",
                         L"C:\\data\\\u4e2d\u00e9.zip", nothing, L"");
    ConsoleHelper::WideOut() << L"\tDatabase release date: 2024 \u00e9t\u00e9 \U0001F600"
                             << std::endl;
    ConsoleHelper::Out() << std::string(5000, 'n');
    ConsoleHelper::WideOut() << L"|\u00e9|";
    ConsoleHelper::Out() << "\n" << 42 << '\n';
    ConsoleHelper::Print(L"\nScan complete.");
    ConsoleHelper::Out() << "Request duration: 00:00:07";
    return 0;
}
