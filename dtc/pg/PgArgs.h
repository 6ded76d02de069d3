// The pure text handling of the PostgreSQL participant, apart from any
// database or coordinator: dtc-pg-enlist's argument list, the cookie's hex
// text, the prepared transactions' global ids and the name a resource manager
// registers with. PgParticipant.cpp and dtc_pg_enlist.cpp use these.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// dtc-pg-enlist's usage text (printed on standard error, exit code 2).
extern const char kPgEnlistUsage[];

// What dtc-pg-enlist was asked to do.
struct PgEnlistArgs {
    bool recover = false;                // --recover
    std::string cookieHex;               // --cookie (the last one given)
    std::string conninfo;                // --conninfo (the last one given)
    std::vector<std::string> statements; // every --sql, in order
};

// Reads the arguments after the program name. False when they make neither
// form of the command (an unknown argument, an option without its value, a
// form's option missing or one of the other form's given): the caller prints
// the usage and exits 2; *out is then empty.
[[nodiscard]] bool pgParseEnlistArgs(const std::vector<std::string>& args, PgEnlistArgs* out);

// The cookie's bytes from --cookie's text; false for empty, odd-length or
// non-hex text ("not a hex cookie").
[[nodiscard]] bool pgCookieFromHex(std::string_view hex, std::string* cookie);

// The global id of a session's prepared transaction: "dtc_" + transaction id
// (hex) + "_" + resource manager GUID (hex, in memory byte order) + "_" + the
// session's 4 bytes (hex).
std::string pgGidText(const void* uow16, const void* rm16, const void* session4);

// One global id read back.
struct PgGid {
    std::string uow;     // 16 bytes
    std::string rmBytes; // 16 bytes, the resource manager's GUID in memory order
    std::string session; // 4 bytes; empty in "dtc_<uow>_<rm>" (one GUID per run, an earlier version)
};
// Reads "dtc_<uow>_<rm>_<session>" or "dtc_<uow>_<rm>"; false for any other id.
[[nodiscard]] bool pgParseGid(std::string_view gid, PgGid* out);

// The resource manager's name dtcctl list shows: "dtc-pg DB@HOST:PORT"
// (host and port may be null: empty).
std::string pgTargetName(const char* db, const char* host, const char* port);
