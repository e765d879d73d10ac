#include "Application.h"

int main()
{
    CorvaneCommandLineScanner::RunApplication();
    return 0;
}
