// Fuzz target: the tools' XID reader (xidFromText over XidText, client library)
// and the printer. Any text is either refused with the out-value set to the
// null XID, or parsed into an XID within the XA limits, with the given format
// identifier unless the text carried one; a parsed XID printed by xidToText
// reads back as the same XID, whole and without its format identifier.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "MorvalenClient.h"

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "XidText_fuzz: %s\n", what);
    std::abort();
}

bool sameXid(const XID& a, const XID& b) {
    return a.formatID == b.formatID && a.gtrid_length == b.gtrid_length && a.bqual_length == b.bqual_length &&
           std::memcmp(a.data, b.data, static_cast<size_t>(a.gtrid_length + a.bqual_length)) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    // The first byte picks the format identifier (-1 is refused by morvalenctl
    // before the parser sees it); the rest is the text, cut at a zero byte as
    // a command-line argument would be.
    int32_t formatId = static_cast<int32_t>(data[0]) - 2;
    if (formatId == -1) {
        formatId = morvalen::kDefaultFormatId;
    }
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    text = text.c_str();

    XID xid;
    int32_t r = morvalen::xidFromText(text.c_str(), formatId, &xid);
    if (r != morvalen::kClientOk) {
        if (xid.formatID != -1 || xid.gtrid_length != 0 || xid.bqual_length != 0) {
            fail("a refused text left an XID behind");
        }
        return 0;
    }
    if (xid.formatID == -1 || xid.gtrid_length < 0 || xid.gtrid_length > MAXGTRIDSIZE ||
        xid.bqual_length < 0 || xid.bqual_length > MAXBQUALSIZE) {
        fail("parsed XID outside the XA limits");
    }
    char printed[400];
    morvalen::xidToText(&xid, printed, sizeof printed);
    // "FORMAT:0xGTRID:0xBQUAL": the parser takes the part after the format.
    const char* afterFormat = std::strchr(printed, ':');
    if (afterFormat == nullptr) {
        fail("printed XID without a format identifier");
    }
    XID again;
    if (morvalen::xidFromText(printed, formatId, &again) != morvalen::kClientOk || !sameXid(xid, again)) {
        fail("a printed XID does not read back as itself");
    }
    XID withDefault;
    if (morvalen::xidFromText(afterFormat + 1, xid.formatID, &withDefault) != morvalen::kClientOk ||
        !sameXid(xid, withDefault)) {
        fail("a printed XID without its format does not read back as itself");
    }
    return 0;
}
