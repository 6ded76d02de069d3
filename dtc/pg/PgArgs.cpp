// The PostgreSQL participant's text handling (see PgArgs.h).
#include "PgArgs.h"

#include "Wire.h"

using namespace dtcwire;

const char kPgEnlistUsage[] =
    "usage: dtc-pg-enlist --cookie HEX --conninfo CONNINFO --sql SQL [--sql SQL ...]\n"
    "       dtc-pg-enlist --recover --conninfo CONNINFO\n"
    "DTCD_SOCKET names dtcd's socket.";

bool pgParseEnlistArgs(const std::vector<std::string>& args, PgEnlistArgs* out) {
    *out = PgEnlistArgs{};
    PgEnlistArgs got;
    bool haveConninfo = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        bool hasValue = i + 1 < args.size();
        if (arg == "--cookie" && hasValue) {
            got.cookieHex = args[++i];
        } else if (arg == "--conninfo" && hasValue) {
            got.conninfo = args[++i];
            haveConninfo = true;
        } else if (arg == "--sql" && hasValue) {
            got.statements.push_back(args[++i]);
        } else if (arg == "--recover") {
            got.recover = true;
        } else {
            return false;
        }
    }
    bool complete = got.recover ? got.cookieHex.empty() && got.statements.empty()
                                : !got.cookieHex.empty() && !got.statements.empty();
    if (!haveConninfo || !complete) return false;
    *out = std::move(got);
    return true;
}

bool pgCookieFromHex(std::string_view hex, std::string* cookie) {
    return hexDecode(hex, cookie) && !cookie->empty();
}

std::string pgGidText(const void* uow16, const void* rm16, const void* session4) {
    return "dtc_" + hexEncode(uow16, 16) + "_" + hexEncode(rm16, 16) + "_" + hexEncode(session4, 4);
}

bool pgParseGid(std::string_view gid, PgGid* out) {
    *out = PgGid{};
    if ((gid.size() != 69 && gid.size() != 78) || gid.substr(0, 4) != "dtc_" || gid[36] != '_') return false;
    if (gid.size() == 78 && gid[69] != '_') return false;
    if (!hexDecode(gid.substr(4, 32), &out->uow) || !hexDecode(gid.substr(37, 32), &out->rmBytes) ||
        (gid.size() == 78 && !hexDecode(gid.substr(70), &out->session))) {
        *out = PgGid{};
        return false;
    }
    return true;
}

std::string pgTargetName(const char* db, const char* host, const char* port) {
    return std::string("dtc-pg ") + (db != nullptr ? db : "") + "@" + (host != nullptr ? host : "") + ":" +
           (port != nullptr ? port : "");
}
