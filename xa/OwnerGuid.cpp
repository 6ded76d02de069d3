// A name-based UUID (RFC 4122 version 5, SHA-1) for a client certificate
// name. SHA-1 serves here as the RFC's name hash, not for secrecy: the GUID
// only has to be the same for the same name and differ between names.
#include "xa/OwnerGuid.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

uint32_t rotateLeft(uint32_t value, int bits) { return (value << bits) | (value >> (32 - bits)); }

struct Sha1 {
    uint32_t state[5] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u};
    uint8_t block[64] = {};
    size_t used = 0;     // bytes in block
    uint64_t total = 0;  // bytes hashed so far

    void compress() {
        uint32_t w[80];
        for (int i = 0; i < 16; ++i) {
            w[i] = uint32_t{block[4 * i]} << 24 | uint32_t{block[4 * i + 1]} << 16 | uint32_t{block[4 * i + 2]} << 8 |
                   uint32_t{block[4 * i + 3]};
        }
        for (int i = 16; i < 80; ++i) w[i] = rotateLeft(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
        uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
        for (int i = 0; i < 80; ++i) {
            uint32_t f = 0;
            uint32_t k = 0;
            if (i < 20) {
                f = (b & c) | (~b & d);
                k = 0x5A827999u;
            } else if (i < 40) {
                f = b ^ c ^ d;
                k = 0x6ED9EBA1u;
            } else if (i < 60) {
                f = (b & c) | (b & d) | (c & d);
                k = 0x8F1BBCDCu;
            } else {
                f = b ^ c ^ d;
                k = 0xCA62C1D6u;
            }
            uint32_t next = rotateLeft(a, 5) + f + e + k + w[i];
            e = d;
            d = c;
            c = rotateLeft(b, 30);
            b = a;
            a = next;
        }
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        used = 0;
    }
    void add(const uint8_t* bytes, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            block[used++] = bytes[i];
            if (used == sizeof block) compress();
        }
        total += n;
    }
    void finish(uint8_t (&digest)[20]) {
        uint64_t bits = total * 8;
        uint8_t pad = 0x80;
        add(&pad, 1);
        pad = 0;
        while (used != 56) add(&pad, 1);
        uint8_t length[8];
        for (int i = 0; i < 8; ++i) length[i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
        add(length, sizeof length);
        for (int i = 0; i < 20; ++i) digest[i] = static_cast<uint8_t>(state[i / 4] >> (24 - 8 * (i % 4)));
    }
};

// The 16 bytes of a GUID text in the 8-4-4-4-12 form, in written order.
void guidBytes(const char* text, uint8_t (&bytes)[16]) {
    size_t n = 0;
    for (const char* p = text; *p != '\0' && n < 32; ++p) {
        if (*p == '-') continue;
        int digit = *p <= '9' ? *p - '0' : (*p | 0x20) - 'a' + 10;
        if (n % 2 == 0) {
            bytes[n / 2] = static_cast<uint8_t>(digit << 4);
        } else {
            bytes[n / 2] = static_cast<uint8_t>(bytes[n / 2] | digit);
        }
        ++n;
    }
}

}  // namespace

void ownerRecoveryGuid(const char* name, char (&text)[kGuidTextLength + 1]) noexcept {
    uint8_t space[16] = {};
    guidBytes(kServiceRecoveryGuid, space);
    Sha1 hash;
    hash.add(space, sizeof space);
    hash.add(reinterpret_cast<const uint8_t*>(name), std::strlen(name));
    uint8_t digest[20];
    hash.finish(digest);
    digest[6] = static_cast<uint8_t>((digest[6] & 0x0F) | 0x50);  // version 5
    digest[8] = static_cast<uint8_t>((digest[8] & 0x3F) | 0x80);  // the RFC 4122 variant
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", digest[0],
                  digest[1], digest[2], digest[3], digest[4], digest[5], digest[6], digest[7], digest[8], digest[9],
                  digest[10], digest[11], digest[12], digest[13], digest[14], digest[15]);
}
