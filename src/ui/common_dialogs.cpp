// SPDX-License-Identifier: MIT
#include "ui/common_dialogs.h"

#include "state/app_dir.h"

#include <QColorDialog>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDialog>
#include <QPageSetupDialog>
#include <QPrintDialog>
#include <QPrinter>
#include <QPrinterInfo>
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
        if (!request.initialFile.trimmed().isEmpty())
            dialog.selectFile(request.initialFile.trimmed());
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return std::nullopt;
        return dialog.selectedFiles().constFirst();
    }

    std::optional<QString> openFolder(QWidget* owner, const QString& title) override
    {
        const QString folder = QFileDialog::getExistingDirectory(owner, title, QString(), QFileDialog::ShowDirsOnly);
        if (folder.isEmpty())
            return std::nullopt;
        return folder;
    }

    std::optional<QString> saveFile(QWidget* owner, const SaveRequest& request) override
    {
        QFileDialog dialog(owner, request.title, request.folder);
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setFileMode(QFileDialog::AnyFile);
        dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
        dialog.setNameFilters(request.nameFilters);
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return std::nullopt;
        return dialog.selectedFiles().constFirst();
    }

    std::optional<QColor> color(QWidget* owner, QColor initial, bool /*fullOpen*/) override
    {
        // Qt's colour dialog always shows its full form, custom colours included.
        QColorDialog dialog(initial, owner);
        if (dialog.exec() != QDialog::Accepted)
            return std::nullopt;
        return dialog.selectedColor();
    }

    std::optional<QFont> font(QWidget* owner, const QFont& initial) override
    {
        bool ok = false;
        const QFont chosen = QFontDialog::getFont(&ok, initial, owner);
        if (!ok)
            return std::nullopt;
        return chosen;
    }

    bool printer(QWidget* owner) override
    {
        QPrinter printer;
        QPrintDialog dialog(&printer, owner);
        dialog.setOption(QAbstractPrintDialog::PrintSelection, false);
        dialog.setOption(QAbstractPrintDialog::PrintPageRange, false);
        dialog.setOption(QAbstractPrintDialog::PrintToFile, false);
        return dialog.exec() == QDialog::Accepted;
    }

    bool printerProperties(QWidget* owner) override
    {
        const QPrinterInfo info = QPrinterInfo::defaultPrinter();
        if (info.isNull())
            return false;
        QPrinter printer(info);
        QPageSetupDialog dialog(&printer, owner);
        return dialog.exec() == QDialog::Accepted;
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
    DialogRunner::OpenRequest request{title_, kOpenFilterDescription, kOpenPattern, upToNul(fileName_), defExt_};
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
    const auto chosen = runner_->openFolder(owner(), upToNul(title_));
    if (!chosen)
        return false;
    path_ = *chosen;
    fileName_.clear();
    fileTitle_.clear();
    return true;
}

bool CCommonDialogs::ShowSave()
{
    QWidget* window = owner();
    const QString appDir = appDir_.isEmpty() ? QString::fromStdString(resolveAppDir().string()) : appDir_;
    if (path_.trimmed().isEmpty()) {
        path_ = appDir;
    } else {
        if (!path_.endsWith(u'/'))
            path_ += u'/';
        if (!QFileInfo(path_).isDir())
            path_ = appDir;
    }

    const QString filterText = filter_.trimmed().isEmpty() ? QStringLiteral("*.*|*.*") : filter_;
    const QStringList pieces = filterText.split(u'|');
    QStringList nameFilters;
    for (qsizetype i = 0; i + 1 < pieces.size(); i += 2) {
        QString patterns = pieces[i + 1];
        patterns.replace(u';', u' ');
        nameFilters << pieces[i] + " (" + patterns + ")";
    }
    if (pieces.size() % 2 == 1 && !pieces.last().isEmpty())
        nameFilters << pieces.last() + " (*)";

    const auto chosen = runner_->saveFile(window, DialogRunner::SaveRequest{QStringLiteral("Save"), nameFilters, path_});
    if (!chosen || chosen->isEmpty())
        return false;
    fileTitle_ = nameOf(*chosen);
    fileName_ = chosen->left(255);
    path_ = folderOf(fileName_);
    return true;
}

bool CCommonDialogs::ShowColor(bool& fullOpen)
{
    const auto v = static_cast<std::uint32_t>(color_);
    const QColor initial(static_cast<int>(v & 0xFF), static_cast<int>((v >> 8) & 0xFF),
                         static_cast<int>((v >> 16) & 0xFF));
    const auto chosen = runner_->color(owner(), initial, fullOpen);
    if (!chosen)
        return false;
    color_ = static_cast<std::int32_t>(static_cast<std::uint32_t>(chosen->red()) |
                                       (static_cast<std::uint32_t>(chosen->green()) << 8) |
                                       (static_cast<std::uint32_t>(chosen->blue()) << 16));
    return true;
}

bool CCommonDialogs::ShowFont()
{
    QFont initial(fontName_);
    if (fontSize_ > 0)
        initial.setPointSize(fontSize_);
    initial.setBold(fontBold_);
    initial.setItalic(fontItalic_);
    initial.setUnderline(fontUnderline_);
    QWidget* window = nullptr;
    try {
        window = owner();
    } catch (const std::logic_error&) {
        return false; // this dialog reports only through its result
    }
    const auto chosen = runner_->font(window, initial);
    if (!chosen)
        return false;
    fontName_ = chosen->family();
    fontBold_ = chosen->bold();
    fontItalic_ = chosen->italic();
    fontSize_ = static_cast<std::int16_t>(chosen->pointSizeF() > 0 ? static_cast<int>(chosen->pointSizeF()) : 0);
    return true;
}

bool CCommonDialogs::ShowPrinter() { return runner_->printer(owner()); }

bool CCommonDialogs::ShowPrinterProperties()
{
    try {
        return runner_->printerProperties(owner());
    } catch (const std::logic_error&) {
        return false;
    }
}

} // namespace tessaro::ui
