// The two line handlers: raw-byte probes choose a path, the line parser pulls out the few
// fields that path needs, and only a line that parsed whole changes the aggregates.
#include <algorithm>

#include "scanner/scanner_impl.h"
#include "scanner/text.h"
#include "scanner/timestamp.h"

namespace quillon {
namespace {

constexpr std::size_t kTitleLimit = 4095;
constexpr std::size_t kLargeResult = 20001;
constexpr std::size_t kPromptChars = 70;
constexpr std::size_t kErrorChars = 300;
// Lines longer than this make the parser give back what it grew for them.
constexpr std::size_t kParserKeep = 4 * kChunk;
using Content = ClaudeLine::Content;

bool startsWithAngle(const std::string& s) {
    return !s.empty() && s[0] == '<';
}

} // namespace

void LogScanner::handleClaudeLine(const char* p, std::size_t n, std::size_t capacity, const Probe::Hits& hits,
                                  std::string_view fileSession, bool isSub, FileState& state) {
    const std::string_view line(p, n);
    enum { assistant, title, user, large } path;
    if (hits.has(Probe::assistant))
        path = assistant;
    else if (isSub)
        return;
    else if (hits.has(Probe::title) && n <= kTitleLimit)
        path = title;
    else if (!hits.has(Probe::user))
        return;
    else if (!hits.has(Probe::toolResult) || hits.has(Probe::isError) || n < kLargeResult)
        path = user;
    else
        path = large;

    if (path == large) {
        // Huge successful tool results are never parsed: only their time stamp is cut out.
        auto it = m_sessions.find(fileSession);
        if (it == m_sessions.end()) return;
        it->second->lastToolError.reset();
        mark(*it->second, "result", Probe::quickTimestamp(line, hits));
        return;
    }

    Impl& I = *m_impl;
    ClaudeLine L;
    L.texts = &I.texts;
    bool parsed = I.parser->claude(p, n, capacity, L);
    if (n > kParserKeep) I.parser->trim();
    if (!parsed) return;
    const std::string_view sessionKey = L.sessionId ? *L.sessionId : fileSession;

    if (path == title) {
        if (L.type != "custom-title" || !L.customTitle) return;
        session(sessionKey).title = std::string(*L.customTitle);
        return;
    }

    if (path == user) {
        if (L.type != "user" || L.sidechain || !L.message) return;
        SessionAgg& s = session(sessionKey);
        if (L.content == Content::string) {
            std::string t = text::normalise(L.text);
            if (t.empty() || startsWithAngle(t)) return;
            if (!s.firstPrompt) s.firstPrompt = text::prefixChars(t, kPromptChars);
            s.lastToolError.reset();
            mark(s, "prompt", L.when);
        } else if (L.content == Content::blocks) {
            if (L.blocks == 0) return;
            for (std::string_view raw : I.texts) {
                if (!I.parser->unescape(raw, I.text)) continue;
                std::string t = text::normalise(I.text);
                if (t.empty() || startsWithAngle(t)) continue;
                if (!s.firstPrompt) s.firstPrompt = text::prefixChars(t, kPromptChars);
                mark(s, "prompt", L.when);
            }
            if (L.toolResult) {
                mark(s, "result", L.when);
                if (L.failed && L.when)
                    s.lastToolError = ToolError{*L.when, text::normalise(L.error, kErrorChars)};
                else
                    s.lastToolError.reset();
            }
        }
        return;
    }

    // The assistant path.
    if (L.type != "assistant" || !L.message || !L.usage || !L.when) return;
    const std::string_view model = L.model ? *L.model : std::string_view("?");
    if (model == "<synthetic>") return;
    const bool side = isSub || L.sidechain;
    SessionAgg& s = session(isSub ? fileSession : sessionKey);
    if (s.cwd.empty() && L.cwd) s.cwd = std::string(*L.cwd);
    if (!side && L.content == Content::blocks) {
        if (L.toolUse)
            mark(s, "tool", L.when,
                 L.toolName ? std::optional<std::string>(std::string(*L.toolName)) : std::nullopt);
        else if (L.textBlock)
            mark(s, "text", L.when);
    }

    const Usage u = L.u;
    // The one-hour writes are a part of the cache writes, never more.
    const std::int64_t oneHour = std::clamp<std::int64_t>(L.oneHour, 0, std::max<std::int64_t>(u.cacheW, 0));
    std::uint64_t key = 0;
    if (L.id)
        key = KeySet::hash(KeySet::Space::claude, *L.id);
    else if (L.uuid)
        key = KeySet::hash(KeySet::Space::claude, *L.uuid);
    if (key) {
        if (state.last.key == key) {
            grow(state, u, oneHour);
            return;
        }
        if (!I.keys.insert(key)) {
            state.last.key = 0;
            return;
        }
    }
    const bool hadFloor = s.floorContext.has_value();
    add(s, u, model, *L.when, side, oneHour);
    CountedMessage& m = state.last;
    m.key = key;
    m.session = &s;
    m.usage = u;
    m.cacheW1h = oneHour;
    m.when = *L.when;
    m.side = side;
    m.setFloor = !side && !hadFloor;
    m.model.assign(model);
}

void LogScanner::grow(FileState& state, const Usage& u, std::int64_t cacheW1h) {
    CountedMessage& m = state.last;
    const Usage was = m.usage;
    const Usage now{std::max(was.input, u.input), std::max(was.cacheW, u.cacheW),
                    std::max(was.cacheR, u.cacheR), std::max(was.output, u.output)};
    const std::int64_t now1h = std::max(m.cacheW1h, cacheW1h);
    if (now == was && now1h == m.cacheW1h) return;

    SessionAgg& s = *m.session;
    DayAgg& d = s.days[dayKeyOf(m.when)];
    d.usage += Usage{satSub(now.input, was.input), satSub(now.cacheW, was.cacheW),
                     satSub(now.cacheR, was.cacheR), satSub(now.output, was.output)};
    d.usd += m_config.usd(m.model, now, now1h) - m_config.usd(m.model, was, m.cacheW1h);
    const std::int64_t grownBy = satSub(now.context(), was.context());
    if (m.side) d.sideContext = satAdd(d.sideContext, grownBy);
    std::int64_t& hour = s.hours[hourNumber(m.when)];
    hour = satAdd(hour, grownBy);
    if (!m.side) {
        if (m.setFloor) s.floorContext = now.context();
        s.peakContext = std::max(s.peakContext, now.context());
        if (s.lastMainAt && *s.lastMainAt == m.when && s.lastContext == was.context())
            s.lastContext = now.context();
    }
    m.usage = now;
    m.cacheW1h = now1h;
}

// Codex writes the session's running token totals in its token_count events, often twice
// in a row. A turn is what the totals grew by since the file's previous event; a copy of
// the same event in a resumed or forked file (same time, same totals) counts once.
void LogScanner::countCodexTotals(const CodexLine& C, std::string_view fileSession, FileState& state) {
    const Usage total{C.totalIn, 0, C.totalCached, C.totalOut};
    Usage grown{satSub(total.input, state.codexTotal.input), 0, satSub(total.cacheR, state.codexTotal.cacheR),
                satSub(total.output, state.codexTotal.output)};
    if (grown.input < 0 || grown.cacheR < 0 || grown.output < 0) {
        // The totals started again (a new session in the same file): this event's own turn.
        grown = C.lastTurn ? Usage{C.lastIn, 0, C.lastCached, C.lastOut} : total;
    }
    state.codexTotal = total;
    if (grown.input == 0 && grown.cacheR == 0 && grown.output == 0) return;
    std::string key = std::to_string(*C.when) + "/" + std::to_string(C.totalIn) + "/" +
                      std::to_string(C.totalCached) + "/" + std::to_string(C.totalOut);
    if (!m_impl->keys.insert(KeySet::hash(KeySet::Space::codex, "token_count:" + key))) return;
    // Input tokens include the cached ones, as in the usage records.
    Usage u{std::max<std::int64_t>(satSub(grown.input, grown.cacheR), 0), 0, grown.cacheR, grown.output};
    m_impl->key.assign("codex:");
    m_impl->key.append(state.codexSession ? std::string_view(*state.codexSession) : fileSession);
    SessionAgg& s = session(m_impl->key);
    s.tool = "Codex";
    add(s, u, state.codexModel, *C.when, false);
}

void LogScanner::handleCodexLine(const char* p, std::size_t n, std::size_t capacity, const Probe::Hits& hits,
                                 std::string_view fileSession, FileState& state) {
    enum { usage, event, context, user } path;
    if (hits.has(Probe::codexUsage))
        path = usage;
    else if (hits.has(Probe::codexLimits | Probe::codexStart | Probe::codexDone))
        path = event;
    else if (hits.has(Probe::codexMeta | Probe::codexTurn))
        path = context;
    else if (hits.has(Probe::codexUser))
        path = user;
    else if (hits.has(Probe::codexCount))
        path = event;  // today's Codex reports usage in token_count events without rate limits too
    else
        return;

    Impl& I = *m_impl;
    // The Codex session of this file: the given id, else the one its session-meta line named,
    // else the file name. The lookup also makes it a Codex session.
    auto codexSession = [&](std::optional<std::string_view> id) -> SessionAgg& {
        I.key.assign("codex:");
        I.key.append(id ? *id : state.codexSession ? std::string_view(*state.codexSession) : fileSession);
        SessionAgg& s = session(I.key);
        s.tool = "Codex";
        return s;
    };

    if (path == user) {
        // Once the session has its first prompt, its user lines are not even parsed.
        SessionAgg& s = codexSession(std::nullopt);
        if (s.firstPrompt) return;
        CodexLine C;
        C.texts = &I.texts;
        bool parsed = I.parser->codex(p, n, capacity, C);
        if (n > kParserKeep) I.parser->trim();
        if (!parsed || !C.payload || C.ptype != "message" || C.role != "user" || !C.blocks) return;
        for (std::string_view raw : I.texts) {
            if (!I.parser->unescape(raw, I.text)) continue;
            std::string t = text::normalise(I.text);
            if (t.empty() || t[0] == '<' || t[0] == '#') continue;
            s.firstPrompt = text::prefixChars(t, kPromptChars);
            break;
        }
        return;
    }

    CodexLine C;
    C.texts = &I.texts;
    bool parsed = I.parser->codex(p, n, capacity, C);
    if (n > kParserKeep) I.parser->trim();
    if (!parsed || !C.payload) return;

    if (path == usage) {
        if (C.type != "token_usage_record" || !C.usage || !C.when) return;
        std::uint64_t key = 0;
        if (C.responseId)
            key = KeySet::hash(KeySet::Space::codex, *C.responseId);
        else if (C.hasOrdinal)
            key = KeySet::hash(KeySet::Space::codexOrdinal, C.ordinal);
        state.codexRecords = true;
        if (key && !I.keys.insert(key)) return;
        std::int64_t input = satSub(satSub(C.in, C.cached), C.written);
        Usage u{input < 0 ? 0 : input, C.written, C.cached, C.out};
        add(codexSession(C.sessionId), u, state.codexModel, *C.when, false);
        return;
    }

    if (path == event) {
        if (C.type != "event_msg" || !C.when || !C.ptype) return;
        if (*C.ptype == "task_started") {
            mark(codexSession(std::nullopt), "started", C.when);
        } else if (*C.ptype == "task_complete") {
            mark(codexSession(std::nullopt), "done", C.when);
        } else if (*C.ptype == "token_count") {
            if (C.total && !state.codexRecords) countCodexTotals(C, fileSession, state);
            if (!C.limits) return;
            recordCodexLimits(CodexLimits{C.primary, C.secondary, *C.when});
        }
        return;
    }

    // The context path.
    const bool meta = C.type == "session_meta";
    if (!meta && C.type != "turn_context") return;
    if (meta) {
        if (C.sessionId)
            state.codexSession = std::string(*C.sessionId);
        else if (C.id)
            state.codexSession = std::string(*C.id);
    }
    if (C.model && !C.model->empty()) {
        if (text::lower(*C.model).find("gpt") != std::string::npos)
            state.codexModel.assign(*C.model);
        else
            state.codexModel.assign("gpt-").append(*C.model);
    }
    SessionAgg& s = codexSession(std::nullopt);
    if (s.cwd.empty() && C.cwd) s.cwd = std::string(*C.cwd);
}

void LogScanner::handle(std::string_view line, std::string_view fileSession, bool isSub, FileState& state) {
    auto& buf = m_impl->scratch;
    buf.assign(line.begin(), line.end());
    buf.resize(line.size() + kPad, ' ');
    // Probed in the padded copy: the vector loads read past the line.
    const Probe::Hits hits = Probe::scan(std::string_view(buf.data(), line.size()));
    handleClaudeLine(buf.data(), line.size(), buf.size(), hits, fileSession, isSub, state);
    if (buf.capacity() > kParserKeep) std::vector<char>().swap(buf);
}

void LogScanner::handleCodex(std::string_view line, std::string_view fileSession, FileState& state) {
    auto& buf = m_impl->scratch;
    buf.assign(line.begin(), line.end());
    buf.resize(line.size() + kPad, ' ');
    const Probe::Hits hits = Probe::scan(std::string_view(buf.data(), line.size()));
    handleCodexLine(buf.data(), line.size(), buf.size(), hits, fileSession, state);
    if (buf.capacity() > kParserKeep) std::vector<char>().swap(buf);
}

} // namespace quillon
