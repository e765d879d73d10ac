#include "DefinitionsUpdater/ReloadEngine.h"

#include "Scanner/Scanner.h"

namespace CorvaneCommandLineScanner
{
void ReloadEngine()
{
    // Constructing the scanner loads and initialises the engine, or has the engine service
    // switch to the new set; destroying it at once uninitialises and frees it.
    Scanner scanner{Scanner::SwitchDefinitions{}};
}
} // namespace CorvaneCommandLineScanner
