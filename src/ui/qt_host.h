// SPDX-License-Identifier: MIT
#pragma once

#include "platform/host.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <atomic>
#include <functional>
#include <optional>

class QLabel;
class QProgressBar;
class QWidget;

namespace tessaro::ui {

// The window's Host. Calls from another thread are carried to the window's thread and wait
// there, so a job on a worker thread sees its message boxes answered in order.
// The dialogs go through replaceable runners: the real ones by default, scripted ones in tests.
class QtHost : public QObject, public Host {
    Q_OBJECT
public:
    using MessageRunner = std::function<void(const QString& text, MessageIcon icon)>;
    enum class Chooser { File, Folder };
    using ChooserRunner = std::function<std::optional<QString>(Chooser kind, const QString& title)>;
    using DesktopOpener = std::function<bool(const QString& target)>;
    using ReportRunner = std::function<void(const QString& summary, const QStringList& details, MessageIcon icon)>;

    QtHost(QWidget* window, QProgressBar* progress, QLabel* status);

    void setMessageRunner(MessageRunner runner) { messageRunner_ = std::move(runner); }
    void setChooserRunner(ChooserRunner runner) { chooserRunner_ = std::move(runner); }
    void setDesktopOpener(DesktopOpener opener) { desktopOpener_ = std::move(opener); }
    void setReportRunner(ReportRunner runner) { reportRunner_ = std::move(runner); }

    // The user's request to stop the running job, read by the job on its own thread.
    void requestCancel() { cancel_ = true; }
    void clearCancel() { cancel_ = false; }

    void showMessage(const std::string& text, MessageIcon icon) override;
    void showReport(const std::string& summary, const std::vector<std::string>& details, MessageIcon icon) override;
    bool cancelRequested() override { return cancel_; }
    void setBusy(bool busy) override;
    void setProgressMaximum(std::int64_t maximum) override;
    void setProgressValue(std::int64_t value) override;
    void setStatusText(const std::string& text) override;
    std::optional<std::string> chooseFile(const std::string& title, const std::string& startFolder) override;
    std::optional<std::string> chooseFolder(const std::string& title, const std::string& startFolder) override;
    bool openWithDesktop(const std::string& target) override;

    // The value a 64-bit progress figure takes on the bar, whose range is an int.
    int displayed(std::int64_t value) const;

private:
    void onWindowThread(const std::function<void()>& work);

    QPointer<QWidget> window_;
    QPointer<QProgressBar> progress_;
    QPointer<QLabel> status_;
    MessageRunner messageRunner_;
    ChooserRunner chooserRunner_;
    QString chooserStart_;  // where the chooser being shown opens
    DesktopOpener desktopOpener_;
    ReportRunner reportRunner_;
    std::atomic<bool> cancel_ = false;
    std::int64_t scale_ = 1;
    int busyDepth_ = 0;
};

} // namespace tessaro::ui
