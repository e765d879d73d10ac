#pragma once

// Points at which a test build of the library can be made to die, as if killed, to prove that
// the next run recovers. In the shipped library they do nothing.

namespace UpdateServiceCom::TestHooks
{
enum Step : int
{
    FirstFileStaged = 1,  // Update: one file downloaded into the staging folder
    FirstFilePlaced = 2,  // Install: one file in the next set
    NextSetComplete = 3,  // Install: the next set complete, the switch not yet decided
    SwitchDecided = 4,    // Install: the switch marker written
    FirstRenameDone = 5,  // Install: folders swapped, or the live set moved aside
    SecondRenameDone = 6, // Install: the next set moved in (when folders cannot be swapped)
    SwitchMarkerGone = 7, // Install: the switch marker removed, leftovers not yet
};

#ifdef CORVANE_UPDATESERVICE_TEST_HOOKS
void KillPoint(Step step);
bool ExchangeAllowed();
#else
inline void KillPoint(Step) {}
inline bool ExchangeAllowed()
{
    return true;
}
#endif
} // namespace UpdateServiceCom::TestHooks
