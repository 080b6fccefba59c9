// URL splitting and validation on raw bytes, independent of Python objects.
//
// Two reading modes:
//   Target     what `URL(value)` accepts: an absolute URL or an HTTP request
//              target.  A value that starts with '/' is origin-form, so
//              "//a/b" is the path "//a/b", never a host "a".
//   Reference  an RFC 3986 URI reference as given to `join()`: a leading
//              "//" starts an authority (network-path reference).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "brindlewick/buffer.hpp"

namespace bw::url {

// The text of a parse error, written in place (nothing here allocates).
struct Error {
    char text[512];  // written by set() before any use; not cleared up front (parsing is hot)
    [[gnu::format(printf, 2, 3)]] void set(const char* format, ...) noexcept;
};

struct Span {
    std::ptrdiff_t start = -1;
    std::ptrdiff_t end = -1;
    bool defined() const { return start >= 0; }
    std::ptrdiff_t size() const { return end - start; }
};

struct Parts {
    Span scheme;     // without ':'
    Span authority;  // between "//" and the path
    Span userinfo;   // without '@'
    Span host;       // brackets kept for IP literals
    Span path;       // always defined, may be empty
    Span query;      // without '?'
    Span fragment;   // without '#'
    int32_t port = 0;  // 0 when absent
};

enum class Mode { Target, Reference };

// Splits and validates `s`; on failure returns false with a message naming
// the problem in `error`.
bool split(std::string_view s, Mode mode, Parts& out, Error& error);

// Parses "host[:port]" as found in an authority (no userinfo); `host` and
// `port` are filled relative to `s`.  Used on its own for values that must
// be exactly an authority, such as a Host header.
bool split_host_port(std::string_view s, Span& host, int32_t& port, Error& error);

// Whether `s` is a well-formed host: a registered name, an IPv4 address or a
// bracketed IP literal.  An empty host is refused.
bool check_host(std::string_view s, Error& error);

// Whether `s` is a well-formed scheme name.
bool check_scheme(std::string_view s, Error& error);

// First byte that may never appear in a URL (controls, space, DEL), or -1.
std::ptrdiff_t find_forbidden(std::string_view s);

// Describes the forbidden byte at `pos` of `s` for an error message.
void forbidden_message(std::string_view s, std::ptrdiff_t pos, const char* where, Error& error);

// Scheme names compared without regard to ASCII case.
bool scheme_is(std::string_view scheme, std::string_view lower_name);

// RFC 3986 section 5.2.4, appending to `out`; false with MemoryError set.
bool remove_dot_segments(std::string_view path, Buffer& out);

// Components of a URI reference for resolution and recomposition.  Views
// point into storage owned by the caller.
struct Components {
    bool has_scheme = false, has_authority = false, has_query = false, has_fragment = false;
    std::string_view scheme, authority, path, query, fragment;
};

inline std::string_view view(std::string_view s, Span sp) {
    return sp.defined() ? s.substr(static_cast<size_t>(sp.start), static_cast<size_t>(sp.size())) : std::string_view{};
}

Components components_of(std::string_view s, const Parts& p);

// RFC 3986 section 5.2.2 (strict): resolves `ref` against `base` into
// `target`.  Path text produced on the way is kept in `storage` (which must
// outlive `target`).  False with MemoryError set.
bool resolve(const Components& base, const Components& ref, Buffer& storage, Components& target);

// Recomposes a reference (section 5.3) into `out`, guarding paths that would
// otherwise read back as an authority or a scheme.  False with MemoryError set.
bool recompose(const Components& c, Buffer& out);

}  // namespace bw::url
