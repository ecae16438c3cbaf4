// SPDX-License-Identifier: MIT
#pragma once

#include <QDialog>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace tessaro::ui {

// The one box at the end of a job in which something failed or was cancelled: the summary
// beside the icon, every line of the report below it (they can be selected and copied), and
// a button that saves those lines as a text file. Modal; OK or Escape closes it.
class ReportBox : public QDialog {
    Q_OBJECT
public:
    enum class Icon { Information, Critical };

    ReportBox(const QString& summary, const QStringList& details, Icon icon, QWidget* parent = nullptr);

    // Asks for the file to save the list in; nothing means the user cancelled. Tests
    // replace it; the default is the platform's save dialog, in the user's home folder.
    std::function<std::optional<QString>()> chooseSaveFile;

    // Writes the lines, one a line, to `path`. Returns the error's text when it could not.
    std::optional<QString> saveTo(const QString& path) const;

    QPushButton* saveButton() const { return save_; }
    QPlainTextEdit* detailsView() const { return details_; }

private:
    void saveClicked();

    QStringList lines_;
    QPlainTextEdit* details_ = nullptr;
    QPushButton* save_ = nullptr;
    QLabel* summary_ = nullptr;
};

} // namespace tessaro::ui
