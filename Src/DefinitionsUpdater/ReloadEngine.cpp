#include "DefinitionsUpdater/ReloadEngine.h"

#include "Scanner/Scanner.h"

namespace CorvaneCommandLineScanner
{
void ReloadEngine()
{
    // Constructing the scanner loads and initialises the engine; destroying it at once
    // uninitialises and frees it.
    Scanner scanner;
}
} // namespace CorvaneCommandLineScanner
