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
class ChildProcess {
public:
    // Throws std::system_error when the program cannot be started.
    ChildProcess(const std::string& program, const std::vector<std::string>& args);
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

    // Kills what is left of the group and reaps the child.
    void end() noexcept;

private:
    int pid_ = -1;
    bool reaped_ = false;
    std::optional<int> status_;
};

} // namespace tessaro::office
