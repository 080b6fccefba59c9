// URL splitting, validation and reference resolution on raw bytes.
#include "parse.hpp"

#include <arpa/inet.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace bw::url {

void Error::set(const char* format, ...) noexcept {
    va_list ap;
    va_start(ap, format);
    vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
}

namespace {

inline bool is_alpha(unsigned char c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; }
inline bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
inline bool is_hex(unsigned char c) { return is_digit(c) || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f'); }

// Byte classes, one table lookup per byte in the scanning loops.
enum : uint8_t {
    kForbidden = 1,   // controls, space, DEL: never valid anywhere
    kScheme = 2,      // ALPHA / DIGIT / "+" / "-" / "."
    kRegName = 16,    // unreserved / sub-delims / non-ASCII
    kUnreserved = 32,
};

struct ClassTable {
    uint8_t c[256];
    constexpr ClassTable() : c{} {
        for (int i = 0; i < 256; i++) {
            uint8_t v = 0;
            bool alpha = (i >= 'a' && i <= 'z') || (i >= 'A' && i <= 'Z');
            bool digit = i >= '0' && i <= '9';
            if (i <= 0x20 || i == 0x7f) v |= kForbidden;
            if (alpha || digit || i == '+' || i == '-' || i == '.') v |= kScheme;
            bool unreserved = alpha || digit || i == '-' || i == '.' || i == '_' || i == '~';
            if (unreserved) v |= kUnreserved;
            bool sub_delim = i == '!' || i == '$' || i == '&' || i == '\'' || i == '(' || i == ')' || i == '*' ||
                             i == '+' || i == ',' || i == ';' || i == '=';
            if (unreserved || sub_delim || i >= 0x80) v |= kRegName;
            c[i] = v;
        }
    }
};
constexpr ClassTable kClasses;

inline bool has(char ch, uint8_t cls) { return kClasses.c[static_cast<unsigned char>(ch)] & cls; }
inline bool is_scheme_char(unsigned char c) { return kClasses.c[c] & kScheme; }
inline bool is_unreserved(unsigned char c) { return kClasses.c[c] & kUnreserved; }
inline bool is_sub_delim(unsigned char c) { return (kClasses.c[c] & (kRegName | kUnreserved)) == kRegName && c < 0x80; }

// A piece of input quoted for a message, cut to a readable length.
struct Quoted {
    static constexpr size_t kMaxLimit = 60;
    char text[4 * kMaxLimit + 8];  // quotes, escapes, "..." and NUL

    explicit Quoted(std::string_view s, size_t limit = 40) noexcept {
        if (limit > kMaxLimit) limit = kMaxLimit;
        char* w = text;
        *w++ = '\'';
        size_t n = s.size() < limit ? s.size() : limit;
        for (size_t i = 0; i < n; i++) {
            unsigned char c = static_cast<unsigned char>(s[i]);
            if (c < 0x20 || c >= 0x7f || c == '\'' || c == '\\') {
                std::snprintf(w, 5, "\\x%02x", c);
                w += 4;
            } else {
                *w++ = static_cast<char>(c);
            }
        }
        if (s.size() > limit) {
            memcpy(w, "...", 3);
            w += 3;
        }
        *w++ = '\'';
        *w = '\0';
    }
};

void char_message(unsigned char c, const char* where, Error& error) {
    error.set("invalid character %s in %s", Quoted(std::string_view(reinterpret_cast<const char*>(&c), 1)).text,
              where);
}

bool check_reg_name(std::string_view s, Error& error) {
    for (size_t i = 0; i < s.size(); i++) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (kClasses.c[c] & kRegName) continue;
        if (c == '%') {
            if (i + 2 < s.size() && is_hex(s[i + 1]) && is_hex(s[i + 2])) {
                i += 2;
                continue;
            }
            error.set("invalid percent-encoding in host %s", Quoted(s).text);
            return false;
        }
        char_message(c, "host", error);
        return false;
    }
    return true;
}

bool check_zone(std::string_view zone) {
    if (zone.empty()) return false;
    for (size_t i = 0; i < zone.size(); i++) {
        unsigned char c = static_cast<unsigned char>(zone[i]);
        if (is_unreserved(c)) continue;
        if (c == '%' && i + 2 < zone.size() && is_hex(zone[i + 1]) && is_hex(zone[i + 2])) {
            i += 2;
            continue;
        }
        return false;
    }
    return true;
}

// `inner` is what stands between the brackets.
bool check_ip_literal(std::string_view inner, Error& error) {
    auto fail = [&] {
        // The first bytes of "[" inner "]": one more than the message shows,
        // so that Quoted marks a longer literal as cut.
        char literal[Quoted::kMaxLimit + 1];
        size_t n = 0;
        literal[n++] = '[';
        for (size_t i = 0; i < inner.size() && n < sizeof literal; i++) literal[n++] = inner[i];
        if (n < sizeof literal) literal[n++] = ']';
        error.set("invalid IP literal %s in host", Quoted(std::string_view(literal, n), Quoted::kMaxLimit).text);
        return false;
    };
    if (inner.empty()) return fail();
    if (inner[0] == 'v' || inner[0] == 'V') {
        // IPvFuture: "v" 1*HEXDIG "." 1*( unreserved / sub-delims / ":" )
        size_t i = 1;
        while (i < inner.size() && is_hex(inner[i])) i++;
        if (i == 1 || i >= inner.size() || inner[i] != '.' || i + 1 == inner.size()) return fail();
        for (i++; i < inner.size(); i++) {
            unsigned char c = static_cast<unsigned char>(inner[i]);
            if (!is_unreserved(c) && !is_sub_delim(c) && c != ':') return fail();
        }
        return true;
    }
    std::string_view address = inner;
    size_t zone_at = inner.find("%25");
    if (zone_at != std::string_view::npos) {
        address = inner.substr(0, zone_at);
        if (!check_zone(inner.substr(zone_at + 3))) return fail();
    }
    char buf[INET6_ADDRSTRLEN + 1];
    if (address.empty() || address.size() >= sizeof buf) return fail();
    std::memcpy(buf, address.data(), address.size());
    buf[address.size()] = '\0';
    unsigned char out[16];
    if (inet_pton(AF_INET6, buf, out) != 1) return fail();
    return true;
}

bool parse_port(std::string_view text, int32_t& port, Error& error) {
    if (text.empty()) {  // "host:" is allowed and means no port
        port = 0;
        return true;
    }
    int32_t value = 0;
    for (char ch : text) {
        if (!is_digit(static_cast<unsigned char>(ch))) {
            error.set("invalid port %s (expected digits)", Quoted(text).text);
            return false;
        }
        if (value <= 65535) value = value * 10 + (ch - '0');
    }
    if (value < 1 || value > 65535) {
        error.set("port out of range %s (expected 1 to 65535)", Quoted(text).text);
        return false;
    }
    port = value;
    return true;
}

// host[:port] without userinfo; an empty host is left to the caller.
bool host_port(std::string_view s, Span& host, int32_t& port, bool& has_port, Error& error) {
    size_t host_end;
    size_t rest;
    if (!s.empty() && s[0] == '[') {
        size_t close = s.find(']');
        if (close == std::string_view::npos) {
            error.set("unterminated IP literal in host %s", Quoted(s).text);
            return false;
        }
        if (!check_ip_literal(s.substr(1, close - 1), error)) return false;
        host_end = close + 1;
        if (host_end < s.size() && s[host_end] != ':') {
            char_message(static_cast<unsigned char>(s[host_end]), "host after an IP literal", error);
            return false;
        }
        rest = host_end;
    } else {
        host_end = s.find(':');
        if (host_end == std::string_view::npos) host_end = s.size();
        if (!check_reg_name(s.substr(0, host_end), error)) return false;
        rest = host_end;
    }
    host = {0, static_cast<std::ptrdiff_t>(host_end)};
    has_port = rest < s.size();
    port = 0;
    if (has_port && !parse_port(s.substr(rest + 1), port, error)) return false;
    return true;
}

// Schemes whose URLs always name a host.
bool needs_host(std::string_view scheme) {
    return scheme_is(scheme, "http") || scheme_is(scheme, "https") || scheme_is(scheme, "ws") ||
           scheme_is(scheme, "wss");
}

// Offset of the first of the `k` bytes in `set` within s[from, n), or n.
// One memchr per byte, each bounded by the best match so far: vectorised
// scans instead of a byte loop.
inline std::ptrdiff_t find_any(std::string_view s, std::ptrdiff_t from, const char* set, int k) {
    const char* base = s.data();
    std::ptrdiff_t end = static_cast<std::ptrdiff_t>(s.size());
    for (int j = 0; j < k; j++) {
        if (end <= from) break;
        const void* hit = std::memchr(base + from, set[j], static_cast<size_t>(end - from));
        if (hit) end = static_cast<const char*>(hit) - base;
    }
    return end;
}

}  // namespace

bool scheme_is(std::string_view scheme, std::string_view lower_name) {
    if (scheme.size() != lower_name.size()) return false;
    for (size_t i = 0; i < scheme.size(); i++) {
        unsigned char c = static_cast<unsigned char>(scheme[i]);
        if (c >= 'A' && c <= 'Z') c |= 0x20;
        if (c != static_cast<unsigned char>(lower_name[i])) return false;
    }
    return true;
}

std::ptrdiff_t find_forbidden(std::string_view s) {
    // Eight bytes at a time: any byte below 0x21 or equal to 0x7f.  Bytes
    // from 0x80 up never trip the test, as they are allowed.
    constexpr uint64_t ones = 0x0101010101010101ULL, highs = 0x8080808080808080ULL;
    const char* p = s.data();
    size_t n = s.size(), i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t x;
        std::memcpy(&x, p + i, 8);
        uint64_t y = x ^ (ones * 0x7f);
        if (((x - ones * 0x21) & ~x & highs) | ((y - ones) & ~y & highs)) break;
    }
    for (; i < n; i++)
        if (has(p[i], kForbidden)) return static_cast<std::ptrdiff_t>(i);
    return -1;
}

void forbidden_message(std::string_view s, std::ptrdiff_t pos, const char* where, Error& error) {
    unsigned char c = static_cast<unsigned char>(s[static_cast<size_t>(pos)]);
    const char* name;
    char buf[8];
    switch (c) {
        case ' ': name = "space"; break;
        case '\t': name = "tab"; break;
        case '\r': name = "CR"; break;
        case '\n': name = "LF"; break;
        case 0x7f: name = "DEL"; break;
        default:
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            name = buf;
            break;
    }
    error.set("invalid character (%s) at position %td in %s", name, pos, where);
}

bool check_scheme(std::string_view s, Error& error) {
    if (s.empty()) {
        error.set("missing scheme");
        return false;
    }
    bool ok = is_alpha(static_cast<unsigned char>(s[0]));
    for (size_t i = 1; ok && i < s.size(); i++) ok = is_scheme_char(static_cast<unsigned char>(s[i]));
    if (!ok) error.set("invalid scheme %s", Quoted(s).text);
    return ok;
}

bool check_host(std::string_view s, Error& error) {
    std::ptrdiff_t bad = find_forbidden(s);
    if (bad >= 0) {
        forbidden_message(s, bad, "host", error);
        return false;
    }
    if (s.empty()) {
        error.set("missing host");
        return false;
    }
    if (s[0] == '[') {
        if (s.back() != ']') {
            error.set("unterminated IP literal in host %s", Quoted(s).text);
            return false;
        }
        return check_ip_literal(s.substr(1, s.size() - 2), error);
    }
    return check_reg_name(s, error);
}

bool split_host_port(std::string_view s, Span& host, int32_t& port, Error& error) {
    std::ptrdiff_t bad = find_forbidden(s);
    if (bad >= 0) {
        forbidden_message(s, bad, "host", error);
        return false;
    }
    bool has_port = false;
    if (!host_port(s, host, port, has_port, error)) return false;
    if (host.size() == 0) {
        error.set("missing host");
        return false;
    }
    return true;
}

bool split(std::string_view s, Mode mode, Parts& out, Error& error) {
    out = Parts{};
    const std::ptrdiff_t n = static_cast<std::ptrdiff_t>(s.size());
    std::ptrdiff_t bad = find_forbidden(s);
    if (bad >= 0) {
        forbidden_message(s, bad, "URL", error);
        return false;
    }
    std::ptrdiff_t i = 0;
    if (n > 0 && s[0] != '/') {
        std::ptrdiff_t j = 0;
        while (j < n && is_scheme_char(static_cast<unsigned char>(s[j]))) j++;
        if (j < n && s[j] == ':') {
            if (j == 0 || !is_alpha(static_cast<unsigned char>(s[0]))) {
                if (j == 0) error.set("missing scheme before ':'");
                else error.set("invalid scheme %s", Quoted(s.substr(0, j)).text);
                return false;
            }
            out.scheme = {0, j};
            i = j + 1;
        } else {
            // A ':' in the first segment of a reference can only end a scheme.
            std::ptrdiff_t k = j;
            while (k < n && s[k] != ':' && s[k] != '/' && s[k] != '?' && s[k] != '#') k++;
            if (k < n && s[k] == ':') {
                error.set("invalid scheme %s", Quoted(s.substr(0, k)).text);
                return false;
            }
        }
    }
    if ((out.scheme.defined() || mode == Mode::Reference) && n - i >= 2 && s[i] == '/' && s[i + 1] == '/') {
        std::ptrdiff_t a = i + 2, b = find_any(s, a, "/?#", 3);
        out.authority = {a, b};
        std::ptrdiff_t hp = a;
        std::ptrdiff_t at = -1;
        for (std::ptrdiff_t k = b - 1; k >= a; k--)
            if (s[k] == '@') {
                at = k;
                break;
            }
        if (at >= 0) {
            out.userinfo = {a, at};
            hp = at + 1;
        }
        Span host;
        bool has_port = false;
        if (!host_port(s.substr(hp, b - hp), host, out.port, has_port, error)) return false;
        out.host = {hp + host.start, hp + host.end};
        if (host.size() == 0) {
            bool allowed = !has_port && at < 0 && out.scheme.defined() && scheme_is(view(s, out.scheme), "file");
            if (!allowed) {
                error.set("missing host");
                return false;
            }
        }
        i = b;
    }
    std::ptrdiff_t p = find_any(s, i, "?#", 2);
    out.path = {i, p};
    if (p < n && s[p] == '?') {
        std::ptrdiff_t q = p + 1, e = find_any(s, q, "#", 1);
        out.query = {q, e};
        p = e;
    }
    if (p < n && s[p] == '#') out.fragment = {p + 1, n};
    if (out.scheme.defined() && !out.authority.defined() && needs_host(view(s, out.scheme))) {
        // The scheme and its ':' (the scheme never ends the input here).
        std::string_view prefix = s.substr(0, static_cast<size_t>(out.scheme.end) + 1);
        error.set("missing host (expected '//' after %s)", Quoted(prefix).text);
        return false;
    }
    return true;
}

bool remove_dot_segments(std::string_view in, Buffer& out) {
    // The output never outgrows the input: one reservation covers it, and
    // appends within it cannot fail.
    const size_t base = out.size();
    if (!out.reserve(base + in.size())) return false;
    auto pop_segment = [&out, base] {
        std::string_view done = out.view().substr(base);
        size_t slash = done.rfind('/');
        (void)out.resize(base + (slash == std::string_view::npos ? 0 : slash));
    };
    auto starts = [&in](std::string_view prefix) { return in.substr(0, prefix.size()) == prefix; };
    while (!in.empty()) {
        if (starts("../")) {
            in.remove_prefix(3);
        } else if (starts("./")) {
            in.remove_prefix(2);
        } else if (starts("/./")) {
            in.remove_prefix(2);
        } else if (in == "/.") {
            in = "/";
        } else if (starts("/../")) {
            in.remove_prefix(3);
            pop_segment();
        } else if (in == "/..") {
            in = "/";
            pop_segment();
        } else if (in == "." || in == "..") {
            in = {};
        } else {
            size_t end = in.find('/', in[0] == '/' ? 1 : 0);
            if (end == std::string_view::npos) end = in.size();
            (void)out.append(in.substr(0, end));
            in.remove_prefix(end);
        }
    }
    return true;
}

Components components_of(std::string_view s, const Parts& p) {
    Components c;
    c.has_scheme = p.scheme.defined();
    c.scheme = view(s, p.scheme);
    c.has_authority = p.authority.defined();
    c.authority = view(s, p.authority);
    c.path = view(s, p.path);
    c.has_query = p.query.defined();
    c.query = view(s, p.query);
    c.has_fragment = p.fragment.defined();
    c.fragment = view(s, p.fragment);
    return c;
}

bool resolve(const Components& base, const Components& ref, Buffer& storage, Components& t) {
    t = Components{};
    storage.clear();
    if (ref.has_scheme) {
        t = ref;
        if (!remove_dot_segments(ref.path, storage)) return false;
        t.path = storage.view();
        return true;
    }
    if (ref.has_authority) {
        t.has_authority = true;
        t.authority = ref.authority;
        if (!remove_dot_segments(ref.path, storage)) return false;
        t.path = storage.view();
        t.has_query = ref.has_query;
        t.query = ref.query;
    } else {
        if (ref.path.empty()) {
            t.path = base.path;
            t.has_query = ref.has_query || base.has_query;
            t.query = ref.has_query ? ref.query : base.query;
        } else {
            if (ref.path[0] == '/') {
                if (!remove_dot_segments(ref.path, storage)) return false;
            } else {
                Buffer merged;
                bool ok;
                if (base.has_authority && base.path.empty()) {
                    ok = merged.push_back('/');
                } else {
                    size_t slash = base.path.rfind('/');
                    ok = slash == std::string_view::npos || merged.append(base.path.substr(0, slash + 1));
                }
                if (!ok || !merged.append(ref.path) || !remove_dot_segments(merged.view(), storage)) return false;
            }
            t.path = storage.view();
            t.has_query = ref.has_query;
            t.query = ref.query;
        }
        t.has_authority = base.has_authority;
        t.authority = base.authority;
    }
    t.has_scheme = base.has_scheme;
    t.scheme = base.scheme;
    t.has_fragment = ref.has_fragment;
    t.fragment = ref.fragment;
    return true;
}

bool recompose(const Components& c, Buffer& out) {
    out.clear();
    if (!out.reserve(c.scheme.size() + c.authority.size() + c.path.size() + c.query.size() + c.fragment.size() + 8))
        return false;
    // Appends within the reservation cannot fail.
    if (c.has_scheme) {
        (void)out.append(c.scheme);
        (void)out.push_back(':');
    }
    if (c.has_authority) {
        (void)out.append(std::string_view("//"));
        (void)out.append(c.authority);
        if (!c.path.empty() && c.path[0] != '/') (void)out.push_back('/');
    } else if (c.path.substr(0, 2) == "//") {
        // Would read back as an authority after a scheme.
        if (c.has_scheme) (void)out.append(std::string_view("/."));
    } else if (!c.has_scheme && !c.path.empty() && c.path[0] != '/') {
        // Would read back as a scheme.
        std::string_view first = c.path.substr(0, c.path.find('/'));
        if (first.find(':') != std::string_view::npos) (void)out.append(std::string_view("./"));
    }
    (void)out.append(c.path);
    if (c.has_query) {
        (void)out.push_back('?');
        (void)out.append(c.query);
    }
    if (c.has_fragment) {
        (void)out.push_back('#');
        (void)out.append(c.fragment);
    }
    return true;
}

}  // namespace bw::url
