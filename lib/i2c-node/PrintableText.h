#pragma once

#include <string>
#include <string_view>

/// `text` with every control byte (below 0x20, and 0x7F) written as `\xNN` in lowercase hex,
/// so that text a node or a server sent cannot move the cursor, clear the screen or start a
/// line of its own on the console. Every other byte, the backslash included, stays as it is.
std::string printableText(std::string_view text);
