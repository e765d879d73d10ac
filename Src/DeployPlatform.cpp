#include "DeployPlatform.h"
#include "Folders.h"
#include "Logger.h"

#include "FileSystemHelper/File.h"
#include "FileSystemHelper/Text.h"

#include <boost/exception/diagnostic_information.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/json/parse.hpp>
#include <stdexcept>

namespace CorvaneCommandLineScanner
{
namespace
{
const char* const platformKey = "platform";
}

bool ReadJsonFile(const std::wstring& path, JsonObject& values)
{
    try
    {
        Log(L"Info", "reading ", platformKey, " from ", path);
        std::vector<char> buffer;
        if (!FileSystemHelper::File::Read(path, buffer))
        {
            Log(L"Error", "couldn't read data from file");
            return false;
        }
        if (buffer.empty())
        {
            Log(L"Error", "empty buffer");
            return false;
        }
        boost::system::error_code error;
        const boost::json::value value =
            boost::json::parse(boost::json::string_view(buffer.data(), buffer.size()), error);
        if (error)
        {
            Log(L"Error", "could't read json value");
            return false;
        }
        const boost::json::object& object = value.as_object();
        values.clear();
        for (const auto& member : object)
            values[std::string(member.key())] = member.value();
        return true;
    }
    catch (const std::invalid_argument& e)
    {
        // The JSON library's type error: the file holds no object.
        Log(L"Error", e.what());
    }
    catch (const boost::exception&)
    {
        Log(L"Error", boost::current_exception_diagnostic_information());
    }
    catch (const std::exception& e)
    {
        Log(L"Error", e.what());
    }
    return false;
}

std::wstring DeployPlatformFromFile()
{
    try
    {
        const boost::filesystem::path path =
            InstallationLayout::ProductDataFolder() / "Options" / "UpdateServer.txt";
        boost::system::error_code error;
        const auto status = boost::filesystem::status(path, error);
        if (error || !boost::filesystem::exists(status))
            return {};

        JsonObject values;
        if (!ReadJsonFile(FileSystemHelper::WidePath(path), values))
            return {};
        const auto found = values.find(platformKey);
        if (found == values.end())
        {
            Log(L"Error", "couldn't find ", platformKey);
            return {};
        }
        try
        {
            const boost::json::string& platform = found->second.as_string();
            return FileSystemHelper::ToWide(std::string(platform.data(), platform.size()),
                                            FileSystemHelper::CodePageAnsi);
        }
        catch (const std::invalid_argument& e)
        {
            // The JSON library's type error: the value is no string.
            Log(L"Error", e.what());
            return {};
        }
    }
    catch (const boost::exception&)
    {
        Log(L"Error", boost::current_exception_diagnostic_information());
    }
    catch (const std::exception& e)
    {
        Log(L"Error", e.what());
    }
    return {};
}
} // namespace CorvaneCommandLineScanner
