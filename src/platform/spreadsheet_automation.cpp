// SPDX-License-Identifier: MIT
#include "platform/spreadsheet_automation.h"

#include <utility>

namespace tessaro {

AutomationError::AutomationError(int number, std::string description)
    : number_(number > 0 ? number : 1), description_(std::move(description))
{
}

} // namespace tessaro
