// Prepares the Wine prefix the tests run in (see WinePrefix.h); does nothing on Windows.
#include "WinePrefix.h"

#include <cstdio>
#include <exception>

int main()
{
    try
    {
        std::printf(CorvaneTest::PrepareWinePrefix() ? "Wine prefix prepared\n"
                                                     : "not running under Wine: nothing to do\n");
        return 0;
    }
    catch (const std::exception& error)
    {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
}
