// SPDX-License-Identifier: MIT
#include "ui/common_dialogs.h"

#include <QDir>
#include <QFileDialog>
#include <stdexcept>

namespace tessaro::ui {

const QString CCommonDialogs::kOpenFilterDescription = QStringLiteral("Excel Files(*.xls;*.xlsx;*.xlsm;*.xlsb;*.ods)");
const QString CCommonDialogs::kOpenPattern = QStringLiteral("*.xl* *.ods");

namespace {

QString upToNul(const QString& text)
{
    const qsizetype nul = text.indexOf(QChar(u'\0'));
    return nul < 0 ? text : text.left(nul);
}

QString folderOf(const QString& file)
{
    const qsizetype slash = file.lastIndexOf(u'/');
    return slash < 0 ? QString() : file.left(slash);
}

QString nameOf(const QString& file)
{
    const qsizetype slash = file.lastIndexOf(u'/');
    return slash < 0 ? file : file.mid(slash + 1);
}

class QtDialogRunner final : public DialogRunner {
public:
    std::optional<QString> openFile(QWidget* owner, const OpenRequest& request) override
    {
        QFileDialog dialog(owner, request.title);
        dialog.setFileMode(QFileDialog::ExistingFile);
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        // Qt takes a filter's patterns from its last parentheses, and the description's
        // own parentheses hold ';'-separated patterns it cannot read; so the pattern goes in
        // a group of its own, hidden from the user.
        dialog.setOption(QFileDialog::HideNameFilterDetails, true);
        dialog.setNameFilter(request.filterDescription + " (" + request.pattern + ")");
        if (!request.defaultSuffix.isEmpty())
            dialog.setDefaultSuffix(request.defaultSuffix);
        if (!request.initialFolder.isEmpty())
            dialog.setDirectory(request.initialFolder);
        if (!request.initialFile.trimmed().isEmpty())
            dialog.selectFile(request.initialFile.trimmed());
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return std::nullopt;
        return dialog.selectedFiles().constFirst();
    }

    std::optional<QString> openFolder(QWidget* owner, const QString& title, const QString& startFolder) override
    {
        const QString folder = QFileDialog::getExistingDirectory(owner, title, startFolder, QFileDialog::ShowDirsOnly);
        if (folder.isEmpty())
            return std::nullopt;
        return folder;
    }
};

} // namespace

std::unique_ptr<DialogRunner> makeQtDialogRunner() { return std::make_unique<QtDialogRunner>(); }

CCommonDialogs::CCommonDialogs() : CCommonDialogs(makeQtDialogRunner()) {}

CCommonDialogs::CCommonDialogs(std::unique_ptr<DialogRunner> runner) : runner_(std::move(runner)) {}

CCommonDialogs::~CCommonDialogs() = default;

void CCommonDialogs::Init(QWidget* owner)
{
    owner_ = owner;
    initialised_ = true;
}

QWidget* CCommonDialogs::owner() const
{
    // The dialogs open over the owner window: asking before Init is a programming error.
    if (!initialised_)
        throw std::logic_error("CCommonDialogs: a Show method was called before Init");
    return owner_;
}

QString CCommonDialogs::FileName() const { return upToNul(fileName_); }
QString CCommonDialogs::FileTitle() const { return upToNul(fileTitle_); }
QString CCommonDialogs::Path() const { return upToNul(path_); }
QString CCommonDialogs::Title() const { return upToNul(title_); }

bool CCommonDialogs::ShowOpen()
{
    if (fileName_.size() > 260)
        throw std::invalid_argument("CCommonDialogs: the file name is longer than 260 characters");
    DialogRunner::OpenRequest request{title_, kOpenFilterDescription, kOpenPattern, upToNul(fileName_), defExt_, path_};
    const auto chosen = runner_->openFile(owner(), request);
    if (!chosen || chosen->isEmpty())
        return false;
    fileTitle_ = nameOf(*chosen);
    fileName_ = *chosen;
    path_ = folderOf(fileName_);
    return true;
}

bool CCommonDialogs::ShowFolder()
{
    const auto chosen = runner_->openFolder(owner(), upToNul(title_), path_);
    if (!chosen)
        return false;
    path_ = *chosen;
    fileName_.clear();
    fileTitle_.clear();
    return true;
}

} // namespace tessaro::ui
