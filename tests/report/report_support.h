#pragma once

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include "settings/clock.h"

namespace quillon::testing {

// Points TZ at a zone for one test and puts the old value back.
class Zone {
  public:
    explicit Zone(const char* tz) {
        if (const char* old = std::getenv("TZ")) m_old = old;
        ::setenv("TZ", tz, 1);
        ::tzset();
    }
    ~Zone() {
        if (m_old)
            ::setenv("TZ", m_old->c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }
    Zone(const Zone&) = delete;
    Zone& operator=(const Zone&) = delete;

  private:
    std::optional<std::string> m_old;
};

// A local wall-clock time in the current zone.
inline Instant local(int y, int mo, int d, int h, int mi, int s = 0) {
    tm t{};
    t.tm_year = y - 1900;
    t.tm_mon = mo - 1;
    t.tm_mday = d;
    t.tm_hour = h;
    t.tm_min = mi;
    t.tm_sec = s;
    t.tm_isdst = -1;
    return static_cast<Instant>(std::mktime(&t));
}

} // namespace quillon::testing
