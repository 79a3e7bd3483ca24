#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "cli/modes.h"

namespace quillon::cli {
namespace {

std::string exeDir() {
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    std::string path(buf, static_cast<std::size_t>(n));
    auto slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

} // namespace

int runDesktop(int argc, char** argv) {
    // The module sits beside the executable in a build tree and under lib/quillon when installed.
    std::vector<std::string> candidates;
    if (const char* env = std::getenv("QUILLON_DESKTOP_MODULE"); env && *env) candidates.emplace_back(env);
    const std::string dir = exeDir();
    candidates.push_back(dir + "/" QUILLON_MODULE_NAME);
    candidates.push_back(dir + "/" QUILLON_MODULE_RELDIR "/" QUILLON_MODULE_NAME);

    std::string lastError = "no module file found";
    for (const auto& path : candidates) {
        if (::access(path.c_str(), R_OK) != 0) continue;
        void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            const char* e = ::dlerror();
            lastError = e ? e : "dlopen failed";
            continue;
        }
        using Entry = int (*)(int, char**);
        auto entry = reinterpret_cast<Entry>(::dlsym(handle, "quillon_desktop_main"));
        if (!entry) {
            lastError = path + " has no entry point";
            continue;
        }
        return entry(argc, argv);
    }
    std::fprintf(stderr, "Quillon's desktop module could not be loaded (%s), so this mode is not available.\n",
                 lastError.c_str());
    return 1;
}

} // namespace quillon::cli
