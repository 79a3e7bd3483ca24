#include "scanner/line_parse.h"

namespace quillon {
namespace generic {
std::unique_ptr<LineParser> make();
}
#ifdef QUILLON_PARSE_HASWELL
namespace haswell {
std::unique_ptr<LineParser> make();
}
#endif

std::unique_ptr<LineParser> makeLineParser() {
#ifdef QUILLON_PARSE_HASWELL
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") && __builtin_cpu_supports("pclmul"))
        return haswell::make();
#endif
    return generic::make();
}

} // namespace quillon
