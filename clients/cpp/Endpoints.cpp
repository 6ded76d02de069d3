// Parsing and printing of endpoint lists. Nothing here allocates: an entry is
// read straight from the caller's text into a fixed record.
#include "Endpoints.h"

#include <cstdio>
#include <cstring>

namespace morvalen {
namespace {

bool isBlank(char ch) { return ch == ' ' || ch == '\t'; }

// Digits only, 1..65535.
bool parsePort(const char* begin, const char* end, uint16_t* out) {
    if (begin == end || end - begin > 5) {
        return false;
    }
    uint32_t value = 0;
    for (const char* at = begin; at < end; ++at) {
        if (*at < '0' || *at > '9') {
            return false;
        }
        value = value * 10 + static_cast<uint32_t>(*at - '0');
    }
    if (value == 0 || value > 65535) {
        return false;
    }
    *out = static_cast<uint16_t>(value);
    return true;
}

}  // namespace

bool endpointNext(const char** cursor, uint16_t defaultPort, ClientEndpoint* out) {
    *out = ClientEndpoint{};
    const char* begin = *cursor;
    const char* end = std::strchr(begin, ',');
    *cursor = end != nullptr ? end + 1 : nullptr;
    if (end == nullptr) {
        end = begin + std::strlen(begin);
    }
    while (begin < end && isBlank(*begin)) ++begin;
    while (end > begin && isBlank(end[-1])) --end;

    const char* hostBegin = begin;
    const char* hostEnd = end;
    const char* portBegin = nullptr;  // null: the entry names no port
    size_t length = static_cast<size_t>(end - begin);
    if (length > 0 && *begin == '[') {
        const char* close = static_cast<const char*>(std::memchr(begin, ']', length));
        if (close == nullptr || (close + 1 != end && close[1] != ':')) {
            return false;
        }
        hostBegin = begin + 1;
        hostEnd = close;
        portBegin = close + 1 != end ? close + 2 : nullptr;
    } else {
        const char* colon = static_cast<const char*>(std::memchr(begin, ':', length));
        // One colon separates the port; more are a bare IPv6 address without one.
        if (colon != nullptr && std::memchr(colon + 1, ':', static_cast<size_t>(end - colon - 1)) == nullptr) {
            hostEnd = colon;
            portBegin = colon + 1;
        }
    }
    size_t hostLength = static_cast<size_t>(hostEnd - hostBegin);
    if (hostLength == 0 || hostLength > kMaxEndpointHost) {
        return false;
    }
    uint16_t port = defaultPort;
    if (portBegin != nullptr && !parsePort(portBegin, end, &port)) {
        return false;
    }
    if (port == 0) {
        return false;  // no port in the entry, and none by default
    }
    std::memcpy(out->host, hostBegin, hostLength);
    out->host[hostLength] = '\0';
    out->port = port;
    return true;
}

void endpointText(const ClientEndpoint& e, char* out, size_t size) {
    if (size == 0) {
        return;
    }
    bool v6 = std::strchr(e.host, ':') != nullptr;
    std::snprintf(out, size, v6 ? "[%s]:%u" : "%s:%u", e.host, unsigned{e.port});
}

}  // namespace morvalen
