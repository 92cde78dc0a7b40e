#include "supervisor/memo.h"

namespace davrilon {

void WriteMemo(const StoreFiles& files, EventLog& log, std::string_view name,
               std::string_view text) {
  if (!files.WriteWhole(name, text))
    log.Line("Nie stworzono pliku memo");
}

}  // namespace davrilon
