// Small text helpers shared by the process sources.
#pragma once

#include <string_view>

namespace tavrik::detail {

/// `text` without leading and trailing white space and newlines: ASCII
/// space, tab, LF, VT, FF, CR and the Unicode white-space characters (NEL,
/// no-break and typographic spaces, line and paragraph separators).
std::string_view trimmedWhitespaceAndNewlines(std::string_view text);

} // namespace tavrik::detail
