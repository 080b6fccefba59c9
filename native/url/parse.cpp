// URL splitting, validation and reference resolution on raw bytes.
#include "parse.hpp"

#include <arpa/inet.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace bw::url {

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

// Quotes a piece of input for a message, cut to a readable length.
std::string quoted(std::string_view s, size_t limit = 40) {
    std::string out = "'";
    size_t n = s.size() < limit ? s.size() : limit;
    for (size_t i = 0; i < n; i++) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 0x20 || c >= 0x7f || c == '\'' || c == '\\') {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    if (s.size() > limit) out += "...";
    out += "'";
    return out;
}

std::string char_message(unsigned char c, const char* where) {
    return "invalid character " + quoted(std::string_view(reinterpret_cast<const char*>(&c), 1)) + " in " + where;
}

bool check_reg_name(std::string_view s, std::string& error) {
    for (size_t i = 0; i < s.size(); i++) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (kClasses.c[c] & kRegName) continue;
        if (c == '%') {
            if (i + 2 < s.size() && is_hex(s[i + 1]) && is_hex(s[i + 2])) {
                i += 2;
                continue;
            }
            error = "invalid percent-encoding in host " + quoted(s);
            return false;
        }
        error = char_message(c, "host");
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
bool check_ip_literal(std::string_view inner, std::string& error) {
    auto fail = [&] {
        std::string literal(1, '[');
        literal.append(inner);
        literal += ']';
        error = "invalid IP literal " + quoted(literal, 60) + " in host";
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

bool parse_port(std::string_view text, int32_t& port, std::string& error) {
    if (text.empty()) {  // "host:" is allowed and means no port
        port = 0;
        return true;
    }
    int32_t value = 0;
    for (char ch : text) {
        if (!is_digit(static_cast<unsigned char>(ch))) {
            error = "invalid port " + quoted(text) + " (expected digits)";
            return false;
        }
        if (value <= 65535) value = value * 10 + (ch - '0');
    }
    if (value < 1 || value > 65535) {
        error = "port out of range " + quoted(text) + " (expected 1 to 65535)";
        return false;
    }
    port = value;
    return true;
}

// host[:port] without userinfo; an empty host is left to the caller.
bool host_port(std::string_view s, Span& host, int32_t& port, bool& has_port, std::string& error) {
    size_t host_end;
    size_t rest;
    if (!s.empty() && s[0] == '[') {
        size_t close = s.find(']');
        if (close == std::string_view::npos) {
            error = "unterminated IP literal in host " + quoted(s);
            return false;
        }
        if (!check_ip_literal(s.substr(1, close - 1), error)) return false;
        host_end = close + 1;
        if (host_end < s.size() && s[host_end] != ':') {
            error = char_message(static_cast<unsigned char>(s[host_end]), "host after an IP literal");
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

std::string forbidden_message(std::string_view s, std::ptrdiff_t pos, const char* where) {
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
    char msg[160];
    std::snprintf(msg, sizeof msg, "invalid character (%s) at position %td in %s", name, pos, where);
    return msg;
}

bool check_scheme(std::string_view s, std::string& error) {
    if (s.empty()) {
        error = "missing scheme";
        return false;
    }
    bool ok = is_alpha(static_cast<unsigned char>(s[0]));
    for (size_t i = 1; ok && i < s.size(); i++) ok = is_scheme_char(static_cast<unsigned char>(s[i]));
    if (!ok) error = "invalid scheme " + quoted(s);
    return ok;
}

bool check_host(std::string_view s, std::string& error) {
    std::ptrdiff_t bad = find_forbidden(s);
    if (bad >= 0) {
        error = forbidden_message(s, bad, "host");
        return false;
    }
    if (s.empty()) {
        error = "missing host";
        return false;
    }
    if (s[0] == '[') {
        if (s.back() != ']') {
            error = "unterminated IP literal in host " + quoted(s);
            return false;
        }
        return check_ip_literal(s.substr(1, s.size() - 2), error);
    }
    return check_reg_name(s, error);
}

bool split_host_port(std::string_view s, Span& host, int32_t& port, std::string& error) {
    std::ptrdiff_t bad = find_forbidden(s);
    if (bad >= 0) {
        error = forbidden_message(s, bad, "host");
        return false;
    }
    bool has_port = false;
    if (!host_port(s, host, port, has_port, error)) return false;
    if (host.size() == 0) {
        error = "missing host";
        return false;
    }
    return true;
}

bool split(std::string_view s, Mode mode, Parts& out, std::string& error) {
    out = Parts{};
    const std::ptrdiff_t n = static_cast<std::ptrdiff_t>(s.size());
    std::ptrdiff_t bad = find_forbidden(s);
    if (bad >= 0) {
        error = forbidden_message(s, bad, "URL");
        return false;
    }
    std::ptrdiff_t i = 0;
    if (n > 0 && s[0] != '/') {
        std::ptrdiff_t j = 0;
        while (j < n && is_scheme_char(static_cast<unsigned char>(s[j]))) j++;
        if (j < n && s[j] == ':') {
            if (j == 0 || !is_alpha(static_cast<unsigned char>(s[0]))) {
                error = j == 0 ? "missing scheme before ':'" : "invalid scheme " + quoted(s.substr(0, j));
                return false;
            }
            out.scheme = {0, j};
            i = j + 1;
        } else {
            // A ':' in the first segment of a reference can only end a scheme.
            std::ptrdiff_t k = j;
            while (k < n && s[k] != ':' && s[k] != '/' && s[k] != '?' && s[k] != '#') k++;
            if (k < n && s[k] == ':') {
                error = "invalid scheme " + quoted(s.substr(0, k));
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
                error = "missing host";
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
        std::string prefix(view(s, out.scheme));
        prefix += ':';
        error = "missing host (expected '//' after " + quoted(prefix) + ")";
        return false;
    }
    return true;
}

std::string remove_dot_segments(std::string_view in) {
    std::string out;
    out.reserve(in.size());
    auto pop_segment = [&out] {
        size_t slash = out.rfind('/');
        out.erase(slash == std::string::npos ? 0 : slash);
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
            out.append(in.substr(0, end));
            in.remove_prefix(end);
        }
    }
    return out;
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

Components resolve(const Components& base, const Components& ref, std::string& storage) {
    Components t;
    if (ref.has_scheme) {
        t = ref;
        storage = remove_dot_segments(ref.path);
        t.path = storage;
        return t;
    }
    if (ref.has_authority) {
        t.has_authority = true;
        t.authority = ref.authority;
        storage = remove_dot_segments(ref.path);
        t.path = storage;
        t.has_query = ref.has_query;
        t.query = ref.query;
    } else {
        if (ref.path.empty()) {
            t.path = base.path;
            t.has_query = ref.has_query || base.has_query;
            t.query = ref.has_query ? ref.query : base.query;
        } else {
            if (ref.path[0] == '/') {
                storage = remove_dot_segments(ref.path);
            } else {
                std::string merged;
                if (base.has_authority && base.path.empty()) {
                    merged = "/";
                } else {
                    size_t slash = base.path.rfind('/');
                    if (slash != std::string_view::npos) merged.assign(base.path.substr(0, slash + 1));
                }
                merged.append(ref.path);
                storage = remove_dot_segments(merged);
            }
            t.path = storage;
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
    return t;
}

std::string recompose(const Components& c) {
    std::string out;
    out.reserve(c.scheme.size() + c.authority.size() + c.path.size() + c.query.size() + c.fragment.size() + 8);
    if (c.has_scheme) {
        out.append(c.scheme);
        out += ':';
    }
    if (c.has_authority) {
        out += "//";
        out.append(c.authority);
        if (!c.path.empty() && c.path[0] != '/') out += '/';
    } else if (c.path.substr(0, 2) == "//") {
        // Would read back as an authority after a scheme.
        if (c.has_scheme) out += "/.";
    } else if (!c.has_scheme && !c.path.empty() && c.path[0] != '/') {
        // Would read back as a scheme.
        std::string_view first = c.path.substr(0, c.path.find('/'));
        if (first.find(':') != std::string_view::npos) out += "./";
    }
    out.append(c.path);
    if (c.has_query) {
        out += '?';
        out.append(c.query);
    }
    if (c.has_fragment) {
        out += '#';
        out.append(c.fragment);
    }
    return out;
}

}  // namespace bw::url
