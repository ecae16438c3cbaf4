// SPDX-License-Identifier: MIT
#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>
#include <memory>
#include <optional>

namespace tessaro::ui {

// What CCommonDialogs asks of the platform: one call per dialog, modal over `owner`.
// Each returns nothing when the user cancelled. Tests replace it with a scripted runner.
class DialogRunner {
public:
    virtual ~DialogRunner() = default;

    struct OpenRequest {
        QString title;
        QString filterDescription; // shown to the user
        QString pattern;           // what the dialog lists
        QString initialFile;
        QString defaultSuffix;
        QString initialFolder;  // where the dialog opens; empty for the dialog's own choice
    };
    virtual std::optional<QString> openFile(QWidget* owner, const OpenRequest& request) = 0;
    virtual std::optional<QString> openFolder(QWidget* owner, const QString& title, const QString& startFolder) = 0;
};

// The real dialogs, on Qt.
std::unique_ptr<DialogRunner> makeQtDialogRunner();

// The platform's standard dialogs behind one object: set the fields, call a Show method,
// get true when the user confirmed, read the results back from the same fields. Fields
// keep their values between calls. Init must come before any Show method.
class CCommonDialogs {
public:
    CCommonDialogs();
    explicit CCommonDialogs(std::unique_ptr<DialogRunner> runner);
    ~CCommonDialogs();

    // The one filter the file chooser always offers, and what it lists.
    static const QString kOpenFilterDescription; // "Excel Files(*.xls;*.xlsx;*.xlsm;*.xlsb;*.ods)"
    static const QString kOpenPattern;           // "*.xl* *.ods"

    void Init(QWidget* owner);

    bool ShowOpen();
    bool ShowFolder();

    // Getters of these four return the text only up to its first NUL character.
    QString FileName() const;
    QString FileTitle() const;
    QString Path() const;
    QString Title() const;
    void setFileName(const QString& v) { fileName_ = v; }
    void setFileTitle(const QString& v) { fileTitle_ = v; }
    void setPath(const QString& v) { path_ = v; }
    void setTitle(const QString& v) { title_ = v; }

    QString DefExt() const { return defExt_; }
    void setDefExt(const QString& v) { defExt_ = v; }

private:
    QWidget* owner() const;

    std::unique_ptr<DialogRunner> runner_;
    QPointer<QWidget> owner_;
    bool initialised_ = false;
    QString fileTitle_, path_, fileName_, title_, defExt_;
};

} // namespace tessaro::ui
