#pragma once

#include <string>
#include <string_view>

namespace quillon::cli {

// Text that came from outside (log lines, pull-request titles, alert files, tool output) made
// safe to write to a terminal: C0 and C1 control characters (tab excepted), DEL, bidirectional
// embedding/override/isolate controls and malformed UTF-8 each become U+FFFD, so an escape
// sequence shows as text instead of moving the cursor, retitling the window or writing the
// clipboard.
std::string terminalSafe(std::string_view s);

} // namespace quillon::cli
