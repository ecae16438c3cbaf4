// SPDX-License-Identifier: MIT
#include "platform/engine_error.h"

#include <utility>

namespace tessaro::xlsx {

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
    case ErrorCode::SavedButNotFlushed:
        return "the workbook was saved, but the disk did not confirm it, so the new content may be lost if the "
               "computer stops now; check the disk";
    }
    return {};
}

namespace {
std::string compose(ErrorCode code, const std::string& file, const std::string& detail)
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
} // namespace

EngineError::EngineError(ErrorCode code, std::string file, std::string detail)
    : code_(code), file_(std::move(file)), detail_(std::move(detail)),
      text_(compose(code_, file_, detail_))
{
}

AutomationError EngineError::toAutomationError() const
{
    return AutomationError(static_cast<int>(code_), text_);
}

} // namespace tessaro::xlsx
