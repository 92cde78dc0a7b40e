#include "supervisor/memo.h"

namespace davrilon {

void WriteMemo(const StoreFiles& files, EventLog& log, std::string_view name,
               std::string_view text) {
  // The companion programs read the file at any moment: it is replaced
  // whole. A progress text lost in a power cut is written again at the next
  // block, so it is not forced to the disk.
  if (files.WriteWhole(name, text, Durability::kWhole) != Written::kDone)
    log.Line("Nie stworzono pliku memo");
}

}  // namespace davrilon
