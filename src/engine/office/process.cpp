// SPDX-License-Identifier: MIT
#include "engine/office/process.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace tessaro::office {

namespace {

// Runs with the pipe as its standard input. `read` fails only at end of file, which comes
// when every writer is gone: the pipe's write end is close-on-exec, so only this process
// ever holds it. A killed office may still finish a write into its profile before it is
// gone, so the profile is removed once no process of the office's group runs any more
// (zombies aside: an init that does not reap them keeps them for ever), waiting 5 s at most,
// and once more if something landed in it meanwhile.
constexpr const char* kWatchdogScript =
    "trap '' INT TERM HUP QUIT PIPE; "
    "if read -r word; then exit 0; fi; "
    "kill -s KILL -- \"-$1\" 2>/dev/null; "
    "i=0; while [ $i -lt 50 ] && ps -e -o pgid= -o stat= 2>/dev/null | "
    "awk -v g=\"$1\" '$1 == g && $2 !~ /^Z/ { f = 1 } END { exit !f }'; do sleep 0.1; i=$((i+1)); done; "
    "shift; if [ $# -gt 0 ]; then rm -rf -- \"$@\" 2>/dev/null || { sleep 0.2; rm -rf -- \"$@\"; }; fi";

std::vector<char*> argvOf(std::vector<std::string>& storage)
{
    std::vector<char*> argv;
    for (auto& s : storage)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    return argv;
}

} // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const std::vector<std::string>& leftovers, const std::vector<std::string>& settings)
{
    std::vector<std::string> environment(settings);
    for (char** e = environ; *e; ++e) {
        const std::string_view entry(*e);
        const auto name = entry.substr(0, entry.find('=') + 1);
        const bool replaced = std::any_of(settings.begin(), settings.end(),
                                          [&](const std::string& s) { return std::string_view(s).substr(0, name.size()) == name; });
        if (!replaced)
            environment.emplace_back(entry);
    }
    std::vector<char*> envp = argvOf(environment);

    std::vector<std::string> storage;
    storage.push_back(program);
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv = argvOf(storage);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    for (int fd = 0; fd <= 2; ++fd)
        posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
    posix_spawnattr_setpgroup(&attr, 0);
    // The caller may block signals (a GUI's worker thread); the office must not inherit that.
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    // Nor an ignored SIGPIPE, which Tessaro sets for itself.
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0)
        throw std::system_error(rc, std::generic_category(), "cannot start " + program);
    pid_ = pid;
    leftovers_ = leftovers;
    try {
        startWatchdog();
    } catch (...) {
        end();
        throw;
    }
}

ChildProcess::~ChildProcess() { end(); }

void ChildProcess::startWatchdog()
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        throw std::system_error(errno, std::generic_category(), "cannot watch the office process");
    std::vector<std::string> storage = {"/bin/sh", "-c", kWatchdogScript, "tessaro-office-watchdog",
                                        std::to_string(pid_)};
    storage.insert(storage.end(), leftovers_.begin(), leftovers_.end());
    std::vector<char*> argv = argvOf(storage);
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
    for (int fd = 1; fd <= 2; ++fd)
        posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", O_WRONLY, 0);
    // A group of its own: the Ctrl-C or the group kill that ends Tessaro must not end it too.
    posix_spawnattr_setpgroup(&attr, 0);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, "/bin/sh", &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ::close(fds[0]);
    if (rc != 0) {
        ::close(fds[1]);
        throw std::system_error(rc, std::generic_category(), "cannot start the office's watchdog");
    }
    watchdogPid_ = pid;
    watchdogPipe_ = fds[1];
}

void ChildProcess::stopWatchdog() noexcept
{
    if (watchdogPipe_ >= 0) {
        // SIGPIPE is ignored by Tessaro; a watchdog that died already just makes this fail.
        const char word[] = "done\n";
        [[maybe_unused]] const ssize_t n = ::write(watchdogPipe_, word, sizeof word - 1);
        ::close(watchdogPipe_);
        watchdogPipe_ = -1;
    }
    if (watchdogPid_ > 0) {
        int status = 0;
        while (::waitpid(watchdogPid_, &status, 0) < 0 && errno == EINTR) {
        }
        watchdogPid_ = -1;
    }
}

bool ChildProcess::exited()
{
    if (status_)
        return true;
    siginfo_t info{};
    // WNOWAIT leaves the child a zombie: its pid, and so the process group id, cannot be
    // given to another process while the group may still be signalled.
    if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid_) {
        status_ = info.si_code == CLD_EXITED ? info.si_status : 128 + info.si_status;
        return true;
    }
    return false;
}

bool ChildProcess::waitFor(std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!exited()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

void ChildProcess::killGroup() noexcept
{
    if (pid_ > 0 && !reaped_)
        ::kill(-pid_, SIGKILL);
}

void ChildProcess::end() noexcept
{
    if (pid_ <= 0 || reaped_)
        return;
    // The whole group goes before the leader is reaped, while its id still names the group.
    killGroup();
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
    }
    // The watchdog is dismissed only once the leftovers are gone: killed at any moment before,
    // this process leaves the removal to it.
    for (const auto& path : leftovers_) {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    stopWatchdog();
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
}

} // namespace tessaro::office
