// Diagnostics for the IT person, beside the event log: one English line on
// standard error (the journal, under a service manager) for each failure that
// ends the start-up or takes the port away, naming what was tried and why.
// The event log keeps its own texts.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace davrilon {

// Writes "davrilon: " and the line to standard error.
void WriteDiagnostic(std::string_view line);

// The platform's text for one of its error numbers ("connection refused").
std::string ErrorText(std::uint32_t error);

}  // namespace davrilon
