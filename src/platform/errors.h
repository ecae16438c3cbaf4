// SPDX-License-Identifier: MIT
#pragma once

#include <string>
#include <string_view>

namespace tessaro {

// Every failure Tessaro reports, whichever engine or layer meets it. A code names one
// problem, so a caller can act on it without reading text. The numbers are what an
// AutomationError carries and what the command-line tool and its users have seen: a released
// number never changes meaning, and new codes go at the end.
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
    OutOfMemory,
    InternalFault,
    NoEngine,
    SheetNotOpen,
    UnknownFormat,
    FormatNotWritable,
    MacroWorkbookNotWritable, // no longer raised: an .xls with macros takes copies; the number stays taken
    SourceHasUnsavedCopies,
    SheetNeedsName,
    OfficeUnavailable,
    OfficeStartFailed,
    OfficeTimedOut,
    OfficeStopped,
    OfficeFailed,
    WorkbookGone,
    SavedButNotFlushed,
    ExceedsFormatLimits,
    AttributesNotKept,
    DestinationBusy,
    ReplaceOtherKind,
    ReplaceItself,
    NotAvailableForFormat,
};

inline constexpr int kFirstErrorCode = 1;
inline constexpr int kLastErrorCode = static_cast<int>(ErrorCode::NotAvailableForFormat);

// The sentence for a code, written for the person who has to act on it; empty for a
// number that is not a code.
std::string_view errorMessage(ErrorCode code);

// The text a person sees for a failure tied to a file: "<file>: <sentence>[ (<detail>)]".
std::string describeError(ErrorCode code, const std::string& file, const std::string& detail = {});

// The text of an exception Tessaro did not expect: a fault of the program, told with what it
// was doing and the file, so the workbook is not blamed for it.
std::string describeInternalFault(const std::string& file, const std::string& doing, const char* what);

} // namespace tessaro
