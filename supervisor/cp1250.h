// The station's texts are kept in UTF-8 in the source and written in the
// Windows-1250 code page, the code page of the store's software.
#pragma once

#include <string>
#include <string_view>

namespace davrilon {

// Converts UTF-8 to Windows-1250. Bytes that are not valid UTF-8 are copied
// unchanged; a character the code page lacks becomes '?'.
std::string Utf8ToCp1250(std::string_view utf8);

}  // namespace davrilon
