// The deploy-platform file UpdateServer.txt under the all-users data folder (JSON).
// Invariant: a "platform" string reaches the update check unchanged.
#include "FuzzSupport.h"

#include "DeployPlatform.h"

#include "FileSystemHelper/Text.h"

#include <boost/filesystem/operations.hpp>
#include <boost/json/parse.hpp>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // The all-users data folder of this process is the scratch folder.
    ::setenv("PROGRAMDATA", CorvaneFuzz::ScratchFolder().c_str(), 1);
    boost::filesystem::create_directories(CorvaneFuzz::ScratchFolder() / "Corvane" /
                                          "Corvane antivirus" / "Options");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string content = CorvaneFuzz::Bytes(data, size);
    CorvaneFuzz::WriteFile(CorvaneFuzz::ScratchFolder() / "Corvane" / "Corvane antivirus" /
                               "Options" / "UpdateServer.txt",
                           content);
    const std::wstring platform = CorvaneCommandLineScanner::DeployPlatformFromFile();

    boost::system::error_code error;
    const boost::json::value document = boost::json::parse(content, error);
    const boost::json::object* object = error ? nullptr : document.if_object();
    const boost::json::value* value = object ? object->if_contains("platform") : nullptr;
    if (!value || !value->is_string())
    {
        CORVANE_FUZZ_CHECK(platform.empty(), CorvaneFuzz::Escaped(platform));
        return 0;
    }
    const std::string expected(value->get_string());
    const std::string read = FileSystemHelper::ToNarrow(platform, FileSystemHelper::CodePageUtf8);
    CORVANE_FUZZ_CHECK(read == expected,
                       CorvaneFuzz::Escaped(expected) + " read as " + CorvaneFuzz::Escaped(read));
    return 0;
}
