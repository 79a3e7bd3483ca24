#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <optional>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/autostart.h"
#include "test_home.h"

extern char** environ;

namespace quillon::app {
namespace {

using testing::HomeTest;

// XDG_CONFIG_HOME set (or unset) for one test.
class ConfigHome {
  public:
    explicit ConfigHome(const char* value) {
        if (const char* old = std::getenv("XDG_CONFIG_HOME")) m_old = old;
        if (value)
            ::setenv("XDG_CONFIG_HOME", value, 1);
        else
            ::unsetenv("XDG_CONFIG_HOME");
    }
    ~ConfigHome() {
        if (m_old)
            ::setenv("XDG_CONFIG_HOME", m_old->c_str(), 1);
        else
            ::unsetenv("XDG_CONFIG_HOME");
    }

  private:
    std::optional<std::string> m_old;
};

// desktop-file-validate's verdict on a file: its exit status and what it printed.
std::pair<int, std::string> validate(const std::string& path) {
    const std::string tool = "/usr/bin/desktop-file-validate";
    if (::access(tool.c_str(), X_OK) != 0) return {-1, "not installed"};
    const std::string out = path + ".out";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    char* argv[] = {const_cast<char*>(tool.c_str()), const_cast<char*>(path.c_str()), nullptr};
    pid_t pid = -1;
    int status = -1;
    if (posix_spawn(&pid, tool.c_str(), &actions, nullptr, argv, environ) == 0) ::waitpid(pid, &status, 0);
    posix_spawn_file_actions_destroy(&actions);
    std::string text;
    if (FILE* f = std::fopen(out.c_str(), "r")) {
        char buf[4096];
        text.assign(buf, std::fread(buf, 1, sizeof buf, f));
        std::fclose(f);
    }
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text};
}

// Paths that need every escape the Exec rules have.
const std::vector<std::string> awkwardPaths = {
    "/usr/local/bin/quillon",           "/home/ann/My Programs/quillon", "/opt/q\"uote/it's/quillon",
    "/opt/$HOME/`id`/quillon",          "/opt/back\\slash/quillon",      "/opt/100%/quillon %f",
    "/opt/tab\there/new\nline/quillon", "/opt/ünïcode/quillon",
};

TEST_F(HomeTest, autostartFileFollowsXdgConfigHome) {
    {
        ConfigHome unset(nullptr);
        EXPECT_EQ(Autostart::file(), home.path() + "/.config/autostart/quillon.desktop");
    }
    {
        ConfigHome set("/srv/cfg");
        EXPECT_EQ(Autostart::file(), "/srv/cfg/autostart/quillon.desktop");
    }
    {
        // A relative value is not a valid XDG base directory and is ignored.
        ConfigHome relative("cfg");
        EXPECT_EQ(Autostart::file(), home.path() + "/.config/autostart/quillon.desktop");
    }
}

TEST(AutostartExec, quotedPathsReadBackAsWritten) {
    for (const std::string& path : awkwardPaths) {
        const std::string quoted = Autostart::execQuote(path);
        EXPECT_EQ(quoted.front(), '"') << path;
        EXPECT_EQ(quoted.find('\n'), std::string::npos) << "a raw line break would end the key";
        const auto words = Autostart::execWords(quoted + " --settings");
        ASSERT_TRUE(words) << quoted;
        ASSERT_EQ(words->size(), 2u) << quoted;
        EXPECT_EQ((*words)[0], path);
        EXPECT_EQ((*words)[1], "--settings");
    }
    // The escapes the Desktop Entry rules give for a backslash and a dollar sign.
    EXPECT_EQ(Autostart::execQuote("/a\\b"), "\"/a\\\\\\\\b\"");
    EXPECT_EQ(Autostart::execQuote("/a$b"), "\"/a\\\\$b\"");
    EXPECT_EQ(Autostart::execQuote("/a%b"), "\"/a%%b\"");
}

TEST(AutostartExec, readsHandWrittenAndRejectsMalformedValues) {
    EXPECT_EQ(Autostart::execWords("/usr/bin/quillon"), std::vector<std::string>{"/usr/bin/quillon"});
    EXPECT_EQ(Autostart::execWords("  /usr/bin/quillon   --x "),
              (std::vector<std::string>{"/usr/bin/quillon", "--x"}));
    // The key file's escapes come first: an unquoted \s is a blank that separates words.
    EXPECT_EQ(Autostart::execWords("/opt/My\\sPrograms"), (std::vector<std::string>{"/opt/My", "Programs"}));
    EXPECT_EQ(Autostart::execWords("\"/opt/My\\sPrograms\""), std::vector<std::string>{"/opt/My Programs"});
    EXPECT_FALSE(Autostart::execWords("\"/usr/bin/quillon"));
    EXPECT_FALSE(Autostart::execWords("/opt/a;b"));
    EXPECT_FALSE(Autostart::execWords("\"/a\"b"));
}

TEST_F(HomeTest, entryPassesDesktopFileValidate) {
    for (const std::string& path : awkwardPaths) {
        const std::string file = home.write("check.desktop", Autostart::entry(path));
        const auto [status, out] = validate(file);
        if (status == -1 && out == "not installed") GTEST_SKIP() << "desktop-file-validate is not installed";
        EXPECT_EQ(status, 0) << path << "\n" << out;
        EXPECT_EQ(out.find("error"), std::string::npos) << path << "\n" << out;
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
    ASSERT_TRUE(home.exists(rel));
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
}

TEST_F(HomeTest, switchReportsAFolderThatCannotBeMade) {
    ConfigHome unset(nullptr);
    home.write(".config/autostart", "a file where the folder should be");
    EXPECT_NE(Autostart::setEnabled(true), std::nullopt);
    EXPECT_FALSE(Autostart::enabled());
}

} // namespace
} // namespace quillon::app
