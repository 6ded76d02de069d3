// Fuzz target: dtc-pg-enlist's text handling (PgArgs.h). The input, cut at
// NUL bytes, is an argument list; its text also goes, whole, to the cookie's
// hex reader, the global-id reader and the target name, and its first 36
// bytes make a global id. Checked: an accepted argument list is one of the
// command's two forms and reads back the same once written out again; a
// cookie or a global id read from text writes back as that text (hex digits
// in lower case); a global id made from bytes reads back as those bytes;
// anything refused leaves nothing behind.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "PgArgs.h"
#include "Wire.h"

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "pg args fuzz: %s\n", what);
    std::abort();
}

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& ch : out) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return out;
}

bool isHex(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char ch) { return std::isxdigit(static_cast<unsigned char>(ch)) != 0; });
}

void checkArgs(const std::vector<std::string>& args) {
    PgEnlistArgs parsed;
    if (!pgParseEnlistArgs(args, &parsed)) {
        // The usage path: nothing of the arguments is kept.
        if (parsed.recover || !parsed.cookieHex.empty() || !parsed.conninfo.empty() || !parsed.statements.empty())
            fail("refused arguments left a record behind");
        return;
    }
    if (std::find(args.begin(), args.end(), "--conninfo") == args.end()) fail("accepted without --conninfo");
    // ("--recover" may also stand as another option's value.)
    if (parsed.recover && std::find(args.begin(), args.end(), "--recover") == args.end()) fail("--recover read wrongly");
    if (parsed.recover ? !parsed.cookieHex.empty() || !parsed.statements.empty()
                       : parsed.cookieHex.empty() || parsed.statements.empty())
        fail("accepted a mix of the two forms, or an incomplete one");
    // Every statement is the value of an --sql, in order.
    size_t at = 0;
    for (const std::string& sql : parsed.statements) {
        for (;;) {
            if (at + 1 >= args.size()) fail("a statement that no --sql gave");
            if (args[at] == "--sql" && args[at + 1] == sql) break;
            ++at;
        }
        at += 2;
    }
    // Written out again, the record reads back as itself.
    std::vector<std::string> again{"--conninfo", parsed.conninfo};
    if (parsed.recover) again.emplace_back("--recover");
    if (!parsed.cookieHex.empty()) again.insert(again.end(), {"--cookie", parsed.cookieHex});
    for (const std::string& sql : parsed.statements) again.insert(again.end(), {"--sql", sql});
    PgEnlistArgs back;
    if (!pgParseEnlistArgs(again, &back)) fail("an accepted record written out is refused");
    if (back.recover != parsed.recover || back.cookieHex != parsed.cookieHex || back.conninfo != parsed.conninfo ||
        back.statements != parsed.statements)
        fail("an accepted record written out reads back differently");
}

void checkCookie(std::string_view text) {
    std::string cookie = "left over";
    bool ok = pgCookieFromHex(text, &cookie);
    bool expected = !text.empty() && text.size() % 2 == 0 && isHex(text);
    if (ok != expected) fail(ok ? "accepted a cookie that is not hex" : "refused a hex cookie");
    if (ok && (cookie.size() * 2 != text.size() || dtcwire::hexEncode(cookie.data(), cookie.size()) != lower(text)))
        fail("a cookie does not write back as its text");
}

void checkGidText(std::string_view text) {
    PgGid gid;
    if (!pgParseGid(text, &gid)) {
        if (!gid.uow.empty() || !gid.rmBytes.empty() || !gid.session.empty()) fail("a refused gid left parts behind");
        return;
    }
    if (gid.uow.size() != 16 || gid.rmBytes.size() != 16 || (gid.session.size() != 0 && gid.session.size() != 4))
        fail("gid parts of the wrong size");
    std::string again = gid.session.empty()
                            ? "dtc_" + dtcwire::hexEncode(gid.uow.data(), 16) + "_" + dtcwire::hexEncode(gid.rmBytes.data(), 16)
                            : pgGidText(gid.uow.data(), gid.rmBytes.data(), gid.session.data());
    if (again != lower(text)) fail("a gid does not write back as its text");
}

void checkGidBytes(const uint8_t* data, size_t size) {
    if (size < 36) return;
    std::string text = pgGidText(data, data + 16, data + 32);
    PgGid gid;
    if (!pgParseGid(text, &gid)) fail("a made gid is refused");
    if (gid.uow != std::string_view(reinterpret_cast<const char*>(data), 16) ||
        gid.rmBytes != std::string_view(reinterpret_cast<const char*>(data + 16), 16) ||
        gid.session != std::string_view(reinterpret_cast<const char*>(data + 32), 4))
        fail("a made gid reads back as other bytes");
}

void checkTarget(const std::vector<std::string>& parts) {
    const char* db = parts.size() > 0 ? parts[0].c_str() : nullptr;
    const char* host = parts.size() > 1 ? parts[1].c_str() : nullptr;
    const char* port = parts.size() > 2 ? parts[2].c_str() : nullptr;
    std::string name = pgTargetName(db, host, port);
    size_t expected = 9 + (db ? parts[0].size() : 0) + (host ? parts[1].size() : 0) + (port ? parts[2].size() : 0);
    if (name.compare(0, 7, "dtc-pg ") != 0 || name.size() != expected) fail("target name of the wrong form");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> args;
    size_t start = 0;
    for (;;) {
        size_t nul = text.find('\0', start);
        args.emplace_back(text.substr(start, nul == std::string_view::npos ? std::string_view::npos : nul - start));
        if (nul == std::string_view::npos) break;
        start = nul + 1;
    }
    if (size == 0) args.clear();
    checkArgs(args);
    checkCookie(text);
    checkGidText(text);
    for (const std::string& arg : args) {
        checkCookie(arg);
        checkGidText(arg);
    }
    checkGidBytes(data, size);
    checkTarget(args);
    return 0;
}
