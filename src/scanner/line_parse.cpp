// Field extraction with simdjson On-Demand. This file is compiled once per kernel: built as
// is it uses the kernel the compiler flags allow; line_parse_haswell.cpp builds it again for
// AVX2 processors under another namespace.
#include <simdjson.h>

#include "scanner/line_parse.h"
#include "scanner/text.h"
#include "scanner/timestamp.h"

#ifndef QUILLON_PARSE_NS
#define QUILLON_PARSE_NS generic
#define QUILLON_PARSE_NAME "generic"
#endif

namespace quillon {
namespace QUILLON_PARSE_NS {
namespace {

namespace od = simdjson::ondemand;
using simdjson::SUCCESS;

#define Q_TRY(expr)                                                                                          \
    do {                                                                                                     \
        if ((expr) != SUCCESS) return false;                                                                 \
    } while (0)

bool typeOf(od::value& v, od::json_type& t) {
    return v.type().get(t) == SUCCESS;
}

// A string field: its text, or nothing when the value has another type.
bool stringField(od::value& v, std::optional<std::string_view>& out) {
    od::json_type t;
    if (!typeOf(v, t)) return false;
    out.reset();
    if (t != od::json_type::string) return true;
    std::string_view s;
    Q_TRY(v.get_string().get(s));
    out = s;
    return true;
}

// A string field left escaped: its raw token, quotes included. Unescaping a long tool result
// that nobody reads is the larger part of parsing such a line, so it waits until needed.
bool rawStringField(od::value& v, std::optional<std::string_view>& out) {
    od::json_type t;
    if (!typeOf(v, t)) return false;
    out.reset();
    if (t == od::json_type::string) out = v.raw_json_token();
    return true;
}

// Unescapes a raw string token with a second, small parser.
bool unescapeToken(od::parser& small, std::string& scratch, std::string_view token, std::string& out) {
    scratch.assign(token);
    const std::size_t n = scratch.size();
    scratch.append(simdjson::SIMDJSON_PADDING, ' ');
    od::document doc;
    Q_TRY(small.iterate(scratch.data(), n, scratch.size()).get(doc));
    std::string_view s;
    Q_TRY(doc.get_string().get(s));
    out.assign(s);
    return true;
}

struct Unescaper {
    od::parser& small;
    std::string& scratch;
    std::vector<std::string_view>& parts;
    bool operator()(std::string_view token, std::string& out) {
        return unescapeToken(small, scratch, token, out);
    }
};

// A token count: an integer, else 0.
bool intField(od::value& v, std::int64_t& out) {
    od::json_type t;
    if (!typeOf(v, t)) return false;
    out = 0;
    if (t != od::json_type::number) return true;
    od::number_type nt;
    Q_TRY(v.get_number_type().get(nt));
    if (nt != od::number_type::signed_integer) return true;
    std::int64_t x;
    Q_TRY(v.get_int64().get(x));
    out = x;
    return true;
}

bool numberField(od::value& v, std::optional<double>& out) {
    od::json_type t;
    if (!typeOf(v, t)) return false;
    out.reset();
    if (t != od::json_type::number) return true;
    double x;
    Q_TRY(v.get_double().get(x));
    out = x;
    return true;
}

bool trueField(od::value& v, bool& out) {
    od::json_type t;
    if (!typeOf(v, t)) return false;
    out = false;
    if (t != od::json_type::boolean) return true;
    bool b;
    Q_TRY(v.get_bool().get(b));
    out = b;
    return true;
}

// A time stamp field: only strings in one of the two ISO 8601 forms count.
bool dateField(od::value& v, std::optional<Instant>& out) {
    std::optional<std::string_view> s;
    if (!stringField(v, s)) return false;
    out.reset();
    if (s) out = parseTimestamp(*s);
    return true;
}

// Walks the fields of an object; f(key, value) returns false to fail the line.
template <class F> bool fieldsOf(od::object& o, F&& f) {
    for (auto item : o) {
        od::field fld;
        Q_TRY(std::move(item).get(fld));
        std::string_view k;
        Q_TRY(fld.unescaped_key().get(k));
        od::value fv = fld.value();
        if (!f(k, fv)) return false;
    }
    return true;
}

template <class F> bool eachField(od::value& v, F&& f) {
    od::object o;
    Q_TRY(v.get_object().get(o));
    return fieldsOf(o, f);
}

bool isObject(od::value& v, bool& out) {
    od::json_type t;
    if (!typeOf(v, t)) return false;
    out = t == od::json_type::object;
    return true;
}

// Walks an array; f(element) is called for objects only. allObjects tells whether every
// element was one (an "array of objects").
template <class F> bool eachObject(od::value& v, bool& allObjects, F&& f) {
    od::array a;
    Q_TRY(v.get_array().get(a));
    allObjects = true;
    for (auto item : a) {
        od::value e;
        Q_TRY(item.get(e));
        bool obj;
        if (!isObject(e, obj)) return false;
        if (!obj) {
            allObjects = false;
            continue;
        }
        if (!f(e)) return false;
    }
    return true;
}

// Walks the fields of a whole line, which must be one object with nothing but blanks after it.
template <class F>
bool eachLineField(od::parser& parser, const char* p, std::size_t n, std::size_t capacity, F&& f) {
    od::document doc;
    Q_TRY(parser.iterate(p, n, capacity).get(doc));
    od::object obj;
    Q_TRY(doc.get_object().get(obj));
    if (!fieldsOf(obj, f)) return false;
    const char* loc;
    return doc.current_location().get(loc) != SUCCESS;
}

bool readUsage(od::value& v, ClaudeLine& L) {
    return eachField(v, [&](std::string_view k, od::value& f) {
        if (k == "input_tokens") return intField(f, L.u.input);
        if (k == "cache_creation_input_tokens") return intField(f, L.u.cacheW);
        if (k == "cache_read_input_tokens") return intField(f, L.u.cacheR);
        if (k == "output_tokens") return intField(f, L.u.output);
        if (k == "cache_creation") {
            L.oneHour = 0;
            bool obj;
            if (!isObject(f, obj)) return false;
            if (!obj) return true;
            return eachField(f, [&](std::string_view k2, od::value& f2) {
                return k2 == "ephemeral_1h_input_tokens" ? intField(f2, L.oneHour) : true;
            });
        }
        return true;
    });
}

// One content block of a message; what it contributes is decided once all its fields are known.
bool readBlock(od::value& v, ClaudeLine& L, Unescaper& un) {
    auto& parts = un.parts;
    std::optional<std::string_view> type, textField, name, contentText;
    bool isError = false, contentArray = false, contentObjects = true;
    parts.clear();
    bool ok = eachField(v, [&](std::string_view k, od::value& f) {
        if (k == "type") return stringField(f, type);
        if (k == "text") return rawStringField(f, textField);
        if (k == "name") return stringField(f, name);
        if (k == "is_error") return trueField(f, isError);
        if (k == "content") {
            od::json_type t;
            if (!typeOf(f, t)) return false;
            contentText.reset();
            contentArray = false;
            parts.clear();
            if (t == od::json_type::string) return rawStringField(f, contentText);
            if (t != od::json_type::array) return true;
            contentArray = true;
            return eachObject(f, contentObjects, [&](od::value& e) {
                std::optional<std::string_view> part;
                if (!eachField(e, [&](std::string_view k2, od::value& f2) {
                        return k2 == "text" ? rawStringField(f2, part) : true;
                    }))
                    return false;
                if (part) parts.push_back(*part);
                return true;
            });
        }
        return true;
    });
    if (!ok) return false;
    if (type == "tool_use") {
        L.toolUse = true;
        L.toolName = name;
    } else if (type == "text") {
        L.textBlock = true;
        if (textField) L.texts->push_back(*textField);
    } else if (type == "tool_result") {
        L.toolResult = true;
        if (isError) {
            L.failed = true;
            if (contentText) {
                if (!un(*contentText, L.error)) return false;
            } else if (contentArray && contentObjects) {
                L.error.clear();
                std::string part;
                for (std::size_t i = 0; i < parts.size(); ++i) {
                    if (!un(parts[i], part)) return false;
                    if (i) L.error.push_back(' ');
                    L.error.append(part);
                }
            } else {
                L.error = "tool call failed";
            }
        }
    }
    return true;
}

bool readMessage(od::value& v, ClaudeLine& L, Unescaper& un) {
    return eachField(v, [&](std::string_view k, od::value& f) {
        if (k == "id") return stringField(f, L.id);
        if (k == "model") return stringField(f, L.model);
        if (k == "usage") {
            if (!isObject(f, L.usage)) return false;
            L.u = {};
            L.oneHour = 0;
            return L.usage ? readUsage(f, L) : true;
        }
        if (k == "content") {
            od::json_type t;
            if (!typeOf(f, t)) return false;
            L.blocks = 0;
            L.toolUse = L.textBlock = L.toolResult = L.failed = false;
            L.toolName.reset();
            L.texts->clear();
            if (t == od::json_type::string) {
                L.content = ClaudeLine::Content::string;
                std::optional<std::string_view> s;
                if (!stringField(f, s)) return false;
                L.text = *s;
                return true;
            }
            if (t != od::json_type::array) {
                L.content = ClaudeLine::Content::other;
                return true;
            }
            bool all = true;
            if (!eachObject(f, all, [&](od::value& e) {
                    ++L.blocks;
                    return readBlock(e, L, un);
                }))
                return false;
            L.content = all ? ClaudeLine::Content::blocks : ClaudeLine::Content::other;
            return true;
        }
        return true;
    });
}

bool parseClaude(od::parser& parser, Unescaper& un, const char* p, std::size_t n, std::size_t capacity,
                 ClaudeLine& L) {
    return eachLineField(parser, p, n, capacity, [&](std::string_view k, od::value& v) {
        bool ok = true;
        if (k == "type")
            ok = stringField(v, L.type);
        else if (k == "sessionId")
            ok = stringField(v, L.sessionId);
        else if (k == "timestamp")
            ok = dateField(v, L.when);
        else if (k == "isSidechain")
            ok = trueField(v, L.sidechain);
        else if (k == "cwd")
            ok = stringField(v, L.cwd);
        else if (k == "uuid")
            ok = stringField(v, L.uuid);
        else if (k == "customTitle")
            ok = stringField(v, L.customTitle);
        else if (k == "message") {
            ok = isObject(v, L.message);
            if (ok && L.message) ok = readMessage(v, L, un);
        }
        return ok;
    });
}

bool readWindow(od::value& v, std::optional<LimitReading>& out) {
    out.reset();
    bool obj;
    if (!isObject(v, obj)) return false;
    if (!obj) return true;
    std::optional<double> used, resets;
    std::int64_t minutes = 0;
    if (!eachField(v, [&](std::string_view k, od::value& f) {
            if (k == "used_percent") return numberField(f, used);
            if (k == "resets_at") return numberField(f, resets);
            if (k == "window_minutes") return intField(f, minutes);
            return true;
        }))
        return false;
    if (used && resets) out = LimitReading{*used, *resets, minutes};
    return true;
}

bool readPayload(od::value& v, CodexLine& C) {
    return eachField(v, [&](std::string_view k, od::value& f) {
        if (k == "session_id") return stringField(f, C.sessionId);
        if (k == "id") return stringField(f, C.id);
        if (k == "model") return stringField(f, C.model);
        if (k == "cwd") return stringField(f, C.cwd);
        if (k == "type") return stringField(f, C.ptype);
        if (k == "role") return stringField(f, C.role);
        if (k == "response_id") return stringField(f, C.responseId);
        if (k == "usage") {
            if (!isObject(f, C.usage)) return false;
            C.in = C.cached = C.written = C.out = 0;
            if (!C.usage) return true;
            return eachField(f, [&](std::string_view k2, od::value& f2) {
                if (k2 == "input_tokens") return intField(f2, C.in);
                if (k2 == "cached_input_tokens") return intField(f2, C.cached);
                if (k2 == "cache_write_input_tokens") return intField(f2, C.written);
                if (k2 == "output_tokens") return intField(f2, C.out);
                return true;
            });
        }
        if (k == "info") {
            bool obj = false;
            if (!isObject(f, obj)) return false;
            if (!obj) return true;
            auto counts = [](od::value& u, bool& seen, std::int64_t& in, std::int64_t& cached,
                             std::int64_t& out) {
                if (!isObject(u, seen)) return false;
                in = cached = out = 0;
                if (!seen) return true;
                return eachField(u, [&](std::string_view k3, od::value& f3) {
                    if (k3 == "input_tokens") return intField(f3, in);
                    if (k3 == "cached_input_tokens") return intField(f3, cached);
                    if (k3 == "output_tokens") return intField(f3, out);
                    return true;
                });
            };
            return eachField(f, [&](std::string_view k2, od::value& f2) {
                if (k2 == "total_token_usage")
                    return counts(f2, C.total, C.totalIn, C.totalCached, C.totalOut);
                if (k2 == "last_token_usage")
                    return counts(f2, C.lastTurn, C.lastIn, C.lastCached, C.lastOut);
                return true;
            });
        }
        if (k == "rate_limits") {
            if (!isObject(f, C.limits)) return false;
            C.primary.reset();
            C.secondary.reset();
            if (!C.limits) return true;
            return eachField(f, [&](std::string_view k2, od::value& f2) {
                if (k2 == "primary") return readWindow(f2, C.primary);
                if (k2 == "secondary") return readWindow(f2, C.secondary);
                return true;
            });
        }
        if (k == "content") {
            C.texts->clear();
            C.blocks = false;
            od::json_type t;
            if (!typeOf(f, t)) return false;
            if (t != od::json_type::array) return true;
            bool all = true;
            if (!eachObject(f, all, [&](od::value& e) {
                    std::optional<std::string_view> s;
                    if (!eachField(e, [&](std::string_view k2, od::value& f2) {
                            return k2 == "text" ? rawStringField(f2, s) : true;
                        }))
                        return false;
                    if (s) C.texts->push_back(*s);
                    return true;
                }))
                return false;
            C.blocks = all;
            return true;
        }
        return true;
    });
}

bool parseCodex(od::parser& parser, const char* p, std::size_t n, std::size_t capacity, CodexLine& C) {
    C.texts->clear();
    return eachLineField(parser, p, n, capacity, [&](std::string_view k, od::value& v) {
        bool ok = true;
        if (k == "type")
            ok = stringField(v, C.type);
        else if (k == "timestamp")
            ok = dateField(v, C.when);
        else if (k == "ordinal") {
            od::json_type t;
            ok = typeOf(v, t);
            C.hasOrdinal = ok;
            if (ok && t == od::json_type::string) {
                ok = v.get_string().get(C.ordinal) == SUCCESS;
            } else if (ok) {
                C.ordinal = text::trim(v.raw_json_token());
            }
        } else if (k == "payload") {
            ok = isObject(v, C.payload);
            if (ok && C.payload) ok = readPayload(v, C);
        }
        return ok;
    });
}

// A parser that grew for one huge line gives its memory back afterwards.
constexpr std::size_t kParserKeep = 4u << 20;

class Parser final : public LineParser {
  public:
    bool claude(const char* p, std::size_t n, std::size_t capacity, ClaudeLine& line) override {
        Unescaper un{m_small, m_scratch, m_parts};
        return parseClaude(m_parser, un, p, n, capacity, line);
    }
    bool codex(const char* p, std::size_t n, std::size_t capacity, CodexLine& line) override {
        return parseCodex(m_parser, p, n, capacity, line);
    }
    bool unescape(std::string_view token, std::string& out) override {
        return unescapeToken(m_small, m_scratch, token, out);
    }
    void trim() override {
        if (m_parser.capacity() > kParserKeep) m_parser = od::parser();
    }
    const char* kernel() const override { return QUILLON_PARSE_NAME; }

  private:
    od::parser m_parser;
    od::parser m_small;
    std::string m_scratch;
    std::vector<std::string_view> m_parts;
};

} // namespace

std::unique_ptr<LineParser> make() {
    return std::make_unique<Parser>();
}

} // namespace QUILLON_PARSE_NS
} // namespace quillon
