#pragma once

// The update library's interface (UpdateServiceCom.dll): its service object, the options and
// events it speaks in, and the signatures of its two exports. Callers bind the exports through
// UpdateServiceCom/Exports.h; an update library defines them as extern "C" functions of these types
// and derives its service object from UpdateServiceInterface. This header stands alone so that an
// update library can be built against it without the rest of the program.

// The service object. Only its virtual operations cross the library boundary, in this slot order:
// SetOption, Update, Install. It has no virtual destructor, which would take slots of its own;
// the library creates and destroys the object (UpdSdkCreate, UpdSdkDestroy).
class UpdateServiceInterface
{
public:
    // Sets one option (UpdSdk::Option); the meaning of the value depends on the id. A value
    // that points to data is valid only during the call: the library copies what it keeps.
    // Returns 0 when the option is accepted, anything else when it is refused.
    virtual int SetOption(int option, void* value) = 0;

    // Downloads what is new; returns 0 on success or an error code of the library.
    virtual int Update() = 0;

    // Installs what Update downloaded; returns 0 on success or an error code of the library.
    virtual int Install() = 0;

protected:
    UpdateServiceInterface() = default;
    UpdateServiceInterface(const UpdateServiceInterface&) = default;
    UpdateServiceInterface& operator=(const UpdateServiceInterface&) = default;
    ~UpdateServiceInterface() = default;
};

namespace UpdSdk
{
// The progress callback: event code, event data (UpdSdk::Event) and the context given as
// OptionUpdateCallbackContext. Its result answers the event: 0 unless the event is a query.
using Callback = int(int event, void* data, void* context);

// Export signatures, named after the exports without their UpdSdk prefix.
using Create = UpdateServiceInterface*();             // null when no object could be made
using Destroy = int(UpdateServiceInterface* service); // result is not looked at

// Option ids and the value each one takes.
enum Option : int
{
    OptionServer = 600,                // const char*: base URL of the definitions server
    OptionUpdateCallback = 602,        // Callback*
    OptionUpdateCallbackContext = 603, // void*: handed back to every callback call
    OptionUseVersionId = 605,          // bool*: one byte
    OptionUsePatches = 615,            // bool*: one byte
    OptionLocalPath = 699,             // const wchar_t*: the program folder, no trailing separator
    // const wchar_t*: the socket of a resident engine service that serves this installation's
    // definitions. An install hands it the new set to load, so that the set is loaded once. A
    // library that does not know the option refuses it, and the caller goes on without.
    OptionEngineService = 701,
};

// Event codes the library passes to the callback, with the data each one carries.
enum Event : int
{
    EventCheckingForUpdate = 0, // none
    EventDownloadDone = 10,     // none
    EventUpToDate = 30,         // none
    EventFileName = 40,         // const char*: the file being downloaded, NUL-terminated
    EventTotalBytes = 60,       // std::uint64_t*: size of the whole download
    EventBytesDone = 70,        // std::uint64_t*: bytes downloaded so far
    EventRetryQuery1 = 80,      // none; a question: 1 means yes, try again; 0 means no
    EventRetryQuery2 = 81,      // as EventRetryQuery1
    EventRetryQuery3 = 82,      // as EventRetryQuery1
    EventInstallPending = 90,   // std::uint64_t*: nonzero when downloads wait for Install
};
} // namespace UpdSdk
