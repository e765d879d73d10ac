// A scripted update library. UpdateServiceCom.script.json beside it says what it does:
//   "createFails":  true makes UpdSdkCreate return null
//   "refuse":       option ids that SetOption refuses (answers 1)
//   "update", "install": { "events": [...], "result": <int> } for Update and Install
// An event is {"code": <int>} with optionally "text" (sent as a narrow string), "value" (sent as
// a pointer to an unsigned 64-bit number) and "nullContext": true (sent without the context).
// Without "text" or "value" the data pointer is null.
//
// UpdateServiceCom.record.json beside it, rewritten after every call, tells what happened:
//   "created", "destroyed": counts of UpdSdkCreate and UpdSdkDestroy calls
//   "destroyedOther": UpdSdkDestroy calls with a pointer this library did not hand out
//   "options": [{"id", "value"}] in order: the URL and the local path as text, the flags as
//              booleans, the callback and its context as whether they are non-null
//   "update", "install": {"calls": <count>, "answers": [callback result per event sent]}
#include "Export/Export.h"
#include "ProcessHelper/Process.h"
#include "UpdateServiceCom/UpdateServiceInterface.h"

#include <boost/filesystem/fstream.hpp>
#include <boost/filesystem/path.hpp>
#include <boost/json.hpp>
#include <boost/locale/encoding_utf.hpp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>
#include <type_traits>
#include <vector>

CORVANE_EXPORT UpdateServiceInterface* UpdSdkCreate();
CORVANE_EXPORT int UpdSdkDestroy(UpdateServiceInterface* service);

namespace
{
namespace json = boost::json;

static_assert(std::is_same_v<decltype(UpdSdkCreate), UpdSdk::Create>);
static_assert(std::is_same_v<decltype(UpdSdkDestroy), UpdSdk::Destroy>);

[[noreturn]] void Fail(const std::string& reason)
{
    std::fprintf(stderr, "ScriptedUpdateService: %s\n", reason.c_str());
    std::abort();
}

// The script and the record live beside this library, whatever folder it was installed in.
boost::filesystem::path BesideLibrary(const char* name)
{
    try
    {
        return ProcessHelper::Process::ModuleOf(reinterpret_cast<const void*>(&UpdSdkCreate))
                   .parent_path() /
               name;
    }
    catch (...)
    {
        Fail("cannot find its own file");
    }
}

json::object LoadScript()
{
    boost::filesystem::ifstream file(BesideLibrary("UpdateServiceCom.script.json"));
    if (!file)
        return {};
    const std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    boost::system::error_code error;
    json::value script = json::parse(text, error);
    if (error || !script.is_object())
        Fail("the script is not a JSON object");
    return script.as_object();
}

class Record
{
public:
    Record()
        : content{{"created", 0},
                  {"destroyed", 0},
                  {"destroyedOther", 0},
                  {"options", json::array()},
                  {"update", {{"calls", 0}, {"answers", json::array()}}},
                  {"install", {{"calls", 0}, {"answers", json::array()}}}}
    {
    }

    json::object& Content() { return content; }

    void Save() const
    {
        boost::filesystem::ofstream file(BesideLibrary("UpdateServiceCom.record.json"),
                                         std::ios::trunc);
        file << json::serialize(content);
        if (!file)
            Fail("cannot write the record");
    }

private:
    json::object content;
};

Record& TheRecord()
{
    static Record record;
    return record;
}

json::value OptionValue(int option, void* value)
{
    switch (option)
    {
    case UpdSdk::OptionServer:
        return value ? json::value(static_cast<const char*>(value)) : json::value(nullptr);
    case UpdSdk::OptionLocalPath:
    case UpdSdk::OptionEngineService:
        return value ? json::value(boost::locale::conv::utf_to_utf<char>(
                           static_cast<const wchar_t*>(value)))
                     : json::value(nullptr);
    case UpdSdk::OptionUseVersionId:
    case UpdSdk::OptionUsePatches:
        return value ? json::value(*static_cast<const bool*>(value)) : json::value(nullptr);
    default:
        return json::value(value != nullptr);
    }
}

class ScriptedService final : public UpdateServiceInterface
{
public:
    explicit ScriptedService(json::object script) : script(std::move(script)) {}

    int SetOption(int option, void* value) override
    {
        return Guarded([&] { return Accept(option, value); });
    }

    int Update() override
    {
        return Guarded([&] { return Run("update"); });
    }

    int Install() override
    {
        return Guarded([&] { return Run("install"); });
    }

private:
    // A script the double cannot follow stops the test run here, not in the program.
    template <typename Call> static int Guarded(Call call)
    {
        try
        {
            return call();
        }
        catch (const std::exception& error)
        {
            Fail(error.what());
        }
    }

    int Accept(int option, void* value)
    {
        TheRecord().Content()["options"].as_array().push_back(
            json::object{{"id", option}, {"value", OptionValue(option, value)}});
        TheRecord().Save();
        if (const json::value* refused = script.if_contains("refuse"))
            for (const json::value& id : refused->as_array())
                if (id.to_number<int>() == option)
                    return 1;
        if (option == UpdSdk::OptionUpdateCallback)
            callback = reinterpret_cast<UpdSdk::Callback*>(value);
        if (option == UpdSdk::OptionUpdateCallbackContext)
            context = value;
        return 0;
    }

    int Run(const char* step)
    {
        json::object& stepRecord = TheRecord().Content()[step].as_object();
        stepRecord["calls"] = stepRecord["calls"].to_number<int>() + 1;
        TheRecord().Save();
        const json::value* stepScript = script.if_contains(step);
        if (!stepScript)
            return 0;
        if (const json::value* events = stepScript->as_object().if_contains("events"))
            for (const json::value& event : events->as_array())
            {
                const int answer = Send(event.as_object());
                stepRecord["answers"].as_array().push_back(answer);
                TheRecord().Save();
            }
        const json::value* result = stepScript->as_object().if_contains("result");
        return result ? result->to_number<int>() : 0;
    }

    int Send(const json::object& event)
    {
        if (!callback)
            Fail("an event is due but no callback was set");
        std::string text;
        std::uint64_t value = 0;
        void* data = nullptr;
        if (const json::value* given = event.if_contains("text"))
        {
            text = given->as_string().c_str();
            data = text.data();
        }
        else if (const json::value* given = event.if_contains("value"))
        {
            value = given->to_number<std::uint64_t>();
            data = &value;
        }
        const json::value* nullContext = event.if_contains("nullContext");
        const bool withContext = !(nullContext && nullContext->as_bool());
        return callback(event.at("code").to_number<int>(), data, withContext ? context : nullptr);
    }

    json::object script;
    UpdSdk::Callback* callback = nullptr;
    void* context = nullptr;
};

std::vector<ScriptedService*>& Live()
{
    static std::vector<ScriptedService*> services;
    return services;
}
} // namespace

CORVANE_EXPORT UpdateServiceInterface* UpdSdkCreate()
{
    try
    {
        json::object script = LoadScript();
        json::object& record = TheRecord().Content();
        record["created"] = record["created"].to_number<int>() + 1;
        TheRecord().Save();
        if (const json::value* fails = script.if_contains("createFails"); fails && fails->as_bool())
            return nullptr;
        Live().push_back(new ScriptedService(std::move(script)));
        return Live().back();
    }
    catch (const std::exception& error)
    {
        Fail(error.what());
    }
}

CORVANE_EXPORT int UpdSdkDestroy(UpdateServiceInterface* service)
{
    json::object& record = TheRecord().Content();
    std::vector<ScriptedService*>& live = Live();
    for (auto it = live.begin(); it != live.end(); ++it)
        if (*it == service)
        {
            delete *it;
            live.erase(it);
            record["destroyed"] = record["destroyed"].to_number<int>() + 1;
            TheRecord().Save();
            return 0;
        }
    record["destroyedOther"] = record["destroyedOther"].to_number<int>() + 1;
    TheRecord().Save();
    return 1;
}
