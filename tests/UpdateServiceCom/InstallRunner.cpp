// Runs one update in a process of its own, for the tests that kill it part-way:
//   InstallRunner LIBRARY URL LOCAL_PATH KILL_STEP EXCHANGE
// loads the (test build of the) library, sets its kill point and whether folders may be swapped
// in one step, runs Update and, when Update left something to install, Install, as the program
// does. Exits with the result code of the last call.
#include "UpdateServiceCom/UpdateServiceCom.h"
#include "UpdateServiceHarness.h"

#include <string>

int main(int argc, char** argv)
{
    using namespace UpdateLibraryTesting;
    if (argc != 6)
        return 100;
    LoadedService service(argv[1]);
    reinterpret_cast<void (*)(int, int)>(service.Symbol("UpdSdkTestHooks"))(std::stoi(argv[4]),
                                                                            std::stoi(argv[5]));
    service.Configure(argv[2], argv[3]);
    const int updated = service.Service().Update();
    if (updated != UpdateServiceCom::Ok)
        return updated;
    const bool pending =
        !service.events.empty() && service.events.back().code == UpdSdk::EventInstallPending;
    return pending ? service.Service().Install() : UpdateServiceCom::Ok;
}
