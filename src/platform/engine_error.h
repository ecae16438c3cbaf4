// SPDX-License-Identifier: MIT
#pragma once

#include "platform/spreadsheet_automation.h"

#include <string>
#include <string_view>

namespace tessaro::xlsx {

// Every way the engine can refuse or fail. The numbers are what the automation error
// carries, so they never change meaning once released; new codes go at the end.
enum class ErrorCode : int {
    FileNotFound = 1,
    FileUnreadable,
    IsFolder,
    EmptyFile,
    NotZip,
    LegacyWorkbook,
    EncryptedWorkbook,
    OtherCompoundFile,
    BinaryWorkbook,
    OpenDocument,
    XmlSpreadsheet2003,
    NotSpreadsheetPackage,
    StrictOpenXml,
    ZipDamaged,
    ZipUnsupported,
    ZipUnsafeName,
    ZipDuplicateName,
    PartTooLarge,
    PartMissing,
    PartDamaged,
    XmlDoctype,
    WorkbookInvalid,
    SheetNotFound,
    SheetIndexOutOfRange,
    SheetKindNotCopyable,
    StyleIndexOutOfRange,
    StringIndexOutOfRange,
    TooManySheets,
    WorkbookNotOpen,
    SaveFailed,
    TargetIsFolder,
    PartUnsupported,
    PartExpandsTooMuch,
    FileReadOnly,
    FileLocked,
    FileChangedSinceOpened,
    FolderNotWritable,
    DiskFull,
    SavedButNotFlushed,
};

inline constexpr int kFirstErrorCode = 1;
inline constexpr int kLastErrorCode = static_cast<int>(ErrorCode::SavedButNotFlushed);

// The sentence for a code, written for the person who has to act on it; empty for a
// number that is not a code.
std::string_view errorMessage(ErrorCode code);

// A failure tied to one file, and sometimes one part inside it. what() is the full text a
// person sees: "<file>: <sentence>[ (<detail>)]".
class EngineError : public std::exception {
public:
    EngineError(ErrorCode code, std::string file, std::string detail = {});

    ErrorCode code() const noexcept { return code_; }
    const std::string& file() const noexcept { return file_; }
    const std::string& detail() const noexcept { return detail_; }
    const char* what() const noexcept override { return text_.c_str(); }

    AutomationError toAutomationError() const;

private:
    ErrorCode code_;
    std::string file_;
    std::string detail_;
    std::string text_;
};

} // namespace tessaro::xlsx
