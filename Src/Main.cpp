#include "Application.h"
#include "DllHelper/LibrarySearch.h"

int main()
{
    DllHelper::RestrictLibrarySearch();
    CorvaneCommandLineScanner::RunApplication();
    return 0;
}
