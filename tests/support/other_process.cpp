// SPDX-License-Identifier: MIT
#include "support/other_process.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tessaro::test {
namespace {

constexpr uid_t kNobody = 65534;

void writeAll(int fd, const std::string& text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n <= 0 && errno != EINTR)
            return;
        if (n > 0)
            done += static_cast<std::size_t>(n);
    }
}

std::string readAll(int fd)
{
    std::string out;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return out;
        out.append(buf, static_cast<std::size_t>(n));
    }
}

} // namespace

LockHolder::LockHolder(const std::filesystem::path& file, Kind kind)
{
    int ready[2];
    if (::pipe(ready) != 0)
        throw std::runtime_error("pipe");
    pid_ = ::fork();
    if (pid_ < 0)
        throw std::runtime_error("fork");
    if (pid_ == 0) {
        ::close(ready[0]);
        int fd = ::open(file.c_str(), O_RDWR);
        bool locked = false;
        if (fd >= 0 && kind == Kind::Posix) {
            struct flock l {};
            l.l_type = F_WRLCK;
            l.l_whence = SEEK_SET;
            locked = ::fcntl(fd, F_SETLK, &l) == 0;
        } else if (fd >= 0) {
            locked = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
        }
        char c = locked ? 'y' : 'n';
        (void)!::write(ready[1], &c, 1);
        for (;;)
            ::pause();
    }
    ::close(ready[1]);
    char c = 0;
    while (::read(ready[0], &c, 1) < 0 && errno == EINTR) {
    }
    ::close(ready[0]);
    if (c != 'y') {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        throw std::runtime_error("the other process could not lock " + file.string());
    }
}

LockHolder::~LockHolder()
{
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

bool privileged()
{
    return ::geteuid() == 0;
}

std::string asOrdinaryUser(const std::function<std::string()>& work)
{
    if (!privileged())
        return work();
    int out[2];
    if (::pipe(out) != 0)
        throw std::runtime_error("pipe");
    pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error("fork");
    if (pid == 0) {
        ::close(out[0]);
        std::string result;
        if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)
            result = std::string("cannot become an ordinary user: ") + std::strerror(errno);
        else {
            try {
                result = work();
            } catch (const std::exception& e) {
                result = std::string("exception: ") + e.what();
            }
        }
        writeAll(out[1], result);
        ::_exit(0);
    }
    ::close(out[1]);
    std::string result = readAll(out[0]);
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status))
        throw std::runtime_error("the ordinary user's process died");
    return result;
}

} // namespace tessaro::test
