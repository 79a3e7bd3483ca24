#include <gtest/gtest.h>

#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <link.h>
#include <sstream>

#include "test_home.h"

namespace quillon {
namespace {

namespace fs = std::filesystem;
using testing::HomeTest;
using testing::lines;
using testing::runProgram;
using testing::runQuillon;

// The names of the shared libraries the dynamic loader reported loading (LD_DEBUG=libs).
std::string loadedLibraries(const std::string& loaderLog) {
    std::string names;
    for (const auto& line : lines(loaderLog))
        if (line.find("calling init: ") != std::string::npos)
            names += line.substr(line.find("init: ") + 6) + "\n";
    return names;
}

class DesktopLoading : public HomeTest {};

TEST_F(DesktopLoading, commandLineModesLoadNoQtLibrary) {
    std::ifstream log(testing::fixture("ccusage/claude/projects/project-alpha/session-alpha/chat.jsonl"));
    std::stringstream content;
    content << log.rdbuf();
    home.write(".claude/projects/project-alpha/session-alpha.jsonl", content.str());
    const std::map<std::string, std::string> env{{"HOME", home.path()}, {"LD_DEBUG", "libs"}};

    const struct {
        std::vector<std::string> args;
        std::string input;
    } modes[] = {{{"--statusline"}, "{}"},
                 {{"--report", "--no-github"}, ""},
                 {{"--report", "--json", "--no-github"}, ""},
                 {{"--version"}, ""}};
    for (const auto& mode : modes) {
        auto r = runQuillon(mode.args, mode.input, env);
        EXPECT_EQ(r.status, 0) << mode.args[0] << ": " << r.out;
        const std::string loaded = loadedLibraries(r.err);
        // The loader's log is there (so its silence about Qt means something) and names no Qt library.
        EXPECT_NE(loaded.find("libc.so"), std::string::npos) << mode.args[0] << ":\n"
                                                             << r.err.substr(0, 2000);
        EXPECT_EQ(loaded.find("libQt"), std::string::npos) << mode.args[0] << " loaded:\n" << loaded;
    }
}

// A copy of quillon alone in a scratch folder: no module beside it or under ../lib/quillon.
class LonelyQuillon : public HomeTest {
  protected:
    void SetUp() override {
        fs::create_directories(fs::path(home.path()) / "bin");
        exe = home.path() + "/bin/quillon";
        fs::copy_file(QUILLON_TEST_BIN, exe);
    }

    std::string exe;
};

TEST_F(LonelyQuillon, saysSoInOneSentenceWhenTheModuleIsMissingOrBroken) {
    // A real shared library without the entry point: the C library this test runs with.
    void* handle = ::dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(handle, nullptr);
    link_map* map = nullptr;
    ASSERT_EQ(::dlinfo(handle, RTLD_DI_LINKMAP, &map), 0);
    const std::string libc = map->l_name;
    ::dlclose(handle);
    ASSERT_TRUE(fs::exists(libc)) << libc;
    fs::create_directories(home.path() + "/folder.so");
    const std::string modules[] = {
        "\x01unset", // nothing beside it or under ../lib/quillon
        home.path() + "/nowhere/libquillon-desktop.so",
        home.write("text/libquillon-desktop.so", "not a library\n"),
        home.write("empty/libquillon-desktop.so", ""),
        home.write("truncated/libquillon-desktop.so", std::string("\x7f"
                                                                  "ELF\x02\x01\x01",
                                                                  7)),
        home.path() + "/folder.so",
        libc};
    for (const std::string& module : modules) {
        const std::map<std::string, std::string> env{{"HOME", home.path()},
                                                     {"QUILLON_DESKTOP_MODULE", module}};
        for (const std::vector<std::string>& args :
             std::vector<std::vector<std::string>>{{"--push-test", "https://ntfy.sh/t"},
                                                   {"--icon", home.path() + "/i.png"},
                                                   {"--render", home.path() + "/r.png"},
                                                   {}}) {
            const auto r = runProgram(exe, args, "", env);
            const std::string what = module + (args.empty() ? " app" : " " + args[0]);
            EXPECT_EQ(r.status, 1) << what;
            EXPECT_EQ(r.out, "") << what;
            ASSERT_EQ(lines(r.err).size(), 1u) << what << ": " << r.err;
            EXPECT_EQ(r.err.rfind("Quillon's desktop module could not be loaded (", 0), 0u)
                << what << ": " << r.err;
            EXPECT_TRUE(r.err.ends_with(".\n")) << what << ": " << r.err;
            EXPECT_EQ(module == libc, r.err.find("has no entry point") != std::string::npos) << r.err;
        }
    }
    // The command-line modes never needed it.
    auto version = runProgram(exe, {"--version"}, "", {{"HOME", home.path()}});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "quillon " QUILLON_VERSION "\n");
}

#ifdef QUILLON_TEST_DESKTOP
TEST_F(LonelyQuillon, loadsQtWithTheModuleTheEnvironmentNames) {
    // The counterpart of the no-Qt test: the same loader log shows Qt once the module is needed.
    auto r = runProgram(
        exe, {"--push-test", "ftp://example.com/"}, "",
        {{"HOME", home.path()}, {"QUILLON_DESKTOP_MODULE", QUILLON_TEST_MODULE}, {"LD_DEBUG", "libs"}});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "That is not a web address.\n");
    EXPECT_NE(loadedLibraries(r.err).find("libQt6Core"), std::string::npos);
}
#endif

} // namespace
} // namespace quillon
