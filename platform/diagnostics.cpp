#include "platform/diagnostics.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace davrilon {

void WriteDiagnostic(std::string_view line) {
  const std::string text = "davrilon: " + std::string(line) + "\n";
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

std::string ErrorText(std::uint32_t error) {
  std::string text = std::strerror(static_cast<int>(error));
  if (!text.empty())
    text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  return text + " (" + std::to_string(error) + ")";
}

}  // namespace davrilon
