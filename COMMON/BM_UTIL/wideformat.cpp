#include "COMMON/BM_UTIL/wideformat.h"

#include <cstddef>

namespace {

// No width can make sense beyond the longest formatted string; clamping keeps the count small.
constexpr int32_t kMaxWidth = 20000;

class BoundedOutput {
public:
    BoundedOutput(char16_t* out, int32_t maxChars) : out_(out), max_(maxChars < 0 ? 0 : maxChars) {}

    // Appends one unit; false (and nothing written) once the limit is reached.
    bool Put(char16_t unit) {
        if (count_ >= max_) {
            overflow_ = true;
            return false;
        }
        out_[count_++] = unit;
        return true;
    }
    bool PutRepeated(char16_t unit, int32_t times) {
        for (int32_t i = 0; i < times; ++i) {
            if (!Put(unit)) {
                return false;
            }
        }
        return true;
    }
    bool Overflowed() const { return overflow_; }
    int32_t Count() const { return count_; }

private:
    char16_t* out_;
    int32_t max_;
    int32_t count_ = 0;
    bool overflow_ = false;
};

struct Conversion {
    bool leftAlign = false;
    bool zeroPad = false;
    int32_t width = 0;
};

// Writes `body` (length `len`) with an optional sign prefix, padded to the field width.
bool PutField(BoundedOutput& out, const Conversion& conv, const char16_t* body, int32_t len, char16_t sign,
              bool numeric) {
    const int32_t total = len + (sign ? 1 : 0);
    const int32_t pad = conv.width > total ? conv.width - total : 0;
    const bool zeros = numeric && conv.zeroPad && !conv.leftAlign;
    if (!conv.leftAlign && !zeros && !out.PutRepeated(u' ', pad)) {
        return false;
    }
    if (sign && !out.Put(sign)) {
        return false;
    }
    if (zeros && !out.PutRepeated(u'0', pad)) {
        return false;
    }
    for (int32_t i = 0; i < len; ++i) {
        if (!out.Put(body[i])) {
            return false;
        }
    }
    return !conv.leftAlign || out.PutRepeated(u' ', pad);
}

bool PutUnsigned(BoundedOutput& out, const Conversion& conv, unsigned long long value, unsigned base,
                 bool upper, char16_t sign) {
    char16_t digits[32];
    int32_t len = 0;
    const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    do {
        digits[len++] = static_cast<char16_t>(set[value % base]);
        value /= base;
    } while (value != 0 && len < 32);
    for (int32_t i = 0; i < len / 2; ++i) {
        const char16_t t = digits[i];
        digits[i] = digits[len - 1 - i];
        digits[len - 1 - i] = t;
    }
    return PutField(out, conv, digits, len, sign, true);
}

int32_t Length16(const char16_t* text) {
    int32_t n = 0;
    while (text[n] != 0) {
        ++n;
    }
    return n;
}

}  // namespace

int32_t FormatWideBounded(char16_t* out, int32_t maxChars, const char16_t* format, va_list args) {
    BoundedOutput result(out, maxChars);
    if (!format) {
        return 0;
    }
    const char16_t* p = format;
    while (*p && !result.Overflowed()) {
        if (*p != u'%') {
            result.Put(*p++);
            continue;
        }
        const char16_t* start = p++;
        Conversion conv;
        for (;; ++p) {
            if (*p == u'-') {
                conv.leftAlign = true;
            } else if (*p == u'0') {
                conv.zeroPad = true;
            } else {
                break;
            }
        }
        while (*p >= u'0' && *p <= u'9') {
            conv.width = conv.width * 10 + (*p - u'0');
            if (conv.width > kMaxWidth) {
                conv.width = kMaxWidth;
            }
            ++p;
        }
        int longs = 0;
        while (*p == u'h' || *p == u'l') {
            if (*p == u'l') {
                ++longs;
            }
            ++p;
        }
        switch (*p) {
            case u'%':
                result.Put(u'%');
                break;
            case u's': {
                const char16_t* text = va_arg(args, const char16_t*);
                if (!text) {
                    text = u"(null)";
                }
                PutField(result, conv, text, Length16(text), 0, false);
                break;
            }
            case u'c': {
                const char16_t unit = static_cast<char16_t>(va_arg(args, int));
                PutField(result, conv, &unit, 1, 0, false);
                break;
            }
            case u'd':
            case u'i': {
                long long value = longs >= 2   ? va_arg(args, long long)
                                  : longs == 1 ? va_arg(args, long)
                                               : va_arg(args, int);
                // Negate in unsigned arithmetic so the most negative value is printed correctly.
                const unsigned long long magnitude = value < 0 ? 0ULL - static_cast<unsigned long long>(value)
                                                               : static_cast<unsigned long long>(value);
                PutUnsigned(result, conv, magnitude, 10, false, value < 0 ? u'-' : 0);
                break;
            }
            case u'u':
            case u'x':
            case u'X': {
                unsigned long long value = longs >= 2   ? va_arg(args, unsigned long long)
                                           : longs == 1 ? va_arg(args, unsigned long)
                                                        : va_arg(args, unsigned int);
                PutUnsigned(result, conv, value, *p == u'u' ? 10 : 16, *p == u'X', 0);
                break;
            }
            default: {
                // Unknown or truncated conversion: copy it as written, consuming no argument.
                for (const char16_t* q = start; q < p; ++q) {
                    result.Put(*q);
                }
                if (*p == 0) {
                    return result.Overflowed() ? -1 : result.Count();
                }
                result.Put(*p);
                break;
            }
        }
        ++p;
    }
    return result.Overflowed() ? -1 : result.Count();
}
