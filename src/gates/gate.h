#pragma once

#include <optional>
#include <string>

#include "settings/clock.h"

namespace quillon {

// One thing waiting on the user.
struct Gate {
    enum class Kind { check, alert, session };

    std::string id;
    Kind kind = Kind::alert;
    std::string title;
    std::string detail;
    std::optional<std::string> link;
    Instant since = 0;
    std::optional<std::string> hint;
    friend bool operator==(const Gate&, const Gate&) = default;

    static const char* kindName(Kind k) {
        switch (k) {
        case Kind::check: return "check";
        case Kind::alert: return "alert";
        case Kind::session: return "session";
        }
        return "alert";
    }
};

} // namespace quillon
