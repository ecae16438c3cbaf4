// SPDX-License-Identifier: MIT
#include "platform/errors.h"

#include <fmt/format.h>

namespace tessaro {

std::string_view errorMessage(ErrorCode code)
{
    switch (code) {
    case ErrorCode::FileNotFound:
        return "the file does not exist";
    case ErrorCode::FileUnreadable:
        return "the file cannot be read";
    case ErrorCode::IsFolder:
        return "this is a folder, not a workbook file";
    case ErrorCode::EmptyFile:
        return "the file is empty, so it is not a workbook";
    case ErrorCode::NotZip:
        return "this file is not a workbook package (it is not a zip archive)";
    case ErrorCode::LegacyWorkbook:
        return "this is a legacy Excel 97-2003 workbook (.xls), which this engine cannot open; "
               "save it as .xlsx first";
    case ErrorCode::EncryptedWorkbook:
        return "this workbook is protected with a password (encrypted), which this engine cannot "
               "open; remove the password and save it again";
    case ErrorCode::OtherCompoundFile:
        return "this is an OLE compound document, not a workbook package this engine can open";
    case ErrorCode::BinaryWorkbook:
        return "this is a binary workbook (.xlsb), which this engine cannot open; save it as .xlsx "
               "first";
    case ErrorCode::OpenDocument:
        return "this is an OpenDocument spreadsheet (.ods), which this engine cannot open; save it "
               "as .xlsx first";
    case ErrorCode::XmlSpreadsheet2003:
        return "this is an XML Spreadsheet 2003 file, which this engine cannot open; save it as "
               ".xlsx first";
    case ErrorCode::NotSpreadsheetPackage:
        return "this zip archive is not a workbook (it holds no spreadsheet)";
    case ErrorCode::StrictOpenXml:
        return "this workbook is saved as Strict Open XML, which this engine cannot open; save it "
               "as an ordinary .xlsx workbook first";
    case ErrorCode::ZipDamaged:
        return "the workbook file is damaged (its zip structure is broken or truncated)";
    case ErrorCode::ZipUnsupported:
        return "the workbook file uses a zip feature this engine does not support";
    case ErrorCode::ZipUnsafeName:
        return "the workbook file holds an entry with an unsafe name, so it was not opened";
    case ErrorCode::ZipDuplicateName:
        return "the workbook file holds two entries with the same name, so it was not opened";
    case ErrorCode::PartTooLarge:
        return "a part of the workbook expands to more data than this engine accepts";
    case ErrorCode::PartMissing:
        return "a part the workbook needs is missing from the file";
    case ErrorCode::PartDamaged:
        return "a part of the workbook is damaged";
    case ErrorCode::XmlDoctype:
        return "a part of the workbook contains a document type declaration, which workbooks "
               "never need; it was refused for safety";
    case ErrorCode::WorkbookInvalid:
        return "the workbook's structure is invalid";
    case ErrorCode::SheetNotFound:
        return "the workbook has no worksheet of that name";
    case ErrorCode::SheetIndexOutOfRange:
        return "the workbook has no sheet at that position";
    case ErrorCode::SheetKindNotCopyable:
        return "only worksheets and chartsheets can be copied; dialog and macro sheets cannot";
    case ErrorCode::StyleIndexOutOfRange:
        return "a sheet refers to a cell format the workbook does not define";
    case ErrorCode::StringIndexOutOfRange:
        return "a sheet refers to a shared text the workbook does not define";
    case ErrorCode::TooManySheets:
        return "the workbook cannot take another sheet";
    case ErrorCode::WorkbookNotOpen:
        return "the workbook is not open in this engine instance";
    case ErrorCode::SaveFailed:
        return "the workbook could not be saved; the file on disk was left as it was";
    case ErrorCode::TargetIsFolder:
        return "a folder is in the way, so the workbook could not be saved there";
    case ErrorCode::PartUnsupported:
        return "a part of the workbook is stored in a form this engine cannot read";
    case ErrorCode::PartExpandsTooMuch:
        return "a part of the workbook would expand to far more data than real workbooks hold (the file "
               "may be a decompression bomb), so it was refused for safety";
    case ErrorCode::FileReadOnly:
        return "the file is read-only, so nothing was saved into it; the file was left as it was";
    case ErrorCode::FileLocked:
        return "the file is in use by another program (it is locked), so nothing was saved into it; close it "
               "there and try again";
    case ErrorCode::FileChangedSinceOpened:
        return "the file was changed, replaced or removed by another program after it was opened, so nothing "
               "was saved into it; what the other program left there was kept";
    case ErrorCode::FolderNotWritable:
        return "the folder of the file cannot be written to, so the workbook could not be saved there; the "
               "file was left as it was";
    case ErrorCode::DiskFull:
        return "the disk is full, so the workbook could not be saved; the file on disk was left as it was";
    case ErrorCode::OutOfMemory:
        return "there was not enough memory to work on this workbook";
    case ErrorCode::InternalFault:
        return "Tessaro itself failed here (a fault in the program, not in the workbook); please report it";
    case ErrorCode::NoEngine:
        return "no spreadsheet engine is available to open workbooks";
    case ErrorCode::SheetNotOpen:
        return "the sheet is not open in this engine instance";
    case ErrorCode::UnknownFormat:
        return "this is not a workbook Tessaro can open (.xlsx, .xlsm, .xls, .xlsb or .ods), or it is damaged or "
               "encrypted";
    case ErrorCode::FormatNotWritable:
        return "no engine here can write a workbook in this format, so nothing was saved into it";
    case ErrorCode::MacroWorkbookNotWritable:
        return "this .xls holds macros (a VBA project), and LibreOffice cannot copy a sheet into such a workbook; "
               "nothing was changed";
    case ErrorCode::SourceHasUnsavedCopies:
        return "its sheets cannot be copied into a LibreOffice workbook while it has copies that are not saved yet";
    case ErrorCode::SheetNeedsName:
        return "a sheet taken by position cannot be copied into a workbook that LibreOffice writes; name it by its "
               "name instead";
    case ErrorCode::OfficeUnavailable:
        return "this workbook is opened through LibreOffice, which is not available";
    case ErrorCode::OfficeStartFailed:
        return "LibreOffice could not be started";
    case ErrorCode::OfficeTimedOut:
        return "LibreOffice did not finish in time, so it was stopped";
    case ErrorCode::OfficeStopped:
        return "LibreOffice stopped unexpectedly; it will be started again for the next workbook";
    case ErrorCode::OfficeFailed:
        return "LibreOffice could not do what was asked with this workbook";
    case ErrorCode::WorkbookGone:
        return "this workbook is no longer open, because LibreOffice stopped since it was opened; open it again";
    case ErrorCode::SavedButNotFlushed:
        return "the workbook was saved, but the disk did not confirm it, so the new content may be lost if the "
               "computer stops now; check the disk";
    case ErrorCode::ExceedsFormatLimits:
        return "the sheet does not fit in a workbook of this format, so nothing was copied into it and the file is "
               "unchanged";
    case ErrorCode::AttributesNotKept:
        return "the file's access control list or extended attributes could not be given to the new file, so "
               "nothing was saved rather than change who may read it; the file is unchanged";
    case ErrorCode::DestinationBusy:
        return "another Tessaro job is writing this workbook, so nothing was copied into it; copy into it again "
               "when that job has finished";
    case ErrorCode::ReplaceOtherKind:
        return "its sheet of that name is of the other kind (a worksheet and a chartsheet replace only their own "
               "kind), so nothing was copied into it";
    case ErrorCode::ReplaceItself:
        return "the sheet would replace itself, so it was left as it is";
    case ErrorCode::NotAvailableForFormat:
        return "what was asked cannot be done in a workbook of this format, so nothing was copied into it";
    }
    return {};
}

std::string describeError(ErrorCode code, const std::string& file, const std::string& detail)
{
    std::string text = file.empty() ? std::string("(no file)") : file;
    text += ": ";
    text += errorMessage(code);
    if (!detail.empty()) {
        text += " (";
        text += detail;
        text += ")";
    }
    return text;
}

std::string describeInternalFault(const std::string& file, const std::string& doing, const char* what)
{
    return describeError(ErrorCode::InternalFault, file,
                         fmt::format("while {}: {}", doing, what && *what ? what : "an unknown exception"));
}

} // namespace tessaro
