#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <unistd.h>

#include "app/autostart.h"
#include "test_home.h"

namespace quillon::app {
namespace {

using testing::HomeTest;

// XDG_CONFIG_HOME set (or unset, for nullptr) for one scope, so no test can reach the real one.
class ConfigHome {
  public:
    explicit ConfigHome(const char* value) { set(value); }
    ~ConfigHome() { set(m_old ? m_old->c_str() : nullptr); }

  private:
    static void set(const char* v) { v ? ::setenv("XDG_CONFIG_HOME", v, 1) : ::unsetenv("XDG_CONFIG_HOME"); }
    std::optional<std::string> m_old = std::getenv("XDG_CONFIG_HOME")
                                           ? std::optional<std::string>(std::getenv("XDG_CONFIG_HOME"))
                                           : std::nullopt;
};

// Paths that need every escape the Exec rules have.
const std::vector<std::string> awkwardPaths = {
    "/usr/local/bin/quillon",           "/home/ann/My Programs/quillon", "/opt/q\"uote/it's/quillon",
    "/opt/$HOME/`id`/quillon",          "/opt/back\\slash/quillon",      "/opt/100%/quillon %f",
    "/opt/tab\there/new\nline/quillon", "/opt/ünïcode/quillon",
};

TEST_F(HomeTest, autostartFileFollowsAnAbsoluteXdgConfigHome) {
    const std::string byDefault = home.path() + "/.config/autostart/quillon.desktop";
    for (const auto& [value, want] : std::vector<std::pair<const char*, std::string>>{
             {nullptr, byDefault}, {"/srv/cfg", "/srv/cfg/autostart/quillon.desktop"}, {"cfg", byDefault}}) {
        ConfigHome set(value);
        EXPECT_EQ(Autostart::file(), want) << (value ? value : "unset");
    }
}

TEST(AutostartExec, quotedPathsReadBackAsWritten) {
    for (const std::string& path : awkwardPaths) {
        const std::string quoted = Autostart::execQuote(path);
        EXPECT_EQ(quoted.front(), '"') << path;
        EXPECT_EQ(quoted.find('\n'), std::string::npos) << "a raw line break would end the key";
        EXPECT_EQ(Autostart::execWords(quoted + " --settings"),
                  (std::vector<std::string>{path, "--settings"}))
            << quoted;
    }
    // The escapes the Desktop Entry rules give for a backslash, a dollar sign and a per cent sign.
    EXPECT_EQ(Autostart::execQuote("/a\\b"), "\"/a\\\\\\\\b\"");
    EXPECT_EQ(Autostart::execQuote("/a$b"), "\"/a\\\\$b\"");
    EXPECT_EQ(Autostart::execQuote("/a%b"), "\"/a%%b\"");
}

TEST(AutostartExec, readsHandWrittenAndRejectsMalformedValues) {
    using Words = std::vector<std::string>;
    EXPECT_EQ(Autostart::execWords("  /usr/bin/quillon   --x "), (Words{"/usr/bin/quillon", "--x"}));
    // The key file's escapes come first: an unquoted \s is a blank that separates words.
    EXPECT_EQ(Autostart::execWords("/opt/My\\sPrograms"), (Words{"/opt/My", "Programs"}));
    EXPECT_EQ(Autostart::execWords("\"/opt/My\\sPrograms\""), Words{"/opt/My Programs"});
    for (const char* bad : {"\"/usr/bin/quillon", "/opt/a;b", "\"/a\"b"})
        EXPECT_FALSE(Autostart::execWords(bad)) << bad;
}

TEST_F(HomeTest, entryPassesDesktopFileValidate) {
    if (::access("/usr/bin/desktop-file-validate", X_OK) != 0)
        GTEST_SKIP() << "desktop-file-validate is missing";
    for (const std::string& path : awkwardPaths) {
        const std::string file = home.write("check.desktop", Autostart::entry(path));
        const auto r = testing::runProgram("/usr/bin/desktop-file-validate", {file});
        EXPECT_EQ(r.status, 0) << path << "\n" << r.out << r.err;
        EXPECT_EQ((r.out + r.err).find("error"), std::string::npos) << path << "\n" << r.out << r.err;
        EXPECT_TRUE(Autostart::runs(Autostart::entry(path), path)) << path;
    }
    const std::string entry = Autostart::entry("/usr/bin/quillon");
    for (const char* line :
         {"Type=Application\n", "Name=Quillon\n", "Exec=\"/usr/bin/quillon\"\n", "TryExec=/usr/bin/quillon\n",
          "Terminal=false\n", "X-GNOME-Autostart-enabled=true\n"})
        EXPECT_NE(entry.find(line), std::string::npos) << line;
}

TEST(AutostartRuns, onlyAnEntryThatStartsThisExecutableCounts) {
    const std::string exe = "/usr/bin/quillon";
    const std::string entry = Autostart::entry(exe);
    EXPECT_TRUE(Autostart::runs(entry, exe));
    EXPECT_FALSE(Autostart::runs(entry, "/usr/local/bin/quillon")) << "another copy of quillon";
    EXPECT_FALSE(Autostart::runs(entry + "Hidden=true\n", exe)) << "hidden means deleted";
    EXPECT_FALSE(Autostart::runs(entry + "X-GNOME-Autostart-enabled=false\n", exe))
        << "switched off in GNOME";
    EXPECT_TRUE(Autostart::runs(entry + "Hidden=false\n", exe));
    EXPECT_FALSE(Autostart::runs("", exe));
    EXPECT_FALSE(Autostart::runs("[Other]\nExec=/usr/bin/quillon\n", exe)) << "keys outside [Desktop Entry]";
    EXPECT_TRUE(Autostart::runs(
        "# mine\n[Desktop Entry]\nExec = /usr/bin/quillon --x\n[Desktop Action a]\nHidden=true\n", exe));
    EXPECT_FALSE(Autostart::runs(entry, "")) << "an unknown executable path never matches";
}

TEST_F(HomeTest, switchWritesAndRemovesTheEntryAndReflectsTheDisk) {
    ConfigHome unset(nullptr);
    const std::string rel = ".config/autostart/quillon.desktop";
    EXPECT_FALSE(Autostart::enabled());

    EXPECT_EQ(Autostart::setEnabled(true), std::nullopt);
    EXPECT_TRUE(Autostart::enabled());
    EXPECT_EQ(home.read(rel), Autostart::entry(Autostart::exePath()));

    // Edited elsewhere (a session manager hiding it): the switch follows the file.
    home.write(rel, home.read(rel) + "Hidden=true\n");
    EXPECT_FALSE(Autostart::enabled());
    home.write(rel, Autostart::entry("/somewhere/else/quillon"));
    EXPECT_FALSE(Autostart::enabled());

    EXPECT_EQ(Autostart::setEnabled(false), std::nullopt);
    EXPECT_FALSE(home.exists(rel));
    EXPECT_EQ(Autostart::setEnabled(false), std::nullopt) << "removing what is not there is no error";

    // A file where the folder should be: the failure is reported, not taken for success.
    std::filesystem::remove_all(home.path() + "/.config/autostart");
    home.write(".config/autostart", "not a folder");
    EXPECT_NE(Autostart::setEnabled(true), std::nullopt);
    EXPECT_FALSE(Autostart::enabled());
}

} // namespace
} // namespace quillon::app
