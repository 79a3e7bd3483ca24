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

// Loads one of the executable's modules and hands it the whole command line. The module sits
// beside the executable in a build tree and under lib/quillon when installed; envVar may name
// another file (tests use it).
int runModule(const char* file, const char* envVar, const char* entryName, const char* what, int argc,
              char** argv) {
    std::vector<std::string> candidates;
    if (const char* env = std::getenv(envVar); env && *env) candidates.emplace_back(env);
    const std::string dir = exeDir();
    candidates.push_back(dir + "/" + file);
    candidates.push_back(dir + "/" QUILLON_MODULE_RELDIR "/" + file);

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
        auto entry = reinterpret_cast<Entry>(::dlsym(handle, entryName));
        if (!entry) {
            lastError = path + " has no entry point";
            continue;
        }
        return entry(argc, argv);
    }
    std::fprintf(stderr, "Quillon's %s module could not be loaded (%s), so this mode is not available.\n", what,
                 lastError.c_str());
    return 1;
}

} // namespace

int runDesktop(int argc, char** argv) {
    return runModule(QUILLON_MODULE_NAME, "QUILLON_DESKTOP_MODULE", "quillon_desktop_main", "desktop", argc, argv);
}

int runReport(int argc, char** argv) {
    return runModule(QUILLON_REPORT_MODULE_NAME, "QUILLON_REPORT_MODULE", "quillon_report_main", "report", argc,
                     argv);
}

} // namespace quillon::cli
