// The library's two exports. Everything else in the library stays hidden.
#include "Crypto.h"
#include "Export/Export.h"
#include "Http.h"
#include "Service.h"
#include "UpdateServiceCom/UpdateServiceInterface.h"

#include <mutex>
#include <new>
#include <set>
#include <type_traits>

CORVANE_EXPORT UpdateServiceInterface* UpdSdkCreate();
CORVANE_EXPORT int UpdSdkDestroy(UpdateServiceInterface* service);

static_assert(std::is_same_v<decltype(UpdSdkCreate), UpdSdk::Create>);
static_assert(std::is_same_v<decltype(UpdSdkDestroy), UpdSdk::Destroy>);

namespace
{
// The service objects handed out and not yet destroyed. The transfer library is set up while
// there is at least one, and released with the last, so that unloading this library leaves
// nothing behind.
std::mutex servicesMutex;
std::set<UpdateServiceInterface*> services;
} // namespace

UpdateServiceInterface* UpdateServiceCom::CreateService(const Pauses& pauses)
{
    const std::lock_guard<std::mutex> guard(servicesMutex);
    if (!UpdateServiceCom::InitializeCrypto())
        return nullptr;
    if (services.empty() && !UpdateServiceCom::StartTransfers())
        return nullptr;
    auto* service = new (std::nothrow) UpdateServiceCom::Service(pauses);
    if (service)
    {
        try
        {
            services.insert(service);
            return service;
        }
        catch (...)
        {
            delete service;
        }
    }
    if (services.empty())
        UpdateServiceCom::StopTransfers();
    return nullptr;
}

UpdateServiceInterface* UpdSdkCreate()
{
    return UpdateServiceCom::CreateService({});
}

int UpdSdkDestroy(UpdateServiceInterface* service)
{
    const std::lock_guard<std::mutex> guard(servicesMutex);
    // Only objects of this library are destroyed; anything else is refused.
    const auto found = services.find(service);
    if (found == services.end())
        return 1;
    services.erase(found);
    delete static_cast<UpdateServiceCom::Service*>(service);
    if (services.empty())
        UpdateServiceCom::StopTransfers();
    return 0;
}
