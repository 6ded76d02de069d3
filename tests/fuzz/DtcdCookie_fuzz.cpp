// Fuzz target: cookie import in dtcd. A branch is started first; its cookie is
// then altered by the input (an XOR mask over the 52 cookie bytes, bytes added
// or taken away, a declared length that may lie) and offered to kOpImport or
// kOpCookie. Only the untouched cookie may be accepted (its token is 16 random
// bytes); anything else gets an HRESULT and no branch. The raw input also goes
// to splitCookie, which must accept exactly the 52-byte values with the magic,
// and give back parts that make the same cookie again.
#include <cstdint>
#include <cstring>
#include <string>

#include "DtcdHarness.h"
#include "contract/txdtc.h"

using namespace dtcwire;

namespace {

const char kGuid[] = "6F1E8C52-0B7A-4C1D-9E2F-3A4B5C6D7E8F";

void splitCheck(const uint8_t* data, size_t size) {
    std::string_view cookie(reinterpret_cast<const char*>(data), size);
    uint8_t instance[kIdSize];
    uint8_t uow[kIdSize];
    uint8_t token[kIdSize];
    bool ok = splitCookie(cookie, instance, uow, token);
    bool expected = size == kCookieSize && std::memcmp(data, "DTCK", 4) == 0;
    if (ok != expected) dtcdfuzz::fail("splitCookie judged a cookie wrongly");
    if (ok && makeCookie(instance, uow, token) != cookie) dtcdfuzz::fail("split and made again, a cookie changed");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    splitCheck(data, size);
    if (size < 2) {
        return 0;
    }
    dtcdfuzz::Session s;
    dtcdfuzz::begin(&s);
    Writer open;
    putBytes(open, kGuid, kGuidText);
    putU32(open, 0);
    dtcdfuzz::request(&s, 1, kOpOpen, open.bytes);
    XID xid{};
    xid.formatID = 42;
    xid.gtrid_length = 3;
    xid.bqual_length = 1;
    std::memcpy(xid.data, "abcd", 4);
    Writer start;
    putBytes(start, &xid, sizeof xid);
    putI32(start, TMNOFLAGS);
    putI32(start, kAssocNone);
    dtcdfuzz::request(&s, 2, kOpStart, start.bytes);
    dtcdfuzz::Reply r;
    if (!dtcdfuzz::nextReply(&s, &r) || r.result != XA_OK) dtcdfuzz::fail("open failed");
    if (!dtcdfuzz::nextReply(&s, &r) || r.result != XA_OK || r.body.size() != 2 * kIdSize)
        dtcdfuzz::fail("start failed");
    const auto* uow = reinterpret_cast<const uint8_t*>(r.body.data());
    std::string valid = makeCookie(s.co.instance, uow, uow + kIdSize);
    std::string expectedBody = r.body;

    // data[0]: bit 0 the operation, bit 1 a declared length from data[1..4];
    // the rest masks the cookie, and what lies beyond 52 bytes is appended.
    uint16_t op = (data[0] & 1) != 0 ? kOpCookie : kOpImport;
    size_t at = 1;
    uint32_t declared = 0;
    bool lies = (data[0] & 2) != 0 && size >= 5;
    if (lies) {
        std::memcpy(&declared, data + 1, 4);
        at = 5;
    }
    std::string cookie = valid;
    size_t i = 0;
    for (; at < size && i < valid.size(); ++at, ++i) cookie[i] = static_cast<char>(cookie[i] ^ data[at]);
    if ((data[0] & 4) != 0) {
        cookie.resize(i);  // cut where the mask ends
    }
    cookie.append(reinterpret_cast<const char*>(data + at), size - at);
    Writer w;
    putU32(w, lies ? declared : static_cast<uint32_t>(cookie.size()));
    putBytes(w, cookie.data(), cookie.size());
    dtcdfuzz::request(&s, 3, op, w.bytes);
    if (!dtcdfuzz::nextReply(&s, &r)) dtcdfuzz::fail("no answer to the import");

    // dtcd reads the declared number of bytes as the cookie and ignores what
    // follows in the body, so with a declared length only those bytes count.
    bool genuine = lies ? declared == valid.size() && cookie.compare(0, valid.size(), valid) == 0
                        : cookie == valid;
    if (genuine != (r.result == S_OK)) {
        dtcdfuzz::fail(genuine ? "the genuine cookie was refused" : "an altered cookie was accepted");
    }
    if (genuine && op == kOpImport && r.body != expectedBody) dtcdfuzz::fail("import answered another branch");
    if (!genuine && !r.body.empty()) dtcdfuzz::fail("a refused import answered a body");
    dtcdfuzz::end(&s);
    return 0;
}
