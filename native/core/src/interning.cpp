// Interning tables (declared in fast_parse.h): fixed sets of header names,
// methods and content types, each a shared Python object found by an
// allocation-free hash lookup.  The tables live in the core state
// (core_state.hpp); this file holds their contents and the lookups.
#define BRINDLEWICK_CORE_BUILD
#include <cstdint>
#include <cstring>

#include "brindlewick/fast_parse.h"
#include "core_state.hpp"

namespace {

// Lower-case names first; the capitalised spellings let names added by
// applications in their usual form share an object too.
const char* const kHeaderNames[] = {
    "accept", "accept-charset", "accept-encoding", "accept-language", "accept-ranges",
    "access-control-allow-credentials", "access-control-allow-headers", "access-control-allow-methods",
    "access-control-allow-origin", "access-control-expose-headers", "access-control-max-age",
    "access-control-request-headers", "access-control-request-method", "age", "allow", "authorization",
    "cache-control", "connection", "content-disposition", "content-encoding", "content-language",
    "content-length", "content-location", "content-range", "content-security-policy", "content-type", "cookie",
    "date", "dnt", "etag", "expect", "expires", "forwarded", "from", "host", "if-match", "if-modified-since",
    "if-none-match", "if-range", "if-unmodified-since", "keep-alive", "last-modified", "link", "location",
    "max-forwards", "origin", "pragma", "priority", "proxy-authenticate", "proxy-authorization", "range",
    "referer", "referrer-policy", "retry-after", "sec-ch-ua", "sec-ch-ua-mobile", "sec-ch-ua-platform",
    "sec-fetch-dest", "sec-fetch-mode", "sec-fetch-site", "sec-fetch-user", "sec-websocket-accept",
    "sec-websocket-extensions", "sec-websocket-key", "sec-websocket-protocol", "sec-websocket-version",
    "server", "set-cookie", "strict-transport-security", "te", "trailer", "transfer-encoding", "upgrade",
    "upgrade-insecure-requests", "user-agent", "vary", "via", "www-authenticate", "x-content-type-options",
    "x-forwarded-for", "x-forwarded-host", "x-forwarded-port", "x-forwarded-proto", "x-frame-options",
    "x-real-ip", "x-request-id", "x-requested-with", "x-xss-protection",
    // Usual capitalised spellings.
    "Accept", "Accept-Encoding", "Accept-Language", "Access-Control-Allow-Origin", "Authorization",
    "Cache-Control", "Connection", "Content-Disposition", "Content-Encoding", "Content-Length", "Content-Type",
    "Cookie", "Date", "ETag", "Expires", "Host", "Last-Modified", "Location", "Origin", "Referer", "Server",
    "Set-Cookie", "Transfer-Encoding", "User-Agent", "Vary", "X-Forwarded-For", "X-Forwarded-Host",
    "X-Forwarded-Proto", "X-Requested-With",
};

const char* const kMethods[] = {"GET", "HEAD", "POST", "PUT", "DELETE", "CONNECT", "OPTIONS", "TRACE", "PATCH"};

const char* const kContentTypes[] = {
    "text/plain", "text/plain; charset=utf-8", "text/html", "text/html; charset=utf-8", "text/css",
    "text/css; charset=utf-8", "text/csv", "text/javascript", "text/event-stream", "text/xml",
    "application/json", "application/json; charset=utf-8", "application/problem+json",
    "application/javascript", "application/xml", "application/octet-stream",
    "application/x-www-form-urlencoded", "application/pdf", "application/zip", "multipart/form-data",
    "image/png", "image/jpeg", "image/gif", "image/svg+xml", "image/webp", "image/x-icon",
};

template <size_t N, size_t Capacity>
bool fill(bw::core::InternTable<Capacity>& table, const char* const (&texts)[N], bool as_str) {
    static_assert(N * 2 <= Capacity, "interning table too small");
    for (const char* text : texts) {
        PyObject* object = as_str ? PyUnicode_InternFromString(text) : PyBytes_FromString(text);
        if (!object) return false;
        table.insert(text, object);
    }
    return true;
}

}  // namespace

int bw::core::init_interning() noexcept {
    if (state.interning_ready) return 0;
    if (!fill(state.header_names, kHeaderNames, false) || !fill(state.methods, kMethods, true) ||
        !fill(state.content_types, kContentTypes, false))
        return -1;
    state.interning_ready = true;
    return 0;
}

extern "C" {

PyObject* get_interned_header_name_bytes(const char* data, Py_ssize_t length) {
    return bw::core::state.header_names.find(data, length);
}

PyObject* get_interned_method_str(const char* data, Py_ssize_t length) {
    return bw::core::state.methods.find(data, length);
}

PyObject* get_interned_content_type_bytes(const char* data, Py_ssize_t length) {
    return bw::core::state.content_types.find(data, length);
}

}  // extern "C"
