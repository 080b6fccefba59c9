// Cookie dates: IMF-fixdate output and the lenient cookie-date reading of
// RFC 6265 (which also covers the RFC 850 and asctime forms).
#include <Python.h>
#include <datetime.h>

#include <cstring>

#include "brindlewick/args.hpp"
#include "brindlewick/pyref.hpp"
#include "cookies.hpp"
#include "dates.hpp"

namespace bw::cookies {

namespace {

const char kWeekdays[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char kMonths[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

constexpr int64_t floor_div(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

// Days since 1970-01-01 of a proleptic Gregorian date, and back (the
// era-based conversion: exact for every year, no tables).
constexpr int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = floor_div(y, 400);
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

constexpr void civil_from_days(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const int64_t era = floor_div(z, 146097);
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<int64_t>(yoe) + era * 400 + (m <= 2);
}

static_assert(days_from_civil(1970, 1, 1) == 0);
static_assert(days_from_civil(2000, 3, 1) == 11017);

constexpr bool is_leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int days_in_month(int y, int m) {
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && is_leap(y) ? 29 : kDays[m - 1];
}

void put2(char* out, unsigned v) {
    out[0] = static_cast<char>('0' + v / 10);
    out[1] = static_cast<char>('0' + v % 10);
}

// ---- lenient reading ---------------------------------------------------------

bool is_date_delimiter(unsigned char c) {
    return c == 0x09 || (c >= 0x20 && c <= 0x2F) || (c >= 0x3B && c <= 0x40) || (c >= 0x5B && c <= 0x60) ||
           (c >= 0x7B && c <= 0x7E);
}

bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

// Reads between `min` and `max` digits at `i`; the digits must not run on
// past `max`.  Advances `i`.
bool read_digits(const unsigned char* tok, size_t len, size_t& i, int min, int max, int& value) {
    int count = 0;
    value = 0;
    while (i < len && is_digit(tok[i]) && count < max) {
        value = value * 10 + (tok[i] - '0');
        i++;
        count++;
    }
    if (count < min) return false;
    return i >= len || !is_digit(tok[i]);
}

bool match_time(const unsigned char* tok, size_t len, int& h, int& m, int& s) {
    size_t i = 0;
    if (!read_digits(tok, len, i, 1, 2, h) || i >= len || tok[i] != ':') return false;
    i++;
    if (!read_digits(tok, len, i, 1, 2, m) || i >= len || tok[i] != ':') return false;
    i++;
    return read_digits(tok, len, i, 1, 2, s);
}

int match_month(const unsigned char* tok, size_t len) {
    if (len < 3) return 0;
    for (int m = 0; m < 12; m++) {
        bool same = true;
        for (int k = 0; k < 3 && same; k++) same = (tok[k] | 0x20) == (kMonths[m][k] | 0x20);
        if (same) return m + 1;
    }
    return 0;
}

}  // namespace

int init_datetime() {
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) return -1;
    PyObject* name = PyUnicode_InternFromString("utcoffset");
    if (!name) return -1;
    Py_XSETREF(state.str_utcoffset, name);
    return 0;
}

bool is_datetime(PyObject* obj) { return PyDateTime_Check(obj); }

bool utc_instant(PyObject* dt, int64_t* seconds, int* microseconds) {
    int64_t days = days_from_civil(PyDateTime_GET_YEAR(dt), PyDateTime_GET_MONTH(dt), PyDateTime_GET_DAY(dt));
    int64_t secs = days * 86400 + PyDateTime_DATE_GET_HOUR(dt) * 3600 + PyDateTime_DATE_GET_MINUTE(dt) * 60 +
                   PyDateTime_DATE_GET_SECOND(dt);
    int64_t micro = PyDateTime_DATE_GET_MICROSECOND(dt);
    PyObject* tzinfo = PyDateTime_DATE_GET_TZINFO(dt);  // borrowed
    if (tzinfo != Py_None && tzinfo != PyDateTime_TimeZone_UTC) {
        // dt.utcoffset() asks the tzinfo and checks what it answers (the
        // caller owns `dt`: the tzinfo may drop every other reference).
        Ref offset = Ref::steal(PyObject_CallMethodNoArgs(dt, state.str_utcoffset));
        if (!offset) return false;
        if (offset.get() != Py_None) {
            if (!PyDelta_Check(offset.get())) {
                args::raise_expected("datetime.timedelta", offset.get());
                return false;
            }
            secs -= static_cast<int64_t>(PyDateTime_DELTA_GET_DAYS(offset.get())) * 86400 +
                    PyDateTime_DELTA_GET_SECONDS(offset.get());
            micro -= PyDateTime_DELTA_GET_MICROSECONDS(offset.get());
            if (micro < 0) {
                micro += 1000000;
                secs -= 1;
            }
        }
    }
    *seconds = secs;
    *microseconds = static_cast<int>(micro);
    return true;
}

bool format_cookie_date(PyObject* dt, char out[kCookieDateLength]) {
    int64_t secs;
    int micro;
    if (!utc_instant(dt, &secs, &micro)) return false;
    int64_t days = floor_div(secs, 86400);
    auto sod = static_cast<unsigned>(secs - days * 86400);
    int64_t year;
    unsigned month, day;
    civil_from_days(days, year, month, day);
    if (year < 1 || year > 9999) {
        PyErr_Format(PyExc_ValueError, "date out of range for a cookie once converted to UTC (year %lld)",
                     static_cast<long long>(year));
        return false;
    }
    auto weekday = static_cast<unsigned>(((days % 7) + 7 + 4) % 7);  // 1970-01-01 was a Thursday
    // "Sun, 06 Nov 1994 08:49:37 GMT"
    memcpy(out, kWeekdays[weekday], 3);
    out[3] = ',';
    out[4] = ' ';
    put2(out + 5, day);
    out[7] = ' ';
    memcpy(out + 8, kMonths[month - 1], 3);
    out[11] = ' ';
    put2(out + 12, static_cast<unsigned>(year / 100));
    put2(out + 14, static_cast<unsigned>(year % 100));
    out[16] = ' ';
    put2(out + 17, sod / 3600);
    out[19] = ':';
    put2(out + 20, sod / 60 % 60);
    out[22] = ':';
    put2(out + 23, sod % 60);
    memcpy(out + 25, " GMT", 4);
    return true;
}

PyObject* parse_cookie_date(const char* data, size_t length) {
    const auto* p = reinterpret_cast<const unsigned char*>(data);
    bool have_time = false, have_day = false, have_month = false, have_year = false;
    int hour = 0, minute = 0, second = 0, day = 0, month = 0, year = 0, year_digits = 0;
    size_t i = 0;
    while (i < length) {
        while (i < length && is_date_delimiter(p[i])) i++;
        size_t start = i;
        while (i < length && !is_date_delimiter(p[i])) i++;
        if (i == start) break;
        const unsigned char* tok = p + start;
        size_t len = i - start;
        size_t k = 0;
        int value;
        if (!have_time && match_time(tok, len, hour, minute, second)) {
            have_time = true;
        } else if (!have_day && (k = 0, read_digits(tok, len, k, 1, 2, value))) {
            have_day = true;
            day = value;
        } else if (!have_month && (month = match_month(tok, len)) != 0) {
            have_month = true;
        } else if (!have_year && (k = 0, read_digits(tok, len, k, 2, 4, value))) {
            have_year = true;
            year = value;
            year_digits = static_cast<int>(k);
        }
    }
    // Two-digit years are 1970 to 2069.  Longer years are taken as written,
    // which is how every date this module writes reads back, old ones too.
    if (have_year && year_digits == 2) year += year >= 70 ? 1900 : 2000;
    if (!have_time || !have_day || !have_month || !have_year || year < 1 || day < 1 ||
        day > days_in_month(year, month) || hour > 23 || minute > 59 || second > 59) {
        return Py_NewRef(Py_None);
    }
    return PyDateTimeAPI->DateTime_FromDateAndTime(year, month, day, hour, minute, second, 0,
                                                   PyDateTime_TimeZone_UTC, PyDateTimeAPI->DateTimeType);
}

PyObject* datetime_to_cookie_format(PyObject* value) {
    if (!PyDateTime_Check(value)) {
        args::raise_arg_type("dt", "datetime.datetime", value);
        return nullptr;
    }
    char out[kCookieDateLength];
    if (!format_cookie_date(value, out)) return nullptr;
    return PyBytes_FromStringAndSize(out, kCookieDateLength);
}

}  // namespace bw::cookies
