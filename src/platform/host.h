// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tessaro {

enum class MessageIcon { None, Information, Critical };

// Every effect a command has on the desktop. The window answers these with Qt, the
// command-line tool on the terminal, and tests with a recording fake. A command may run
// on a worker thread; the window's implementation carries each call to its own thread
// and returns only when the call is done there, so calls are seen in the order made.
class Host {
public:
    virtual ~Host() = default;

    // A message box with an OK button; returns once the user has dismissed it.
    virtual void showMessage(const std::string& text, MessageIcon icon) = 0;

    // The one report at the end of a job in which something failed or was cancelled: a
    // box with the summary text and the icon, whose details list every line and can be
    // saved as a text file. Returns once the user has dismissed it.
    virtual void showReport(const std::string& summary, const std::vector<std::string>& details,
                            MessageIcon icon) = 0;

    // Whether the user has asked the running job to stop. A job asks between destinations,
    // so a destination being written is always finished or left as it was.
    virtual bool cancelRequested() { return false; }

    // The busy (hourglass) pointer on or off; see BusyPointer.
    virtual void setBusy(bool busy) = 0;

    // The progress display. Values are 64-bit; a display with a smaller range scales them.
    virtual void setProgressMaximum(std::int64_t maximum) = 0;
    virtual void setProgressValue(std::int64_t value) = 0;

    // The status line under the lists.
    virtual void setStatusText(const std::string& text) = 0;

    // The file chooser (one existing workbook file) and the folder chooser, with the given
    // title, opening in `startFolder`. They return the chosen full path, or nothing when the
    // user cancelled.
    virtual std::optional<std::string> chooseFile(const std::string& title, const std::string& startFolder) = 0;
    virtual std::optional<std::string> chooseFolder(const std::string& title, const std::string& startFolder) = 0;

    // Hands a file, web address or mailto: address to the desktop's default handler and
    // returns without waiting for it; false when no program could take it.
    virtual bool openWithDesktop(const std::string& target) = 0;
};

// Shows the busy pointer for as long as it lives, and restores the normal pointer however
// the scope is left.
class BusyPointer {
public:
    explicit BusyPointer(Host& host) : host_(host) { host_.setBusy(true); }
    ~BusyPointer() { host_.setBusy(false); }
    BusyPointer(const BusyPointer&) = delete;
    BusyPointer& operator=(const BusyPointer&) = delete;

private:
    Host& host_;
};

} // namespace tessaro
