// SPDX-License-Identifier: MIT
#pragma once

#include "platform/errors.h"
#include "platform/spreadsheet_automation.h"

#include <string>
#include <string_view>

namespace tessaro::xlsx {

// The native engine raises the codes of the shared registry under its own namespace too.
using tessaro::ErrorCode;
using tessaro::errorMessage;

// A failure the native engine meets, tied to one file and sometimes one part inside it.
// what() is the full text a person sees: "<file>: <sentence>[ (<detail>)]".
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
