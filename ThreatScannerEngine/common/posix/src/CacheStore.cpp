#include "CacheStore.h"

#include "Actions.h"

#include "FileSystemHelper/File.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <random>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace ThreatScannerEngine
{
const char cacheFileName[] = "cache.000";

namespace
{
void Put(std::string& out, std::uint64_t value)
{
    for (int i = 0; i < 8; ++i)
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

std::int64_t Nanoseconds(const struct timespec& time)
{
    return static_cast<std::int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

bool IsCacheFile(const char* name)
{
    const std::size_t length = std::strlen(cacheFileName);
    return std::strncmp(name, cacheFileName, length) == 0 &&
           (name[length] == '\0' || name[length] == '.');
}
} // namespace

bool DefinitionsDigest(const std::string& pluginsFolder, const std::string& engineVersion,
                       CacheDigest& digest)
{
    const int fd = OpenFolder(pluginsFolder, false);
    if (fd < 0)
        return false;
    std::unique_ptr<DIR, int (*)(DIR*)> folder(::fdopendir(fd), ::closedir);
    if (!folder)
    {
        ::close(fd);
        return false;
    }
    std::vector<std::string> described;
    for (;;)
    {
        errno = 0;
        const dirent* item = ::readdir(folder.get());
        if (!item)
        {
            if (errno != 0)
                return false;
            break;
        }
        if (std::strcmp(item->d_name, ".") == 0 || std::strcmp(item->d_name, "..") == 0 ||
            IsCacheFile(item->d_name))
            continue;
        // The definitions loader follows links, so the file a link names is described.
        struct stat status
        {
        };
        std::string line = item->d_name;
        line += '\0';
        if (::fstatat(::dirfd(folder.get()), item->d_name, &status, 0) == 0)
        {
            Put(line, status.st_mode);
            Put(line, status.st_dev);
            Put(line, status.st_ino);
            Put(line, static_cast<std::uint64_t>(status.st_size));
            Put(line, static_cast<std::uint64_t>(Nanoseconds(status.st_mtim)));
            Put(line, static_cast<std::uint64_t>(Nanoseconds(status.st_ctim)));
        }
        described.push_back(std::move(line));
    }
    std::sort(described.begin(), described.end());
    std::string all = engineVersion;
    all += '\0';
    for (const std::string& line : described)
    {
        Put(all, line.size());
        all += line;
    }
    digest = Sha256(all.data(), all.size());
    return true;
}

std::string ReadCacheFile(const std::string& pluginsFolder, std::size_t maxSize)
{
    const Descriptor folder(OpenFolder(pluginsFolder, false));
    if (!folder.Valid())
        return {};
    const Descriptor file(::openat(folder.Get(), cacheFileName,
                                   O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    struct stat status
    {
    };
    if (!file.Valid() || ::fstat(file.Get(), &status) != 0 || !S_ISREG(status.st_mode) ||
        status.st_uid != ::geteuid() || (status.st_mode & (S_IWGRP | S_IWOTH)) != 0 ||
        static_cast<std::uint64_t>(status.st_size) > maxSize)
        return {};
    std::string content(static_cast<std::size_t>(status.st_size), '\0');
    std::size_t done = 0;
    while (done < content.size())
    {
        const ssize_t count = ::read(file.Get(), &content[done], content.size() - done);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return {};
        done += static_cast<std::size_t>(count);
    }
    return content;
}

bool WriteCacheFile(const std::string& pluginsFolder, const std::string& content)
{
    const Descriptor folder(OpenFolder(pluginsFolder, false));
    if (!folder.Valid())
        return false;
    std::random_device random;
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt)
    {
        temporary =
            std::string(cacheFileName) + "." + std::to_string(random()) + std::to_string(random());
        fd = ::openat(folder.Get(), temporary.c_str(),
                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600);
        if (fd < 0 && errno != EEXIST)
            return false;
    }
    Descriptor file(fd);
    if (!file.Valid())
        return false;
    bool written = ::fchmod(file.Get(), 0600) == 0 &&
                   FileSystemHelper::File::WriteAll(file.Get(), content.data(), content.size());
    written = file.Close() && written;
    if (!written || ::renameat(folder.Get(), temporary.c_str(), folder.Get(), cacheFileName) != 0)
    {
        ::unlinkat(folder.Get(), temporary.c_str(), 0);
        return false;
    }
    return true;
}
} // namespace ThreatScannerEngine
