// SPDX-License-Identifier: GPL-2.0-or-later
// Test only, loaded with LD_PRELOAD into a writer: gives the pseudo-terminals
// it opens the modem lines they lack, as a real port's driver has them, and
// tells the simulated board behind each of every change, with its time
// (see sim/LineEvents.h). The writer's own calls are the ones exercised:
// TIOCMGET, TIOCMSET, TIOCMBIS and TIOCMBIC on a pseudo-terminal's slave
// are answered here; every other call goes on to the system. Like the
// kernel on a real port, an open raises both lines (unless the speed is
// B0) and the last close drops both while HUPCL is set.

#include "sim/LineEvents.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <stdarg.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

namespace {

using qw735::sim::LineCause;

// Pseudo-terminal slaves: major numbers 136 to 143, 256 minors each.
constexpr unsigned PtsMajorFirst = 136;
constexpr unsigned PtsMajorLast = 143;

struct Lines {
    bool dtr = false;
    bool rts = false;
    int opens = 0;
};

std::mutex mutex;
std::map<std::string, Lines> &Devices()
{
    static std::map<std::string, Lines> devices;  // by device name, as the board binds its socket
    return devices;
}
std::map<int, std::string> &Descriptors()
{
    static std::map<int, std::string> descriptors;  // a slave's descriptors, to their device
    return descriptors;
}

template <typename Function>
Function Next(const char *name)
{
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

void Tell(const std::string &device, const Lines &lines, LineCause cause)
{
    static const int socketFd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    qw735::sim::LineEvent event;
    event.atNs = qw735::sim::MonotonicNs();
    event.dtr = lines.dtr;
    event.rts = lines.rts;
    event.cause = static_cast<std::uint8_t>(cause);
    qw735::sim::SendLineEvent(socketFd, device, event);
}

void Opened(int fd)
{
    struct stat status {};
    if (fd < 0 || ::fstat(fd, &status) != 0 || !S_ISCHR(status.st_mode))
        return;
    const unsigned major = ::major(status.st_rdev);
    if (major < PtsMajorFirst || major > PtsMajorLast)
        return;
    const std::string device = "/dev/pts/" + std::to_string((major - PtsMajorFirst) * 256 + ::minor(status.st_rdev));
    struct termios tio {};
    const bool speed = ::tcgetattr(fd, &tio) == 0 && ::cfgetospeed(&tio) != B0;
    std::lock_guard lock(mutex);
    Descriptors()[fd] = device;
    Lines &lines = Devices()[device];
    ++lines.opens;
    if (speed) {
        lines.dtr = lines.rts = true;
        Tell(device, lines, LineCause::Opened);
    }
}

void Closing(int fd)
{
    std::lock_guard lock(mutex);
    const auto found = Descriptors().find(fd);
    if (found == Descriptors().end())
        return;
    const std::string device = found->second;
    Descriptors().erase(found);
    Lines &lines = Devices()[device];
    struct termios tio {};
    if (--lines.opens == 0 && ::tcgetattr(fd, &tio) == 0 && (tio.c_cflag & HUPCL)) {
        lines.dtr = lines.rts = false;
        Tell(device, lines, LineCause::Closed);
    }
}

// Answers a modem-line call on a slave; false for any other call.
bool LineCall(int fd, unsigned long request, int *bits)
{
    if (request != TIOCMGET && request != TIOCMSET && request != TIOCMBIS && request != TIOCMBIC)
        return false;
    std::lock_guard lock(mutex);
    const auto found = Descriptors().find(fd);
    if (found == Descriptors().end())
        return false;
    Lines &lines = Devices()[found->second];
    if (request == TIOCMGET) {
        *bits = (lines.dtr ? TIOCM_DTR : 0) | (lines.rts ? TIOCM_RTS : 0);
        return true;
    }
    const bool dtr = *bits & TIOCM_DTR, rts = *bits & TIOCM_RTS;
    if (request == TIOCMSET) {
        lines.dtr = dtr;
        lines.rts = rts;
    } else {
        const bool on = request == TIOCMBIS;
        if (dtr)
            lines.dtr = on;
        if (rts)
            lines.rts = on;
    }
    Tell(found->second, lines, LineCause::Set);
    return true;
}

template <typename Function>
int OpenThrough(const char *name, const char *path, int flags, va_list modes)
{
    const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(modes, mode_t) : 0;
    const int fd = Next<Function>(name)(path, flags, mode);
    Opened(fd);
    return fd;
}

}  // namespace

extern "C" {

int open(const char *path, int flags, ...)
{
    va_list modes;
    va_start(modes, flags);
    const int fd = OpenThrough<int (*)(const char *, int, ...)>("open", path, flags, modes);
    va_end(modes);
    return fd;
}

int open64(const char *path, int flags, ...)
{
    va_list modes;
    va_start(modes, flags);
    const int fd = OpenThrough<int (*)(const char *, int, ...)>("open64", path, flags, modes);
    va_end(modes);
    return fd;
}

int openat(int dir, const char *path, int flags, ...)
{
    va_list modes;
    va_start(modes, flags);
    const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(modes, mode_t) : 0;
    va_end(modes);
    const int fd = Next<int (*)(int, const char *, int, ...)>("openat")(dir, path, flags, mode);
    Opened(fd);
    return fd;
}

int openat64(int dir, const char *path, int flags, ...)
{
    va_list modes;
    va_start(modes, flags);
    const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(modes, mode_t) : 0;
    va_end(modes);
    const int fd = Next<int (*)(int, const char *, int, ...)>("openat64")(dir, path, flags, mode);
    Opened(fd);
    return fd;
}

int close(int fd)
{
    Closing(fd);
    return Next<int (*)(int)>("close")(fd);
}

int ioctl(int fd, unsigned long request, ...)
{
    va_list arguments;
    va_start(arguments, request);
    void *argument = va_arg(arguments, void *);
    va_end(arguments);
    if (LineCall(fd, request, static_cast<int *>(argument)))
        return 0;
    return Next<int (*)(int, unsigned long, ...)>("ioctl")(fd, request, argument);
}

}  // extern "C"
