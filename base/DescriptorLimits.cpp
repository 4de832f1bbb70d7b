// SPDX-License-Identifier: GPL-2.0-or-later
#include "base/DescriptorLimits.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace qw735 {

namespace {

rlim_t SoftDescriptorLimit()
{
    rlimit limit {};
    return ::getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_cur : RLIM_INFINITY;
}

}  // namespace

bool HasFreeDescriptors(int count)
{
    // Taking them is the only answer that holds for the system's table too.
    std::vector<int> taken;
    bool exhausted = false;
    for (int i = 0; i < count && !exhausted; ++i) {
        const int fd = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
        // Only a full table says no; a closed stderr tells nothing.
        exhausted = fd < 0 && (errno == EMFILE || errno == ENFILE);
        if (fd >= 0)
            taken.push_back(fd);
    }
    for (const int fd : taken)
        ::close(fd);
    return !exhausted;
}

QString DescriptorShortage()
{
    const rlim_t limit = SoftDescriptorLimit();
    if (limit == RLIM_INFINITY)
        return QStringLiteral("too many open files on this system");
    return QStringLiteral("too many open files (this process may open %1: ulimit -n)").arg(static_cast<qulonglong>(limit));
}

std::expected<void, QString> RaiseDescriptorLimit(int needed)
{
    rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= static_cast<rlim_t>(needed))
        return {};
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max == RLIM_INFINITY ? static_cast<rlim_t>(needed) : std::min<rlim_t>(limit.rlim_max, needed);
    if (raised.rlim_cur >= static_cast<rlim_t>(needed) && ::setrlimit(RLIMIT_NOFILE, &raised) == 0)
        return {};
    return std::unexpected(QStringLiteral("this write needs %1 file descriptors, but this process may open only %2 (ulimit -n %2); "
                                          "raise the limit (ulimit -n %1) or write fewer boards at once")
                               .arg(needed)
                               .arg(static_cast<qulonglong>(limit.rlim_max == RLIM_INFINITY ? limit.rlim_cur : limit.rlim_max)));
}

}  // namespace qw735
