// SPDX-License-Identifier: MIT
#include "ui/report_box.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSaveFile>
#include <QStyle>
#include <QVBoxLayout>

namespace tessaro::ui {

ReportBox::ReportBox(const QString& summary, const QStringList& details, Icon icon, QWidget* parent)
    : QDialog(parent), lines_(details)
{
    // Like every other box of the program, it shows the application's name as its title.
    setWindowTitle(QApplication::applicationDisplayName());
    setObjectName(QStringLiteral("reportBox"));

    auto* iconLabel = new QLabel(this);
    const auto standard =
        icon == Icon::Critical ? QStyle::SP_MessageBoxCritical : QStyle::SP_MessageBoxInformation;
    const int extent = style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, this);
    iconLabel->setPixmap(style()->standardIcon(standard, nullptr, this).pixmap(extent, extent));
    summary_ = new QLabel(summary, this);
    summary_->setWordWrap(true);
    summary_->setTextInteractionFlags(Qt::TextSelectableByMouse);

    details_ = new QPlainTextEdit(details.join(u'\n'), this);
    details_->setReadOnly(true);
    details_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    details_->setAccessibleName(QStringLiteral("Report lines"));
    details_->setAccessibleDescription(QStringLiteral("Every copy that failed, with the reason"));
    details_->setVisible(!details.isEmpty());

    auto* buttons = new QDialogButtonBox(this);
    save_ = buttons->addButton(QStringLiteral("&Save List..."), QDialogButtonBox::ActionRole);
    save_->setAccessibleDescription(QStringLiteral("Save the report lines as a text file"));
    save_->setVisible(!details.isEmpty());
    QPushButton* ok = buttons->addButton(QDialogButtonBox::Ok);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(save_, &QPushButton::clicked, this, &ReportBox::saveClicked);

    auto* top = new QHBoxLayout;
    top->addWidget(iconLabel, 0, Qt::AlignTop);
    top->addWidget(summary_, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(details_, 1);
    layout->addWidget(buttons);
    resize(640, details.isEmpty() ? 140 : 300);
    ok->setFocus();

    chooseSaveFile = [this]() -> std::optional<QString> {
        const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Save the report"),
                                                          QDir::home().filePath(QStringLiteral("tessaro-report.txt")),
                                                          QStringLiteral("Text files (*.txt)"));
        if (path.isEmpty())
            return std::nullopt;
        return path;
    };
}

std::optional<QString> ReportBox::saveTo(const QString& path) const
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text))
        return file.errorString();
    for (const QString& line : lines_)
        file.write((line + u'\n').toUtf8());
    if (!file.commit())
        return file.errorString();
    return std::nullopt;
}

void ReportBox::saveClicked()
{
    const auto path = chooseSaveFile();
    if (!path)
        return;
    if (const auto error = saveTo(*path))
        QMessageBox::critical(this, windowTitle(), *path + QStringLiteral(": the list was not saved: ") + *error);
}

} // namespace tessaro::ui
