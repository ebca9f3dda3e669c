#pragma once
#include "platform/core/OSStatus.h"

#include <optional>
#include <string_view>

namespace sonabel {

// Logs a nonzero platform status by its constant name, or by its number when unknown.
void CheckError(OSStatus status);

// The constant name CheckError logs for a status, if it knows one.
std::optional<std::string_view> statusName(OSStatus status);

} // namespace sonabel
