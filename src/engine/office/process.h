// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace tessaro::office {

// A child process in a process group of its own, so that it can be ended together with
// every process it starts (soffice runs oosplash, which runs soffice.bin). Its standard
// streams go to /dev/null. The destructor kills the group and reaps the child.
//
// The group must not outlive this process however it ends, SIGKILL included, and a parent-death
// signal would reach only the first of the office's processes. So a watchdog shell, in a group
// of its own and deaf to the terminal's signals, waits on a pipe whose only writer is this
// process: a word on the pipe means a normal end; end of file means this process died, and the
// watchdog kills the group and removes `leftovers` (the office's profile folder and sockets).
class ChildProcess {
public:
    // Throws std::system_error when the program or its watchdog cannot be started. `settings`
    // ("NAME=value") replace or join the program's environment.
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 const std::vector<std::string>& leftovers = {}, const std::vector<std::string>& settings = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    int pid() const { return pid_; }

    // Whether the child has ended; it is not reaped yet, so its process group id stays
    // reserved for the signals below.
    bool exited();
    // The child's exit status as waitpid reports it, once it has exited.
    std::optional<int> status() const { return status_; }

    // Waits up to `limit` for the child to end by itself.
    bool waitFor(std::chrono::milliseconds limit);

    // Sends SIGKILL to every process of the group. Safe from another thread while the child
    // is not reaped.
    void killGroup() noexcept;

    // Kills what is left of the group, removes `leftovers` and reaps the child.
    void end() noexcept;

private:
    void startWatchdog();
    void stopWatchdog() noexcept;

    int pid_ = -1;
    std::vector<std::string> leftovers_;
    int watchdogPid_ = -1;
    int watchdogPipe_ = -1;
    bool reaped_ = false;
    std::optional<int> status_;
};

} // namespace tessaro::office
