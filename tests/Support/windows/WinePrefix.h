#pragma once

namespace CorvaneTest
{
// Wine resolves the all-users data folder (%ProgramData% in its shell folder table) from its
// user profile list, not from the process environment as Windows does, so PROGRAMDATA alone
// cannot point a test's program at a folder of its own. The test prefix resolves that folder
// from this variable instead; it defaults to the prefix's own ProgramData folder for every
// process, and tests set it beside PROGRAMDATA.
inline const char* const WineProgramDataVariable = "CORVANE_TEST_PROGRAMDATA";

// Under Wine, makes the prefix resolve the all-users data folder from the variable above (once
// per process; the settings stay in the prefix) and gives this process its default value when
// it has none. Returns whether this process runs under Wine; elsewhere it changes nothing.
bool PrepareWinePrefix();
} // namespace CorvaneTest
