// The memo writer: one text, alone, in a named file for the companion programs.
#pragma once

#include <string_view>

#include "platform/store_files.h"
#include "supervisor/event_log.h"

namespace davrilon {

// Replaces the file's content with `text`, with no line end after it. A file
// that cannot be created is logged ("Nie stworzono pliku memo"); the caller
// is not told and goes on.
void WriteMemo(const StoreFiles& files, EventLog& log, std::string_view name,
               std::string_view text);

}  // namespace davrilon
