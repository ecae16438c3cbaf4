// SPDX-License-Identifier: MIT
#pragma once

#include <QColor>
#include <QFont>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <cstdint>
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
    };
    virtual std::optional<QString> openFile(QWidget* owner, const OpenRequest& request) = 0;
    virtual std::optional<QString> openFolder(QWidget* owner, const QString& title) = 0;

    struct SaveRequest {
        QString title;
        QStringList nameFilters; // "description (pattern pattern ...)"
        QString folder;
    };
    virtual std::optional<QString> saveFile(QWidget* owner, const SaveRequest& request) = 0;
    virtual std::optional<QColor> color(QWidget* owner, QColor initial, bool fullOpen) = 0;
    virtual std::optional<QFont> font(QWidget* owner, const QFont& initial) = 0;
    virtual bool printer(QWidget* owner) = 0;
    // False when there is no printer or the user cancelled.
    virtual bool printerProperties(QWidget* owner) = 0;
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
    bool ShowSave();
    bool ShowColor(bool& fullOpen);
    bool ShowFont();
    bool ShowPrinter();
    bool ShowPrinterProperties();

    // Getters of these four return the text only up to its first NUL character.
    QString FileName() const;
    QString FileTitle() const;
    QString Path() const;
    QString Title() const;
    void setFileName(const QString& v) { fileName_ = v; }
    void setFileTitle(const QString& v) { fileTitle_ = v; }
    void setPath(const QString& v) { path_ = v; }
    void setTitle(const QString& v) { title_ = v; }

    QString Filter() const { return filter_; }
    void setFilter(const QString& v) { filter_ = v; }
    QString DefExt() const { return defExt_; }
    void setDefExt(const QString& v) { defExt_ = v; }
    // A colour as red in the low byte, then green, then blue.
    std::int32_t Color() const { return color_; }
    void setColor(std::int32_t v) { color_ = v; }
    QString FontName() const { return fontName_; }
    void setFontName(const QString& v) { fontName_ = v; }
    std::int16_t FontSize() const { return fontSize_; }
    void setFontSize(std::int16_t v) { fontSize_ = v; }
    bool FontBold() const { return fontBold_; }
    void setFontBold(bool v) { fontBold_ = v; }
    bool FontItalic() const { return fontItalic_; }
    void setFontItalic(bool v) { fontItalic_ = v; }
    bool FontUnderline() const { return fontUnderline_; }
    void setFontUnderline(bool v) { fontUnderline_ = v; }

    // The folder ShowSave falls back to; the program's own folder unless set.
    void setAppDir(const QString& dir) { appDir_ = dir; }

private:
    QWidget* owner() const;

    std::unique_ptr<DialogRunner> runner_;
    QPointer<QWidget> owner_;
    bool initialised_ = false;
    QString fileTitle_, path_, filter_, fileName_, title_, defExt_, fontName_;
    std::int32_t color_ = 0;
    std::int16_t fontSize_ = 0;
    bool fontBold_ = false, fontItalic_ = false, fontUnderline_ = false;
    QString appDir_;
};

} // namespace tessaro::ui
