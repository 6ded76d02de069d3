// Encoding helpers for the messages between the coordinator's libraries and
// dtcd (see Wire.h for the frame layout). No state; safe from any thread.
#include "Wire.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cstdlib>
#include <cstring>

namespace dtcwire {

namespace {

template <typename T>
void putRaw(Writer& w, T v) {
    w.bytes.append(reinterpret_cast<const char*>(&v), sizeof v);
}

template <typename T>
T getRaw(Reader& r) {
    T v{};
    getBytes(r, &v, sizeof v);
    return v;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

constexpr char kWhereaboutsMagic[4] = {'D', 'T', 'C', 'W'};
constexpr char kCookieMagic[4] = {'D', 'T', 'C', 'K'};

} // namespace

void putU8(Writer& w, uint8_t v) { putRaw(w, v); }
void putU16(Writer& w, uint16_t v) { putRaw(w, v); }
void putI32(Writer& w, int32_t v) { putRaw(w, v); }
void putU32(Writer& w, uint32_t v) { putRaw(w, v); }
void putU64(Writer& w, uint64_t v) { putRaw(w, v); }
void putBytes(Writer& w, const void* data, size_t size) { w.bytes.append(static_cast<const char*>(data), size); }

Reader reader(std::string_view body) {
    Reader r;
    r.data = reinterpret_cast<const uint8_t*>(body.data());
    r.size = body.size();
    return r;
}

void getBytes(Reader& r, void* out, size_t size) {
    if (r.bad || r.size - r.pos < size) {
        r.bad = true;
        std::memset(out, 0, size);
        return;
    }
    std::memcpy(out, r.data + r.pos, size);
    r.pos += size;
}

uint8_t getU8(Reader& r) { return getRaw<uint8_t>(r); }
uint16_t getU16(Reader& r) { return getRaw<uint16_t>(r); }
int32_t getI32(Reader& r) { return getRaw<int32_t>(r); }
uint32_t getU32(Reader& r) { return getRaw<uint32_t>(r); }
uint64_t getU64(Reader& r) { return getRaw<uint64_t>(r); }

std::string requestFrame(uint32_t id, uint16_t op, std::string_view body) {
    Writer w;
    w.bytes.reserve(kRequestHeader + body.size());
    putU32(w, static_cast<uint32_t>(8 + body.size()));
    putU32(w, id);
    putU16(w, op);
    putU16(w, 0);
    w.bytes.append(body);
    return std::move(w.bytes);
}

std::string replyFrame(uint32_t id, int32_t result, std::string_view body) {
    Writer w;
    w.bytes.reserve(kReplyHeader + body.size());
    putU32(w, static_cast<uint32_t>(8 + body.size()));
    putU32(w, id);
    putI32(w, result);
    w.bytes.append(body);
    return std::move(w.bytes);
}

bool xidValid(const XID& xid) {
    return xid.formatID != -1 && xid.gtrid_length >= 1 && xid.gtrid_length <= MAXGTRIDSIZE &&
           xid.bqual_length >= 0 && xid.bqual_length <= MAXBQUALSIZE;
}

XID xidCanonical(const XID& xid) {
    XID out{};
    out.formatID = xid.formatID;
    out.gtrid_length = xid.gtrid_length;
    out.bqual_length = xid.bqual_length;
    std::memcpy(out.data, xid.data, static_cast<size_t>(xid.gtrid_length + xid.bqual_length));
    return out;
}

std::string xidKey(const XID& xid) {
    std::string key(reinterpret_cast<const char*>(&xid), 12);
    key.append(xid.data, static_cast<size_t>(xid.gtrid_length + xid.bqual_length));
    return key;
}

std::string xidText(const XID& xid) {
    std::string text = std::to_string(xid.formatID) + ":";
    text += hexEncode(xid.data, static_cast<size_t>(xid.gtrid_length));
    text += ":";
    text += hexEncode(xid.data + xid.gtrid_length, static_cast<size_t>(xid.bqual_length));
    return text;
}

bool parseXid(std::string_view text, XID* out) {
    *out = XID{};
    size_t first = text.find(':');
    if (first == std::string_view::npos) return false;
    size_t second = text.find(':', first + 1);
    if (second == std::string_view::npos) return false;
    std::string format(text.substr(0, first));
    char* end = nullptr;
    long value = std::strtol(format.c_str(), &end, 10);
    if (format.empty() || *end != '\0' || value < INT32_MIN || value > INT32_MAX) return false;
    std::string gtrid;
    std::string bqual;
    if (!hexDecode(text.substr(first + 1, second - first - 1), &gtrid)) return false;
    if (!hexDecode(text.substr(second + 1), &bqual)) return false;
    XID xid{};
    xid.formatID = static_cast<int32_t>(value);
    xid.gtrid_length = static_cast<int32_t>(gtrid.size());
    xid.bqual_length = static_cast<int32_t>(bqual.size());
    if (!xidValid(xid)) return false;
    std::memcpy(xid.data, gtrid.data(), gtrid.size());
    std::memcpy(xid.data + gtrid.size(), bqual.data(), bqual.size());
    *out = xid;
    return true;
}

bool normalizeGuid(std::string_view text, std::string* out) {
    out->clear();
    if (text.size() != kGuidText) return false;
    std::string norm(text);
    for (size_t i = 0; i < norm.size(); ++i) {
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash) {
            if (norm[i] != '-') return false;
            continue;
        }
        if (hexValue(norm[i]) < 0) return false;
        if (norm[i] >= 'a' && norm[i] <= 'f') norm[i] = static_cast<char>(norm[i] - 'a' + 'A');
    }
    *out = std::move(norm);
    return true;
}

std::string hexEncode(const void* data, size_t size) {
    static const char digits[] = "0123456789abcdef";
    const auto* bytes = static_cast<const uint8_t*>(data);
    std::string out;
    out.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        out.push_back(digits[bytes[i] >> 4]);
        out.push_back(digits[bytes[i] & 15]);
    }
    return out;
}

bool hexDecode(std::string_view text, std::string* out) {
    out->clear();
    if (text.size() % 2 != 0) return false;
    std::string bytes;
    bytes.reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) {
        int hi = hexValue(text[i]);
        int lo = hexValue(text[i + 1]);
        if (hi < 0 || lo < 0) return false;
        bytes.push_back(static_cast<char>(hi * 16 + lo));
    }
    *out = std::move(bytes);
    return true;
}

std::string makeWhereabouts(const uint8_t* instance) {
    std::string out(kWhereaboutsMagic, 4);
    out.append(reinterpret_cast<const char*>(instance), kIdSize);
    return out;
}

std::string makeCookie(const uint8_t* instance, const uint8_t* uow, const uint8_t* token) {
    std::string out(kCookieMagic, 4);
    out.append(reinterpret_cast<const char*>(instance), kIdSize);
    out.append(reinterpret_cast<const char*>(uow), kIdSize);
    out.append(reinterpret_cast<const char*>(token), kIdSize);
    return out;
}

bool splitCookie(std::string_view cookie, uint8_t* instance, uint8_t* uow, uint8_t* token) {
    if (cookie.size() != kCookieSize || std::memcmp(cookie.data(), kCookieMagic, 4) != 0) return false;
    std::memcpy(instance, cookie.data() + 4, kIdSize);
    std::memcpy(uow, cookie.data() + 4 + kIdSize, kIdSize);
    std::memcpy(token, cookie.data() + 4 + 2 * kIdSize, kIdSize);
    return true;
}

bool socketAddress(void* addr, uint32_t* length, std::string* name) {
    const char* env = std::getenv("DTCD_SOCKET");
    std::string text = env != nullptr && env[0] != '\0' ? env : "@dtcd";
    *name = text;
    auto* un = static_cast<sockaddr_un*>(addr);
    std::memset(un, 0, sizeof *un);
    un->sun_family = AF_UNIX;
    *length = 0;
    if (text.size() >= sizeof un->sun_path) return false;
    std::memcpy(un->sun_path, text.data(), text.size());
    if (text[0] == '@') {
        un->sun_path[0] = '\0'; // abstract: the name's bytes follow the leading zero
        *length = static_cast<uint32_t>(offsetof(sockaddr_un, sun_path) + text.size());
    } else {
        *length = static_cast<uint32_t>(sizeof *un);
    }
    return true;
}

} // namespace dtcwire
