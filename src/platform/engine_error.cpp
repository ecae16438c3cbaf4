// SPDX-License-Identifier: MIT
#include "platform/engine_error.h"

#include <utility>

namespace tessaro::xlsx {

EngineError::EngineError(ErrorCode code, std::string file, std::string detail)
    : code_(code), file_(std::move(file)), detail_(std::move(detail)), text_(describeError(code_, file_, detail_))
{
}

AutomationError EngineError::toAutomationError() const
{
    return AutomationError(code_, text_);
}

} // namespace tessaro::xlsx
