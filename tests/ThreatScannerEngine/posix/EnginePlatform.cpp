// The POSIX half of the engine tests' harness: running a check as another user.
#include "EngineHarness.h"

#include <boost/filesystem/operations.hpp>
#include <grp.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace EngineTest
{
int AsUnprivilegedUser(const fs::path& folder, const std::function<int()>& check)
{
    if (::geteuid() != 0)
        return check();
    // Open the folder and the folders above it up to the temporary folder for everyone.
    for (fs::path path = folder; !path.empty() && path != fs::temp_directory_path();
         path = path.parent_path())
        fs::permissions(path,
                        fs::perms::add_perms | fs::perms::others_read | fs::perms::others_exe);
    int ends[2];
    if (::pipe(ends) != 0)
        throw std::runtime_error("cannot create a pipe");
    const pid_t child = ::fork();
    if (child == 0)
    {
        ::close(ends[0]);
        int result = -1;
        if (::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0)
            result = check();
        (void)!::write(ends[1], &result, sizeof result);
        ::_exit(0);
    }
    ::close(ends[1]);
    int result = -1;
    if (::read(ends[0], &result, sizeof result) != static_cast<ssize_t>(sizeof result))
        result = -1;
    ::close(ends[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return result;
}
} // namespace EngineTest
