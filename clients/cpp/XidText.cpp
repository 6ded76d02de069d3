// The tools' XID reader (see XidText.h). Plain parsing over the text; no
// allocation, no state.
#include "XidText.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace morvalen {

namespace {

constexpr size_t kPartMax = 64;  // MAXGTRIDSIZE and MAXBQUALSIZE

int hexDigit(char ch) {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    return -1;
}

bool hexPrefixed(const char* begin, const char* end) {
    return end - begin >= 2 && begin[0] == '0' && (begin[1] == 'x' || begin[1] == 'X');
}

// Hexadecimal bytes in [begin, end) into out: their count, or -1.
int readHex(const char* begin, const char* end, uint8_t* out) {
    size_t n = static_cast<size_t>(end - begin);
    if (n % 2 != 0 || n / 2 > kPartMax) return -1;
    for (size_t i = 0; i < n / 2; ++i) {
        int hi = hexDigit(begin[2 * i]);
        int lo = hexDigit(begin[2 * i + 1]);
        if (hi < 0 || lo < 0) return -1;
        out[i] = static_cast<uint8_t>(hi * 16 + lo);
    }
    return static_cast<int>(n / 2);
}

// One part of GTRID[:BQUAL]: hexadecimal after "0x", text otherwise.
int readPart(const char* begin, const char* end, uint8_t* out) {
    if (hexPrefixed(begin, end)) return readHex(begin + 2, end, out);
    size_t n = static_cast<size_t>(end - begin);
    if (n > kPartMax) return -1;
    std::memcpy(out, begin, n);
    return static_cast<int>(n);
}

// One part of FORMAT:GTRID:BQUAL: hexadecimal, "0x" optional.
int readHexPart(const char* begin, const char* end, uint8_t* out) {
    return hexPrefixed(begin, end) ? readHex(begin + 2, end, out) : readHex(begin, end, out);
}

// A decimal number, optionally negative, of at most ten digits, in [begin, end).
bool readDecimal(const char* begin, const char* end, int64_t* out) {
    bool negative = begin < end && *begin == '-';
    const char* at = negative ? begin + 1 : begin;
    if (at == end || end - at > 10) return false;
    int64_t value = 0;
    for (; at < end; ++at) {
        if (*at < '0' || *at > '9') return false;
        value = value * 10 + (*at - '0');
    }
    *out = negative ? -value : value;
    return true;
}

bool fill(int32_t formatId, const uint8_t* gtrid, int g, const uint8_t* bqual, int b, XID* out) {
    if (g < 0 || b < 0) return false;
    out->formatID = formatId;
    out->gtrid_length = g;
    out->bqual_length = b;
    std::memcpy(out->data, gtrid, static_cast<size_t>(g));
    std::memcpy(out->data + g, bqual, static_cast<size_t>(b));
    return true;
}

}  // namespace

bool xidParseText(const char* text, int32_t defaultFormatId, XID* out) noexcept {
    *out = XID{};
    out->formatID = -1;
    if (text == nullptr) return false;
    const char* end = text + std::strlen(text);
    const char* first = std::strchr(text, ':');
    const char* second = first != nullptr ? std::strchr(first + 1, ':') : nullptr;
    bool threeParts = second != nullptr && std::strchr(second + 1, ':') == nullptr;
    int64_t format = 0;
    uint8_t gtrid[kPartMax];
    uint8_t bqual[kPartMax];
    XID parsed{};
    bool ok = false;
    if (threeParts && readDecimal(text, first, &format)) {
        if (format == -1 || format < INT32_MIN || format > INT32_MAX) return false;
        ok = fill(static_cast<int32_t>(format), gtrid, readHexPart(first + 1, second, gtrid), bqual,
                  readHexPart(second + 1, end, bqual), &parsed);
    } else {
        if (defaultFormatId == -1) return false;
        const char* gtridEnd = first != nullptr ? first : end;
        ok = fill(defaultFormatId, gtrid, readPart(text, gtridEnd, gtrid), bqual,
                  first != nullptr ? readPart(first + 1, end, bqual) : 0, &parsed);
    }
    if (ok) *out = parsed;
    return ok;
}

}  // namespace morvalen
