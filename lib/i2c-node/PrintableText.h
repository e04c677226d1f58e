#pragma once

#include <string>
#include <string_view>

/// `text` with every control byte written as `\xNN` in lowercase hex, so that text a node or a
/// server sent cannot move the cursor, clear the screen or start a line of its own on the
/// console. Control bytes are those below 0x20, 0x7F, the C1 controls U+0080..U+009F encoded in
/// UTF-8 (both of their bytes are written) and lone bytes 0x80..0x9F that belong to no UTF-8
/// character (a terminal may take either for a control, 0x9B or U+009B for CSI). Every other
/// byte, the backslash included, stays as it is.
std::string printableText(std::string_view text);

/// `text` as well-formed UTF-8, as a JSON document must hold it: every byte that belongs to no
/// well-formed UTF-8 character is written as the four characters `\xNN` (lowercase hex); every
/// other byte, the backslash included, stays as it is.
std::string utf8Text(std::string_view text);
