// Fuzz target: the recover reply's XID encoding and the client's decoder of it.
//
// The input describes up to 7 XIDs (format identifier, both lengths, data).
// Those whose lengths the XA limits refuse are dropped, as the recover handler
// drops the whole answer for them; the rest are encoded into an area of exactly
// the handler's size, wrapped as a reply payload and decoded by the client
// library, which must give back the same XIDs. A second part of the input goes
// to the client's recover and cookie decoders as a raw reply, which must be
// refused or decoded within bounds.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "MorvalenClient.h"
#include "common/Xid.h"
#include "xa/Requests.h"

namespace {

constexpr int32_t kBatch = 7;
constexpr size_t kAreaBytes = 980;  // the recover handler's encoding area

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "RecoverEncode_fuzz: %s\n", what);
    std::abort();
}

struct Input {
    const uint8_t* data;
    size_t size;
    size_t pos = 0;
    uint8_t byte() { return pos < size ? data[pos++] : 0; }
};

void roundTrip(Input& in) {
    XID xids[kBatch];
    int32_t count = in.byte() % (kBatch + 1);
    for (int32_t i = 0; i < count; ++i) {
        XID& x = xids[i];
        x = XID{};
        uint8_t f[4] = {in.byte(), in.byte(), in.byte(), in.byte()};
        std::memcpy(&x.formatID, f, 4);
        x.gtrid_length = static_cast<int8_t>(in.byte());
        x.bqual_length = static_cast<int8_t>(in.byte());
        for (uint8_t& d : reinterpret_cast<uint8_t(&)[XIDDATASIZE]>(x.data)) {
            d = in.byte();
        }
        if (!xidLengthsValid(x)) {
            return;  // the handler answers XAER_RMERR and encodes nothing
        }
    }
    // Heap storage of exactly the handler's size, so that AddressSanitizer
    // sees any write past it.
    std::unique_ptr<uint8_t[]> area(new uint8_t[kAreaBytes]);
    uint32_t n = recoverEncodeXids(xids, count, area.get());
    if (n > static_cast<uint32_t>(count) * 134 || n + 4 > morvalen::kMaxPayload) {
        fail("encoding longer than its bound");
    }
    morvalen::MorvalenReply reply;
    reply.result = count;
    reply.payloadLength = 4 + n;
    reply.length = static_cast<int32_t>(8 + reply.payloadLength);
    int32_t length = static_cast<int32_t>(n);
    std::memcpy(reply.payload, &length, 4);
    std::memcpy(reply.payload + 4, area.get(), n);
    morvalen::MorvalenRecoverList list;
    if (morvalen::decodeRecover(&reply, &list) != morvalen::kClientOk || list.count != count) {
        fail("the client cannot decode what the service encoded");
    }
    for (int32_t i = 0; i < count; ++i) {
        if (!xidEqual(list.xids[i], xids[i])) {
            fail("an XID changed between encoding and decoding");
        }
    }
}

void rawReply(Input& in) {
    morvalen::MorvalenReply reply;
    uint8_t r[4] = {in.byte(), in.byte(), in.byte(), in.byte()};
    std::memcpy(&reply.result, r, 4);
    size_t rest = in.size - in.pos;
    reply.payloadLength = static_cast<uint32_t>(rest < morvalen::kMaxPayload ? rest : morvalen::kMaxPayload);
    std::memcpy(reply.payload, in.data + in.pos, reply.payloadLength);
    reply.length = static_cast<int32_t>(8 + reply.payloadLength);
    morvalen::MorvalenRecoverList list;
    if (morvalen::decodeRecover(&reply, &list) == morvalen::kClientOk) {
        if (list.count != reply.result || list.count < 0 || list.count > kBatch) {
            fail("recover decoder count out of range");
        }
        for (int32_t i = 0; i < list.count; ++i) {
            if (!xidLengthsValid(list.xids[i])) {
                fail("recover decoder passed XID lengths outside the XA limits");
            }
        }
    } else if (list.count != 0) {
        fail("a refused recover reply left XIDs in the list");
    }
    morvalen::MorvalenCookie cookie;
    if (morvalen::decodeCookie(&reply, &cookie) == morvalen::kClientOk) {
        if (cookie.length < -1 || cookie.length > static_cast<int32_t>(morvalen::kMaxPayload)) {
            fail("cookie length out of range");
        }
    } else if (cookie.length != -1) {
        fail("a refused cookie reply left a cookie");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in{data, size};
    if (in.byte() % 2 == 0) {
        roundTrip(in);
    } else {
        rawReply(in);
    }
    return 0;
}
