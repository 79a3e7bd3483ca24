// Writes a home folder of assistant logs that looks like a heavy user's, by bytes: about 70%
// user lines carrying tool results (median near 10 KB, a long tail up to several MB, the text
// repeated in a second field), 18% assistant lines (about 1 KB; a message with several content
// blocks is several lines repeating its id and usage, the output count growing), 10% Codex
// rollouts, a few percent subagent logs, and some resumed sessions that copy their parent.
//
//   corpus_gen <folder> [megabytes=500] [files=5000] [seed=1]
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::mt19937_64 rng;

std::uint64_t below(std::uint64_t n) {
    return n ? rng() % n : 0;
}

std::string uuid() {
    static const char* hex = "0123456789abcdef";
    std::string s;
    for (int i = 0; i < 36; ++i)
        s += (i == 8 || i == 13 || i == 18 || i == 23) ? '-' : hex[below(16)];
    return s;
}

std::string stamp(std::int64_t t, int ms) {
    time_t secs = t;
    tm u{};
    gmtime_r(&secs, &u);
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", u.tm_year + 1900, u.tm_mon + 1,
                  u.tm_mday, u.tm_hour, u.tm_min, u.tm_sec, ms);
    return buf;
}

// JSON-escaped text that looks like source files and command output.
std::string escapedText(std::size_t bytes) {
    static const char* words[] = {"const",    "return",   "std::string", "if",       "for",     "auto",
                                  "int",      "void",     "{",           "}",        "// note", "value",
                                  "#include", "<vector>", "error:",      "warning:", "test",    "PASS"};
    std::string s;
    s.reserve(bytes + 32);
    while (s.size() < bytes) {
        switch (below(12)) {
        case 0:
            s += "\\n";
            break;
        case 1:
            s += "\\t";
            break;
        case 2:
            s += "\\\"quoted\\\"";
            break;
        default:
            s += words[below(sizeof words / sizeof *words)];
            s += ' ';
        }
    }
    return s;
}

// Tool result sizes: log-normal around 10 KB, capped at 6 MB.
std::size_t resultSize() {
    double x = std::exp(std::normal_distribution<double>(std::log(10'000.0), 1.1)(rng));
    return static_cast<std::size_t>(std::min(x, 6e6));
}

struct Writer {
    std::string out;
    std::int64_t t;
    std::string session, cwd;
    const char* models[3] = {"claude-opus-4-6", "claude-sonnet-4-5-20250929", "claude-haiku-4-5-20251001"};

    void prompt(bool sidechain) {
        out += "{\"parentUuid\":null,\"isSidechain\":" + std::string(sidechain ? "true" : "false") +
               ",\"userType\":\"external\",\"cwd\":\"" + cwd + "\",\"sessionId\":\"" + session +
               "\",\"version\":\"2.1.38\",\"gitBranch\":\"main\",\"type\":\"user\",\"message\":{\"role\":"
               "\"user\",\"content\":\"Please look at the failing test in " +
               escapedText(40) + "\"},\"uuid\":\"" + uuid() + "\",\"timestamp\":\"" + stamp(t, 0) + "\"}\n";
    }
    // One assistant message as one line per content block.
    void message(bool sidechain) {
        const std::string id = "msg_01" + uuid().substr(0, 22);
        const char* model = models[below(3)];
        const int blocks = 2 + static_cast<int>(below(4));
        const std::int64_t in = 1 + below(50), cw = below(20'000), cr = 10'000 + below(150'000);
        std::int64_t output = 1 + below(40);
        for (int b = 0; b < blocks; ++b) {
            if (b == blocks - 1) output += below(600);
            std::string content;
            if (b == blocks - 1) {
                content = "[{\"type\":\"tool_use\",\"id\":\"toolu_" + uuid().substr(0, 20) +
                          "\",\"name\":\"Bash\",\"input\":{\"command\":\"" + escapedText(500) + "\"}}]";
            } else {
                content = "[{\"type\":\"text\",\"text\":\"" + escapedText(900) + "\"}]";
            }
            out += "{\"parentUuid\":\"" + uuid() + "\",\"isSidechain\":" + (sidechain ? "true" : "false") +
                   ",\"userType\":\"external\",\"cwd\":\"" + cwd + "\",\"sessionId\":\"" + session +
                   "\",\"version\":\"2.1.38\",\"gitBranch\":\"main\",\"message\":{\"model\":\"" + model +
                   "\",\"id\":\"" + id +
                   "\",\"type\":\"message\",\"role\":\"assistant\",\"content\":" + content +
                   ",\"stop_reason\":null,\"stop_sequence\":null,\"usage\":{\"input_tokens\":" +
                   std::to_string(in) + ",\"cache_creation_input_tokens\":" + std::to_string(cw) +
                   ",\"cache_read_input_tokens\":" + std::to_string(cr) +
                   ",\"cache_creation\":{\"ephemeral_5m_input_tokens\":0,\"ephemeral_1h_input_tokens\":" +
                   std::to_string(cw) + "},\"output_tokens\":" + std::to_string(output) +
                   ",\"service_tier\":\"standard\"}},\"requestId\":\"req_" + uuid().substr(0, 24) +
                   "\",\"type\":\"assistant\",\"uuid\":\"" + uuid() + "\",\"timestamp\":\"" + stamp(t, b) +
                   "\"}\n";
            t += 1;
        }
    }
    void result(bool sidechain) {
        const std::string text = escapedText(resultSize() / 2);
        const bool failed = below(40) == 0;
        out += "{\"parentUuid\":\"" + uuid() + "\",\"isSidechain\":" + (sidechain ? "true" : "false") +
               ",\"userType\":\"external\",\"cwd\":\"" + cwd + "\",\"sessionId\":\"" + session +
               "\",\"version\":\"2.1.38\",\"gitBranch\":\"main\",\"type\":\"user\",\"message\":{\"role\":"
               "\"user\",\"content\":[{\"tool_use_id\":\"toolu_" +
               uuid().substr(0, 20) + "\",\"type\":\"tool_result\",\"content\":\"" + text +
               "\",\"is_error\":" + (failed ? "true" : "false") + "}]},\"uuid\":\"" + uuid() +
               "\",\"timestamp\":\"" + stamp(t, 5) + "\",\"toolUseResult\":{\"stdout\":\"" + text +
               "\",\"stderr\":\"\",\"interrupted\":false}}\n";
        t += 2;
    }
    void progress() {
        out += "{\"parentUuid\":\"" + uuid() + "\",\"isSidechain\":false,\"cwd\":\"" + cwd +
               "\",\"sessionId\":\"" + session +
               "\",\"type\":\"progress\",\"data\":{\"type\":\"hook_progress\",\"hookEvent\":\"PostToolUse\"},"
               "\"timestamp\":\"" +
               stamp(t, 7) + "\"}\n";
    }
    // A conversation until about `bytes` are written.
    void conversation(std::size_t bytes, bool sidechain) {
        prompt(sidechain);
        if (!sidechain && below(3) == 0)
            out += "{\"type\":\"custom-title\",\"customTitle\":\"Fix the build\",\"sessionId\":\"" + session +
                   "\"}\n";
        while (out.size() < bytes) {
            message(sidechain);
            if (below(3) == 0) progress();
            result(sidechain);
        }
    }
};

std::string codexRollout(std::size_t bytes, std::int64_t t, const std::string& id) {
    std::string out =
        "{\"timestamp\":\"" + stamp(t, 0) + "\",\"type\":\"session_meta\",\"payload\":{\"id\":\"" + id +
        "\",\"timestamp\":\"" + stamp(t, 0) +
        "\",\"cwd\":\"/home/user/project\",\"originator\":\"codex_cli_rs\",\"cli_version\":\"0.129.0\"}}\n";
    out += "{\"timestamp\":\"" + stamp(t, 1) +
           "\",\"type\":\"turn_context\",\"payload\":{\"cwd\":\"/home/user/"
           "project\",\"model\":\"gpt-5.5-codex\",\"effort\":\"medium\"}}\n";
    out += "{\"timestamp\":\"" + stamp(t, 2) +
           "\",\"type\":\"response_item\",\"payload\":{\"type\":\"message\",\"role\":\"user\",\"content\":[{"
           "\"type\":\"input_text\",\"text\":\"Refactor the parser\"}]}}\n";
    int n = 0;
    while (out.size() < bytes) {
        t += 3;
        out += "{\"timestamp\":\"" + stamp(t, 0) +
               "\",\"type\":\"event_msg\",\"payload\":{\"type\":\"task_started\"}}\n";
        out += "{\"timestamp\":\"" + stamp(t, 1) +
               "\",\"type\":\"response_item\",\"payload\":{\"type\":\"function_call_output\",\"call_id\":"
               "\"call_" +
               uuid().substr(0, 12) + "\",\"output\":\"" + escapedText(resultSize()) + "\"}}\n";
        out += "{\"timestamp\":\"" + stamp(t, 2) +
               "\",\"type\":\"token_usage_record\",\"payload\":{\"session_id\":\"" + id +
               "\",\"response_id\":\"resp_" + uuid() +
               "\",\"usage\":{\"input_tokens\":" + std::to_string(20'000 + below(100'000)) +
               ",\"cached_input_tokens\":" + std::to_string(below(20'000)) +
               ",\"cache_write_input_tokens\":0,\"output_tokens\":" + std::to_string(below(2000)) + "}}}\n";
        out += "{\"timestamp\":\"" + stamp(t, 3) +
               "\",\"type\":\"event_msg\",\"payload\":{\"type\":\"token_count\",\"info\":null,\"rate_"
               "limits\":{\"primary\":{\"used_percent\":" +
               std::to_string(n % 100) +
               ".0,\"window_minutes\":300,\"resets_at\":1800000000},\"secondary\":{\"used_percent\":5.0,"
               "\"window_minutes\":10080,\"resets_at\":1800500000}}}}\n";
        out += "{\"timestamp\":\"" + stamp(t, 4) +
               "\",\"type\":\"event_msg\",\"payload\":{\"type\":\"task_complete\"}}\n";
        ++n;
    }
    return out;
}

void save(const fs::path& p, const std::string& bytes) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << bytes;
}

} // namespace

namespace {

std::size_t generate(const fs::path& home, std::size_t total, std::size_t files, std::uint64_t seed);

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: corpus_gen <folder> [megabytes=500] [files=5000] [seed=1]\n");
        return 2;
    }
    const fs::path home = argv[1];
    const double megabytes = argc > 2 ? std::atof(argv[2]) : 500;
    const std::size_t files = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 5000;
    const std::uint64_t seed = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 1;
    // Files end on whole turns and so overshoot their share: aim lower until the total fits.
    const auto wanted = static_cast<std::size_t>(megabytes * 1e6);
    std::size_t aim = wanted, written = 0;
    for (int attempt = 0; attempt < 4; ++attempt) {
        written = generate(home, aim, files, seed);
        if (written < wanted * 1.02 && written > wanted * 0.98) break;
        aim = static_cast<std::size_t>(static_cast<double>(aim) * wanted / written);
    }
    std::printf("wrote %zu files, %.1f MB into %s\n", files, written / 1e6, home.c_str());
    return 0;
}

namespace {

std::size_t generate(const fs::path& home, std::size_t total, std::size_t files, std::uint64_t seed) {
    rng.seed(seed);
    const fs::path claude = home / ".claude/projects", codex = home / ".codex/sessions";
    fs::remove_all(claude);
    fs::remove_all(codex);

    // Sizes: one tenth Codex, a few percent subagents, the rest main sessions; file sizes vary
    // log-normally so that a few sessions are large.
    const std::size_t codexFiles = files / 10, subFiles = files / 25, resumed = files / 50;
    const std::size_t mainFiles = files - codexFiles - subFiles - resumed;
    std::vector<double> weights(mainFiles);
    double sum = 0;
    for (double& w : weights)
        sum += (w = std::exp(std::normal_distribution<double>(0, 0.8)(rng)));
    const double mainBytes = total * 0.86, codexBytes = total * 0.10, subBytes = total * 0.04;

    std::size_t written = 0;
    std::int64_t t = 1'780'000'000;
    std::vector<std::pair<std::string, std::string>> sessions; // (project, id) of main sessions
    for (std::size_t i = 0; i < mainFiles; ++i) {
        Writer w;
        w.session = uuid();
        w.cwd = "/home/user/project-" + std::to_string(i % 40);
        w.t = t + static_cast<std::int64_t>(i) * 600;
        w.conversation(static_cast<std::size_t>(mainBytes * weights[i] / sum), false);
        const std::string project = "-home-user-project-" + std::to_string(i % 40);
        save(claude / project / (w.session + ".jsonl"), w.out);
        written += w.out.size();
        sessions.emplace_back(project, w.session);
        // A resumed session starts with a copy of its parent's history.
        if (i < resumed) {
            Writer r;
            r.session = uuid();
            r.cwd = w.cwd;
            r.t = w.t + 100'000;
            std::string copy = w.out.substr(0, std::min<std::size_t>(w.out.size(), 200'000));
            copy = copy.substr(0, copy.rfind('\n') + 1);
            r.out = copy;
            r.conversation(copy.size() + 50'000, false);
            save(claude / project / (r.session + ".jsonl"), r.out);
            written += r.out.size();
        }
    }
    for (std::size_t i = 0; i < subFiles; ++i) {
        const auto& [project, parent] = sessions[below(sessions.size())];
        Writer w;
        w.session = parent;
        w.cwd = "/home/user/x";
        w.t = t + static_cast<std::int64_t>(i) * 300;
        w.conversation(static_cast<std::size_t>(subBytes / subFiles), true);
        save(claude / project / parent / "subagents" / ("agent-" + uuid().substr(0, 8) + ".jsonl"), w.out);
        written += w.out.size();
    }
    for (std::size_t i = 0; i < codexFiles; ++i) {
        const std::string id = uuid();
        std::string out = codexRollout(static_cast<std::size_t>(codexBytes / codexFiles), t + i * 900, id);
        char day[32];
        std::snprintf(day, sizeof day, "2026/%02zu/%02zu", 1 + i % 12, 1 + i % 28);
        save(codex / day / ("rollout-" + id + ".jsonl"), out);
        written += out.size();
    }
    return written;
}

} // namespace
