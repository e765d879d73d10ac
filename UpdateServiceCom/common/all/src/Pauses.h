#pragma once

#include <chrono>

namespace UpdateServiceCom
{
// How long the library waits for others. A service object gets them when it is made; the tests
// of the library make them short.
struct Pauses
{
    // Between two tries of a transfer that failed in a passing way.
    std::chrono::milliseconds retry{250};
    // For a file or folder that another process holds open (on Windows it can be neither moved
    // nor removed meanwhile) to be let go.
    std::chrono::milliseconds inUse{10000};
    // For scans that are loading the live definitions to finish, before a switch moves them.
    std::chrono::milliseconds readers{30000};
};
} // namespace UpdateServiceCom
