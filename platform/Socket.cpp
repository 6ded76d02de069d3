// The OS-neutral part of the socket layer, shared by both ports.
#include "platform/Socket.h"

namespace platform {

bool socketParseAddress4(const char* text, uint32_t* address) {
    *address = 0;
    uint32_t value = 0;
    const char* at = text;
    for (int part = 0; part < 4; ++part) {
        if (part > 0 && *at++ != '.') return false;
        uint32_t number = 0;
        int digits = 0;
        while (*at >= '0' && *at <= '9' && digits < 4) {
            number = number * 10 + static_cast<uint32_t>(*at - '0');
            ++at;
            ++digits;
        }
        if (digits == 0 || digits > 3 || number > 255) return false;
        value = value << 8 | number;
    }
    if (*at != '\0') return false;
    *address = value;
    return true;
}

}  // namespace platform
