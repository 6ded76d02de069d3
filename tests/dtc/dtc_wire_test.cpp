// The shared helpers of the coordinator's message format: XID text and
// canonical form, GUID text, cookies, and reads past the end of a body.
#include <gtest/gtest.h>

#include "Wire.h"

using namespace dtcwire;

TEST(DtcWire, XidTextRoundTripsAndRejectsNonsense) {
    XID xid{};
    xid.formatID = -7;
    xid.gtrid_length = 2;
    xid.bqual_length = 1;
    xid.data[0] = 'a';
    xid.data[1] = '\x01';
    xid.data[2] = '\xff';
    xid.data[3] = 'z'; // past gtrid + bqual: not part of the identity
    EXPECT_EQ("-7:6101:ff", xidText(xid));
    XID back{};
    ASSERT_TRUE(parseXid("-7:6101:ff", &back));
    EXPECT_EQ(xidKey(xidCanonical(xid)), xidKey(back));
    EXPECT_EQ(0, back.data[3]);
    EXPECT_TRUE(parseXid("1:00:", &back));                 // empty bqual
    for (const char* bad : {"", "1:", "1::", "x:00:00", "1:0:00", "1:zz:00", "-1:00:00", "99999999999:00:00",
                            "1:00:00:00"}) {
        EXPECT_FALSE(parseXid(bad, &back)) << bad;
        EXPECT_EQ(0, back.gtrid_length);
    }
    std::string long65(130, 'a');
    EXPECT_FALSE(parseXid("1:" + long65 + ":", &back));
}

TEST(DtcWire, GuidCookieAndBoundedReads) {
    std::string guid;
    EXPECT_TRUE(normalizeGuid("7592bba9-26b4-421a-ae43-6e27a5bfd134", &guid));
    EXPECT_EQ("7592BBA9-26B4-421A-AE43-6E27A5BFD134", guid);
    EXPECT_FALSE(normalizeGuid("7592bba9_26b4-421a-ae43-6e27a5bfd134", &guid));
    EXPECT_FALSE(normalizeGuid("7592bba9-26b4-421a-ae43-6e27a5bfd13g", &guid));
    EXPECT_TRUE(guid.empty());
    uint8_t ids[3][16] = {{1}, {2}, {3}};
    std::string cookie = makeCookie(ids[0], ids[1], ids[2]);
    uint8_t out[3][16] = {};
    ASSERT_TRUE(splitCookie(cookie, out[0], out[1], out[2]));
    EXPECT_EQ(3, out[2][0]);
    EXPECT_FALSE(splitCookie(cookie.substr(1), out[0], out[1], out[2]));
    cookie[0] = 'X';
    EXPECT_FALSE(splitCookie(cookie, out[0], out[1], out[2]));
    Reader r = reader(std::string_view("\x01\x02\x03", 3));
    EXPECT_EQ(0x0201, getU16(r));
    EXPECT_EQ(0u, getU32(r)); // past the end: zero, and marked
    EXPECT_TRUE(r.bad);
}
