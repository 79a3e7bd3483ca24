// Placeholder until the log reading engine lands: the scanner finds nothing.
#include "scanner/log_scanner.h"

namespace quillon {

struct LogScanner::Impl {};

LogScanner::LogScanner(Config config, std::string root, std::string codexRoot)
    : m_impl(std::make_unique<Impl>()), m_config(std::move(config)), m_root(std::move(root)),
      m_codexRoot(std::move(codexRoot)) {}

LogScanner::~LogScanner() = default;

bool LogScanner::scan(const std::string&, bool, int) { return false; }
void LogScanner::handle(std::string_view, std::string_view, bool, FileState&) {}
void LogScanner::handleCodex(std::string_view, std::string_view, FileState&) {}

} // namespace quillon
