// The tools' one XID reader: each spelling a tool prints reads back as the
// XID it names, and what is none of them is refused with the null XID.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "MorvalenClient.h"
#include "XidText.h"

using morvalen::xidParseText;

namespace {

bool sameXid(const XID& a, const XID& b) {
    return a.formatID == b.formatID && a.gtrid_length == b.gtrid_length && a.bqual_length == b.bqual_length &&
           std::memcmp(a.data, b.data, static_cast<size_t>(a.gtrid_length + a.bqual_length)) == 0;
}

}  // namespace

TEST(XidText, EverySpellingAToolPrintsNamesTheSameXid) {
    XID expected{};
    ASSERT_EQ(morvalen::xidMake(19798, "order-42", 8, "b1", 2, &expected), morvalen::kClientOk);
    char printed[300];
    const std::string spellings[] = {
        "order-42:b1",                             // morvalenctl's input, default format
        "0x6f726465722d3432:0x6231",               // the same in hex
        morvalen::xidToText(&expected, printed, sizeof printed),  // recover's output
        "19798:6f726465722d3432:6231",             // dtcctl list's output
        "19798:0X6F726465722D3432:6231",           // mixed case, mixed prefixes
    };
    for (const std::string& text : spellings) {
        XID x{};
        EXPECT_TRUE(xidParseText(text.c_str(), morvalen::kDefaultFormatId, &x)) << text;
        EXPECT_TRUE(sameXid(x, expected)) << text;
    }
    EXPECT_STREQ(printed, "19798:0x6f726465722d3432:0x6231");

    // The format form carries its own identifier, negative ones included; empty parts are no bytes.
    XID x{};
    ASSERT_TRUE(xidParseText("-5:0x01:", 19798, &x));
    EXPECT_EQ(x.formatID, -5);
    EXPECT_EQ(x.gtrid_length, 1);
    EXPECT_EQ(x.bqual_length, 0);
    // Two colons but a first part that is no number: GTRID and a BQUAL holding a colon.
    ASSERT_TRUE(xidParseText("a:b:c", 7, &x));
    EXPECT_EQ(x.formatID, 7);
    EXPECT_EQ(x.gtrid_length, 1);
    EXPECT_EQ(x.bqual_length, 3);
}

TEST(XidText, WhatIsNoSpellingIsRefusedWithTheNullXid) {
    const std::string refused[] = {
        "19798:0xzz:00",                     // not hexadecimal
        "19798:abc:00",                      // odd number of digits
        "19798:text:00",                     // text is not taken in the format form
        "-1:00:00",                          // the null XID's format
        "4294967296:00:00",                  // beyond 32 bits
        "19798:" + std::string(130, '0') + ":00",  // a part above 64 bytes
        std::string(65, 'g'),
        "0xabc",
    };
    for (const std::string& text : refused) {
        XID x{};
        x.formatID = 99;
        EXPECT_FALSE(xidParseText(text.c_str(), 19798, &x)) << text;
        EXPECT_EQ(x.formatID, -1) << text;
    }
    XID x{};
    EXPECT_FALSE(xidParseText(nullptr, 19798, &x));
    EXPECT_FALSE(xidParseText("a:b", -1, &x));  // no usable default format
}
