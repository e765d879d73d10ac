#include "ProcessHelper/SystemIdentity.h"

#include "ExceptionHelper/Exception.h"

#include <cstddef>
#include <memory>
#include <wbemidl.h>
#include <windows.h>

namespace ProcessHelper
{
// The record is the system's extended version record, field for field.
static_assert(sizeof(OsVersionRecord) == sizeof(OSVERSIONINFOEXW));
static_assert(offsetof(OsVersionRecord, platformId) == offsetof(OSVERSIONINFOEXW, dwPlatformId));
static_assert(offsetof(OsVersionRecord, servicePack) == offsetof(OSVERSIONINFOEXW, szCSDVersion));
static_assert(offsetof(OsVersionRecord, servicePackMajor) ==
              offsetof(OSVERSIONINFOEXW, wServicePackMajor));
static_assert(offsetof(OsVersionRecord, productType) == offsetof(OSVERSIONINFOEXW, wProductType));
static_assert(sizeof(OSVERSIONINFOW) == OsVersionRecord::BasicSize);

namespace
{
using RtlGetVersionFunction = LONG(WINAPI*)(OsVersionRecord*);

const LONG StatusDllNotFound = static_cast<LONG>(0xC0000135);
const LONG StatusProcedureNotFound = static_cast<LONG>(0xC000007A);

// The kernel's own version query, which reports the real release whatever the program's
// manifest says. ntdll is in every process; the export is looked up once.
RtlGetVersionFunction FindRtlGetVersion(LONG& status)
{
    static const struct Lookup
    {
        RtlGetVersionFunction function = nullptr;
        LONG status = 0;

        Lookup()
        {
            const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
            if (!ntdll)
            {
                status = StatusDllNotFound;
                return;
            }
            const FARPROC address = ::GetProcAddress(ntdll, "RtlGetVersion");
            if (!address)
            {
                status = StatusProcedureNotFound;
                return;
            }
            function =
                reinterpret_cast<RtlGetVersionFunction>(reinterpret_cast<void (*)()>(address));
        }
    } lookup;
    status = lookup.status;
    return lookup.function;
}

template <typename Interface> struct Releaser
{
    void operator()(Interface* object) const { object->Release(); }
};
template <typename Interface> using ComPointer = std::unique_ptr<Interface, Releaser<Interface>>;

struct StringFreer
{
    void operator()(BSTR text) const { ::SysFreeString(text); }
};
using String = std::unique_ptr<OLECHAR, StringFreer>;

HRESULT MakeString(const wchar_t* text, String& result)
{
    result.reset(::SysAllocString(text));
    return result ? S_OK : E_OUTOFMEMORY;
}

// Throws a failed result as a COM error of the enclosing function.
#define CORVANE_CHECK(call)                                                                        \
    do                                                                                             \
    {                                                                                              \
        const HRESULT checkedResult = (call);                                                      \
        if (FAILED(checkedResult))                                                                 \
            BOOST_THROW_EXCEPTION(ExceptionHelper::Com(_com_error(checkedResult)));                \
    } while (false)

struct VariantClearer
{
    VARIANT value;
    VariantClearer() { ::VariantInit(&value); }
    ~VariantClearer() { ::VariantClear(&value); }
    VariantClearer(const VariantClearer&) = delete;
    VariantClearer& operator=(const VariantClearer&) = delete;
};
} // namespace

std::int32_t SystemIdentity::GetVersion(OsVersionRecord& record)
{
    LONG status = 0;
    const RtlGetVersionFunction rtlGetVersion = FindRtlGetVersion(status);
    if (!rtlGetVersion)
        return status;
    return rtlGetVersion(&record);
}

// The UUID property of the computer system product, read through WMI with the caller's
// credentials. A failed step throws the COM error; an answer without a text UUID is empty.
std::wstring SystemIdentity::MachineUuid()
{
    IWbemLocator* rawLocator = nullptr;
    CORVANE_CHECK(::CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER,
                                     IID_IWbemLocator, reinterpret_cast<void**>(&rawLocator)));
    const ComPointer<IWbemLocator> locator(rawLocator);

    IWbemServices* rawServices = nullptr;
    String nameSpace;
    CORVANE_CHECK(MakeString(L"ROOT\\CIMV2", nameSpace));
    CORVANE_CHECK(locator->ConnectServer(nameSpace.get(), nullptr, nullptr, nullptr, 0, nullptr,
                                         nullptr, &rawServices));
    const ComPointer<IWbemServices> services(rawServices);

    CORVANE_CHECK(::CoSetProxyBlanket(services.get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                                      RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr,
                                      EOAC_NONE));

    IEnumWbemClassObject* rawEnumerator = nullptr;
    String language;
    String query;
    CORVANE_CHECK(MakeString(L"WQL", language));
    CORVANE_CHECK(MakeString(L"SELECT * FROM Win32_ComputerSystemProduct", query));
    CORVANE_CHECK(services->ExecQuery(language.get(), query.get(),
                                      WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY,
                                      nullptr, &rawEnumerator));
    const ComPointer<IEnumWbemClassObject> enumerator(rawEnumerator);

    IWbemClassObject* rawObject = nullptr;
    ULONG returned = 0;
    CORVANE_CHECK(enumerator->Next(static_cast<LONG>(WBEM_INFINITE), 1, &rawObject, &returned));
    const ComPointer<IWbemClassObject> object(rawObject);
    if (returned == 0 || !object)
        return {};

    VariantClearer uuid;
    CORVANE_CHECK(object->Get(L"UUID", 0, &uuid.value, nullptr, nullptr));
    if (V_VT(&uuid.value) != VT_BSTR || !V_BSTR(&uuid.value))
        return {};
    // Wine answers with a lower-case placeholder where the host has no machine id; a text that is
    // no UUID (a UUID is plain ASCII) is no answer.
    const std::wstring answer(V_BSTR(&uuid.value), ::SysStringLen(V_BSTR(&uuid.value)));
    std::string text;
    for (const wchar_t c : answer)
    {
        if (static_cast<std::uint32_t>(c) > 0x7F)
            return {};
        text += static_cast<char>(c);
    }
    return NormalizedUuid(text);
}
} // namespace ProcessHelper
