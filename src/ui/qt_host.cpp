// SPDX-License-Identifier: MIT
#include "ui/qt_host.h"

#include "ui/common_dialogs.h"
#include "ui/report_box.h"

#include <QApplication>
#include <QDesktopServices>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QThread>
#include <QUrl>
#include <climits>

namespace tessaro::ui {

QtHost::QtHost(QWidget* window, QProgressBar* progress, QLabel* status)
    : QObject(window), window_(window), progress_(progress), status_(status)
{
    messageRunner_ = [this](const QString& text, MessageIcon icon) {
        QMessageBox::Icon boxIcon = QMessageBox::NoIcon;
        if (icon == MessageIcon::Information)
            boxIcon = QMessageBox::Information;
        else if (icon == MessageIcon::Critical)
            boxIcon = QMessageBox::Critical;
        // No box sets a title of its own: each shows the application's name.
        QMessageBox box(boxIcon, QApplication::applicationDisplayName(), text, QMessageBox::Ok, window_);
        box.exec();
    };
    reportRunner_ = [this](const QString& summary, const QStringList& details, MessageIcon icon) {
        ReportBox box(summary, details,
                      icon == MessageIcon::Critical ? ReportBox::Icon::Critical : ReportBox::Icon::Information,
                      window_);
        box.exec();
    };
    chooserRunner_ = [this](Chooser kind, const QString& title) -> std::optional<QString> {
        CCommonDialogs dialogs;
        dialogs.Init(window_);
        dialogs.setTitle(title);
        dialogs.setPath(chooserStart_);
        if (kind == Chooser::File)
            return dialogs.ShowOpen() ? std::optional<QString>(dialogs.FileName()) : std::nullopt;
        return dialogs.ShowFolder() ? std::optional<QString>(dialogs.Path()) : std::nullopt;
    };
    desktopOpener_ = [](const QString& target) {
        const QUrl url = target.startsWith('/') ? QUrl::fromLocalFile(target) : QUrl::fromUserInput(target);
        return QDesktopServices::openUrl(url);
    };
}

void QtHost::onWindowThread(const std::function<void()>& work)
{
    if (QThread::currentThread() == thread()) {
        work();
        return;
    }
    QMetaObject::invokeMethod(this, [&work] { work(); }, Qt::BlockingQueuedConnection);
}

void QtHost::showMessage(const std::string& text, MessageIcon icon)
{
    onWindowThread([&] { messageRunner_(QString::fromStdString(text), icon); });
}

void QtHost::showReport(const std::string& summary, const std::vector<std::string>& details, MessageIcon icon)
{
    onWindowThread([&] {
        QStringList lines;
        for (const auto& line : details)
            lines << QString::fromStdString(line);
        reportRunner_(QString::fromStdString(summary), lines, icon);
    });
}

void QtHost::setBusy(bool busy)
{
    onWindowThread([&] {
        if (busy) {
            ++busyDepth_;
            QApplication::setOverrideCursor(Qt::WaitCursor);
        } else if (busyDepth_ > 0) {
            --busyDepth_;
            QApplication::restoreOverrideCursor();
        }
    });
}

int QtHost::displayed(std::int64_t value) const
{
    const std::int64_t scaled = value / scale_;
    return static_cast<int>(std::min<std::int64_t>(std::max<std::int64_t>(scaled, 0), INT_MAX));
}

void QtHost::setProgressMaximum(std::int64_t maximum)
{
    onWindowThread([&] {
        // A progress bar counts in int; larger jobs are shown in steps of `scale_` copies.
        scale_ = maximum > INT_MAX ? (maximum + INT_MAX - 1) / INT_MAX : 1;
        if (progress_)
            progress_->setMaximum(displayed(maximum));
    });
}

void QtHost::setProgressValue(std::int64_t value)
{
    onWindowThread([&] {
        if (progress_)
            progress_->setValue(std::min(displayed(value), progress_->maximum()));
    });
}

void QtHost::setStatusText(const std::string& text)
{
    onWindowThread([&] {
        if (status_)
            status_->setText(QString::fromStdString(text));
    });
}

std::optional<std::string> QtHost::chooseFile(const std::string& title, const std::string& startFolder)
{
    std::optional<std::string> result;
    onWindowThread([&] {
        chooserStart_ = QString::fromStdString(startFolder);
        if (auto chosen = chooserRunner_(Chooser::File, QString::fromStdString(title)))
            result = chosen->toStdString();
    });
    return result;
}

std::optional<std::string> QtHost::chooseFolder(const std::string& title, const std::string& startFolder)
{
    std::optional<std::string> result;
    onWindowThread([&] {
        chooserStart_ = QString::fromStdString(startFolder);
        if (auto chosen = chooserRunner_(Chooser::Folder, QString::fromStdString(title)))
            result = chosen->toStdString();
    });
    return result;
}

bool QtHost::openWithDesktop(const std::string& target)
{
    bool opened = false;
    onWindowThread([&] { opened = desktopOpener_(QString::fromStdString(target)); });
    return opened;
}

} // namespace tessaro::ui
