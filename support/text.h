// Texts from outside (servers, files, the user) as they may be printed or
// logged.
#pragma once

#include <string>
#include <string_view>

// `text` with its control characters (below 0x20, and 0x7f) written as \xNN,
// so that an escape sequence in a hostile name cannot act on a terminal;
// with `escape_backslash` a backslash is written "\\", so that the escapes
// stay unambiguous (paths keep theirs as they are).
std::string printable_text(std::string_view text, bool escape_backslash = true);

// Whether a text holds a control character (below 0x20, or 0x7f). Such a
// value would start a new line in a text file of the program, or drive the
// terminal it is printed on, so no setting or name takes one.
bool has_control_chars(std::string_view text);
