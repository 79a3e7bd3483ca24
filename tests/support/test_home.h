#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace quillon::testing {

// A scratch home folder for one test: HOME points at it while the test runs, so nothing
// ever touches the developer's real ~/.claude, ~/.codex or ~/.quillon.
class TempHome {
  public:
    TempHome();
    ~TempHome();
    TempHome(const TempHome&) = delete;
    TempHome& operator=(const TempHome&) = delete;

    const std::string& path() const { return m_path; }
    // Writes a file below the home (folders created); returns its full path.
    std::string write(const std::string& relative, const std::string& content) const;
    std::string read(const std::string& relative) const;
    bool exists(const std::string& relative) const;

  private:
    std::string m_path;
    std::string m_oldHome;
    bool m_hadHome = false;
};

// A fixture whose every test runs in its own TempHome.
class HomeTest : public ::testing::Test {
  protected:
    TempHome home;
};

// Path of a file below the copied fixtures (tests/data/fixtures).
std::string fixture(const std::string& relative);

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs the built quillon executable (the build's own, never one on PATH) with the given arguments and standard input. env adds
// or replaces variables (HOME among them); a value of "\x01unset" removes one.
RunResult runQuillon(const std::vector<std::string>& args, const std::string& input = "",
                     const std::map<std::string, std::string>& env = {}, double timeoutSeconds = 60);

// The same for any program (a copy of quillon elsewhere, a helper tool).
RunResult runProgram(const std::string& path, const std::vector<std::string>& args,
                     const std::string& input = "", const std::map<std::string, std::string>& env = {},
                     double timeoutSeconds = 60);

// Splits text into lines (without their line feeds).
std::vector<std::string> lines(const std::string& text);

} // namespace quillon::testing
