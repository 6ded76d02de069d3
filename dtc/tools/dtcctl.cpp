// dtcctl: the operator's tool for dtcd (same DTCD_SOCKET). Lists branches,
// resolves an in-doubt branch heuristically (its participants are then driven
// to that outcome), settles a participant whose acknowledgement is lost,
// shows the transaction behind a
// cookie, shows counters. Human-readable output, or JSON with --json. Exit 0
// on success; 1 with a one-line reason on stderr otherwise; 2 for bad usage.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#ifdef MORVALEN_PG_STORE
#include <libpq-fe.h>
#endif

#include "MorvalenClient.h"
#include "Wire.h"
#include "XidText.h"

using namespace dtcwire;

namespace {

const char kUsage[] =
    "usage: dtcctl [--json] list\n"
    "       dtcctl [--json] resolve XID commit|abort [--guid GUID]\n"
    "       dtcctl [--json] settle XID RM-GUID [--guid GUID]\n"
    "       dtcctl [--json] cookie HEX\n"
    "       dtcctl [--json] stats\n"
    "       dtcctl [--json] lease --store CONNINFO\n"
    "XID is FORMAT:GTRID-HEX:BQUAL-HEX, as list shows it; morvalenctl's spellings are read too\n"
    "(FORMAT:0xGTRID:0xBQUAL, and GTRID[:BQUAL] as text or 0x hex, format 19798 = 0x4D56).\n"
    "RM-GUID is a participant's GUID, as text or in the 32 hex digits of a PostgreSQL gid.\n"
    "lease reads a PostgreSQL store (dtcd --store) itself: which coordinator is active, since when, its epoch.\n"
    "DTCD_SOCKET names the daemon's socket.";

struct Ctl {
    int fd = -1;     // connection to dtcd
    bool json = false;
};

int fail(const std::string& reason) {
    std::fprintf(stderr, "dtcctl: %s\n", reason.c_str());
    return 1;
}

bool connectDaemon(Ctl* ctl, std::string* reason) {
    sockaddr_un addr{};
    uint32_t length = 0;
    std::string name;
    if (!socketAddress(&addr, &length, &name)) {
        *reason = "socket name too long: " + name;
        return false;
    }
    ctl->fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (ctl->fd < 0 || connect(ctl->fd, reinterpret_cast<sockaddr*>(&addr), length) != 0) {
        *reason = "cannot reach dtcd at " + name + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool readAll(int fd, void* buffer, size_t size) {
    auto* p = static_cast<char*>(buffer);
    while (size > 0) {
        ssize_t n = recv(fd, p, size, 0);
        if (n <= 0 && !(n < 0 && errno == EINTR)) return false;
        if (n > 0) {
            p += n;
            size -= static_cast<size_t>(n);
        }
    }
    return true;
}

// One request, one answer. False when the connection fails.
bool call(Ctl& ctl, uint16_t op, const std::string& body, int32_t* result, std::string* reply) {
    std::string frame = requestFrame(1, op, body);
    if (send(ctl.fd, frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size())) return false;
    char header[kReplyHeader];
    if (!readAll(ctl.fd, header, sizeof header)) return false;
    uint32_t len;
    std::memcpy(&len, header, 4);
    std::memcpy(result, header + 8, 4);
    if (len < 8 || len > kMaxFrame) return false;
    reply->assign(len - 8, '\0');
    return readAll(ctl.fd, reply->data(), reply->size());
}

// The name of a state as dtcd sent it; "unknown" for a number off the list.
const char* stateName(int32_t state) {
    switch (static_cast<BranchState>(state)) {
    case kStateActive: return "active";
    case kStateIdle: return "idle";
    case kStatePrepared: return "prepared";
    case kStateRollbackOnly: return "rollback-only";
    case kStateHeuristic: return "heuristic";
    case kStateCommitting: return "committing";
    }
    return "unknown";
}

const char* voteName(int32_t vote) {
    switch (vote) {
    case kVoteNone: return "enlisted";
    case kVoteAsked: return "asked";
    case kVoteYes: return "voted yes";
    case kVoteReadOnly: return "read-only";
    case kVoteNo: return "voted no";
    case kVoteDone: return "done";
    }
    return "unknown";
}

struct Party {
    std::string guid;    // the resource manager
    int32_t vote = 0;    // kVote*
    bool connected = false;
    std::string name;    // its resource manager's name (PostgreSQL: the database), "" when unknown
};

const char* outcomeName(int32_t heuristic) {
    return heuristic == XA_HEURCOM ? "committed" : heuristic == XA_HEURRB ? "aborted" : "";
}

struct Row {
    std::string guid;      // RmRecoveryGuid
    XID xid{};             // the branch
    int32_t state = 0;     // a BranchState as dtcd sent it (unchecked)
    int32_t heuristic = 0; // XA_HEURCOM / XA_HEURRB
    uint8_t flags = 0;     // 1 aborted, 2 write in flight
    uint64_t ageMs = 0;
    std::string uow;       // transaction id, hex
    std::vector<Party> parties; // enlisted resource managers (list only)
};

bool readRow(Reader& r, Row* row) {
    char guid[kGuidText];
    getBytes(r, guid, kGuidText);
    row->guid.assign(guid, kGuidText);
    getBytes(r, &row->xid, sizeof(XID));
    row->state = getI32(r);
    row->heuristic = getI32(r);
    row->flags = getU8(r);
    row->ageMs = getU64(r);
    uint8_t uow[kIdSize];
    getBytes(r, uow, kIdSize);
    row->uow = hexEncode(uow, kIdSize);
    return !r.bad && xidValid(row->xid);
}

std::string rowJson(const Row& row) {
    char buffer[1200];
    std::snprintf(buffer, sizeof buffer,
                  "{\"xid\":\"%s\",\"guid\":\"%s\",\"state\":\"%s\",\"outcome\":\"%s\",\"age_ms\":%llu,"
                  "\"transaction\":\"%s\",\"aborted\":%s,\"participants\":[",
                  xidText(row.xid).c_str(), row.guid.c_str(), stateName(row.state), outcomeName(row.heuristic),
                  static_cast<unsigned long long>(row.ageMs), row.uow.c_str(), (row.flags & 1) != 0 ? "true" : "false");
    std::string out = buffer;
    for (size_t i = 0; i < row.parties.size(); ++i) {
        std::string name;
        for (char ch : row.parties[i].name) {
            if (ch == '"' || ch == '\\') name += '\\';
            name += ch;
        }
        std::snprintf(buffer, sizeof buffer, "%s{\"rm\":\"%s\",\"vote\":\"%s\",\"connected\":%s,\"name\":\"%s\"}",
                      i > 0 ? "," : "", row.parties[i].guid.c_str(), voteName(row.parties[i].vote),
                      row.parties[i].connected ? "true" : "false", name.c_str());
        out += buffer;
    }
    return out + "]}";
}

// A GUID's bytes as they lie in memory (Data1..Data3 little-endian), in
// hex: the form a PostgreSQL participant's gid carries.
std::string guidMemoryHex(const std::string& text) {
    std::string hex;
    for (char ch : text)
        if (ch != '-') hex += ch;
    if (hex.size() != 32) return "";
    auto swap = [&](size_t at, size_t bytes) {
        for (size_t i = 0; i < bytes / 2; ++i)
            for (size_t k = 0; k < 2; ++k) std::swap(hex[at + 2 * i + k], hex[at + 2 * (bytes - 1 - i) + k]);
    };
    swap(0, 4);
    swap(8, 2);
    swap(12, 2);
    for (char& ch : hex) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return hex;
}

// The text form of a GUID given as text or as 32 hex digits in memory order.
bool participantGuid(const std::string& arg, std::string* text) {
    if (normalizeGuid(arg, text)) return true;
    if (arg.size() != 32) return false;
    std::string hex = guidMemoryHex(arg); // the same swap turns memory order back into text order
    std::string dashed = hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" + hex.substr(16, 4) +
                         "-" + hex.substr(20);
    return normalizeGuid(dashed, text);
}

std::string rowText(const Row& row) {
    std::string state = stateName(row.state);
    if (row.state == kStateHeuristic) state += std::string("(") + outcomeName(row.heuristic) + ")";
    if ((row.flags & 1) != 0) state += "(aborted)";
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, "%-40s %-36s %-20s %8.1fs %s", xidText(row.xid).c_str(), row.guid.c_str(),
                  state.c_str(), static_cast<double>(row.ageMs) / 1000.0, row.uow.c_str());
    std::string out = buffer;
    for (const Party& party : row.parties)
        out += "\n    participant " + party.guid + " " + voteName(party.vote) +
               (party.connected ? "" : " (not connected)") + " [gid form " + guidMemoryHex(party.guid) + "]" +
               (party.name.empty() ? "" : " " + party.name);
    return out;
}

int listBranches(Ctl& ctl) {
    int32_t result = 0;
    std::string body;
    if (!call(ctl, kOpList, {}, &result, &body)) return fail("connection to dtcd lost");
    Reader r = reader(body);
    uint32_t n = getU32(r);
    std::vector<Row> rows;
    for (uint32_t i = 0; i < n && !r.bad; ++i) {
        Row row;
        if (!readRow(r, &row)) return fail("malformed answer from dtcd");
        rows.push_back(row);
    }
    for (Row& row : rows) {
        uint32_t count = getU32(r);
        for (uint32_t i = 0; i < count && !r.bad; ++i) {
            Party party;
            char guid[kGuidText];
            getBytes(r, guid, kGuidText);
            party.guid.assign(guid, kGuidText);
            party.vote = getI32(r);
            party.connected = getU8(r) != 0;
            party.name.assign(getU8(r), '\0');
            getBytes(r, party.name.data(), party.name.size());
            row.parties.push_back(party);
        }
    }
    if (r.bad) return fail("malformed answer from dtcd");
    if (ctl.json) {
        std::string out = "[";
        for (size_t i = 0; i < rows.size(); ++i) out += (i > 0 ? "," : "") + rowJson(rows[i]);
        std::printf("%s]\n", out.c_str());
        return 0;
    }
    std::string out;
    char header[256];
    std::snprintf(header, sizeof header, "%-40s %-36s %-20s %9s %s\n", "XID", "GUID", "STATE", "AGE", "TRANSACTION");
    out += header;
    for (const Row& row : rows) out += rowText(row) + "\n";
    std::printf("%s", out.c_str());
    return 0;
}

int resolve(Ctl& ctl, const std::vector<std::string>& args) {
    if (args.size() != 2 && !(args.size() == 4 && args[2] == "--guid")) return fail("usage: resolve XID commit|abort [--guid GUID]");
    XID xid{};
    // An XID given without its format identifier has morvalenctl's default.
    if (!morvalen::xidParseText(args[0].c_str(), morvalen::kDefaultFormatId, &xid) || !xidValid(xid))
        return fail("not an XID: " + args[0]);
    if (args[1] != "commit" && args[1] != "abort") return fail("outcome must be commit or abort: " + args[1]);
    std::string guid(kGuidText, '0');
    bool hasGuid = args.size() == 4;
    if (hasGuid && !normalizeGuid(args[3], &guid)) return fail("not a GUID: " + args[3]);
    Writer w;
    putU8(w, hasGuid ? 1 : 0);
    putBytes(w, guid.data(), kGuidText);
    putBytes(w, &xid, sizeof xid);
    putI32(w, args[1] == "commit" ? 1 : 0);
    int32_t result = 0;
    std::string body;
    if (!call(ctl, kOpResolve, w.bytes, &result, &body)) return fail("connection to dtcd lost");
    switch (result) {
    case 0: break;
    case -4: return fail("no such branch: " + args[0]);
    case -6: return fail("branch is not prepared: " + args[0]);
    case -8: return fail("several resource managers hold " + args[0] + "; name one with --guid");
    default: return fail("dtcd could not record the outcome (" + std::to_string(result) + ")");
    }
    if (ctl.json)
        std::printf("{\"xid\":\"%s\",\"outcome\":\"%s\"}\n", xidText(xid).c_str(),
                    args[1] == "commit" ? "committed" : "aborted");
    else
        std::printf("%s heuristically %s\n", xidText(xid).c_str(), args[1] == "commit" ? "committed" : "aborted");
    return 0;
}

int settle(Ctl& ctl, const std::vector<std::string>& args) {
    if (args.size() != 2 && !(args.size() == 4 && args[2] == "--guid"))
        return fail("usage: settle XID RM-GUID [--guid GUID]");
    XID xid{};
    if (!morvalen::xidParseText(args[0].c_str(), morvalen::kDefaultFormatId, &xid) || !xidValid(xid))
        return fail("not an XID: " + args[0]);
    std::string rm;
    if (!participantGuid(args[1], &rm)) return fail("not a participant GUID: " + args[1]);
    std::string guid(kGuidText, '0');
    bool hasGuid = args.size() == 4;
    if (hasGuid && !normalizeGuid(args[3], &guid)) return fail("not a GUID: " + args[3]);
    std::fprintf(stderr,
                 "dtcctl: warning: settling tells dtcd that participant %s of %s holds nothing in doubt; dtcd then "
                 "forgets the commit it keeps for it. Do this only once its work is committed (PostgreSQL: no "
                 "prepared transaction dtc_<transaction>_%s_... is left).\n",
                 rm.c_str(), xidText(xid).c_str(), guidMemoryHex(rm).c_str());
    Writer w;
    putU8(w, hasGuid ? 1 : 0);
    putBytes(w, guid.data(), kGuidText);
    putBytes(w, &xid, sizeof xid);
    putBytes(w, rm.data(), kGuidText);
    int32_t result = 0;
    std::string body;
    if (!call(ctl, kOpSettle, w.bytes, &result, &body)) return fail("connection to dtcd lost");
    switch (result) {
    case 0: break;
    case -4: return fail("no participant " + rm + " owes an acknowledgement in " + args[0]);
    case -6: return fail("the outcome of " + args[0] + " is not commit, or the participant is connected");
    case -8: return fail("several resource managers hold " + args[0] + "; name one with --guid");
    default: return fail("dtcd refused (" + std::to_string(result) + ")");
    }
    if (ctl.json)
        std::printf("{\"xid\":\"%s\",\"rm\":\"%s\",\"settled\":true}\n", xidText(xid).c_str(), rm.c_str());
    else
        std::printf("%s participant %s settled\n", xidText(xid).c_str(), rm.c_str());
    return 0;
}

int cookie(Ctl& ctl, const std::string& hex) {
    std::string bytes;
    if (!hexDecode(hex, &bytes) || bytes.empty()) return fail("not a hex cookie: " + hex);
    Writer w;
    putU32(w, static_cast<uint32_t>(bytes.size()));
    w.bytes += bytes;
    int32_t result = 0;
    std::string body;
    if (!call(ctl, kOpCookie, w.bytes, &result, &body)) return fail("connection to dtcd lost");
    if (result == static_cast<int32_t>(0x8004D015)) return fail("not a cookie of this coordinator");
    if (result != 0) return fail("no such transaction");
    Reader r = reader(body);
    Row row;
    if (!readRow(r, &row)) return fail("malformed answer from dtcd");
    if (ctl.json)
        std::printf("%s\n", rowJson(row).c_str());
    else
        std::printf("transaction %s\nxid   %s\nguid  %s\nstate %s\nage   %.1fs\n", row.uow.c_str(),
                    xidText(row.xid).c_str(), row.guid.c_str(), stateName(row.state),
                    static_cast<double>(row.ageMs) / 1000.0);
    return 0;
}

int stats(Ctl& ctl) {
    int32_t result = 0;
    std::string body;
    if (!call(ctl, kOpStats, {}, &result, &body)) return fail("connection to dtcd lost");
    Reader r = reader(body);
    uint32_t n = getU32(r);
    std::string out = ctl.json ? "{" : "";
    for (uint32_t i = 0; i < n && !r.bad; ++i) {
        uint8_t len = getU8(r);
        std::string name(len, '\0');
        getBytes(r, name.data(), len);
        uint64_t value = getU64(r);
        char line[160];
        if (ctl.json)
            std::snprintf(line, sizeof line, "%s\"%s\":%llu", i > 0 ? "," : "", name.c_str(),
                          static_cast<unsigned long long>(value));
        else
            std::snprintf(line, sizeof line, "%-24s %llu\n", name.c_str(), static_cast<unsigned long long>(value));
        out += line;
    }
    if (r.bad) return fail("malformed answer from dtcd");
    std::printf("%s%s", out.c_str(), ctl.json ? "}\n" : "");
    return 0;
}

std::string jsonText(const std::string& text) {
    std::string out;
    for (char ch : text) {
        if (ch == '"' || ch == '\\') out += '\\';
        if (static_cast<unsigned char>(ch) >= 0x20) out += ch;
    }
    return out;
}

// dtcctl lease: the lease row of a shared store, read with the database's
// clock; standbys do not listen, so this asks the store, not a daemon.
int lease(const Ctl& ctl, const std::vector<std::string>& args) {
    if (args.size() != 2 || args[0] != "--store") return fail("usage: lease --store CONNINFO");
#ifdef MORVALEN_PG_STORE
    PGconn* conn = PQconnectdb(args[1].c_str());
    if (PQstatus(conn) != CONNECTION_OK) {
        std::string message = PQerrorMessage(conn);
        PQfinish(conn);
        while (!message.empty() && message.back() == '\n') message.pop_back();
        for (char& ch : message)
            if (ch == '\n') ch = ' ';
        return fail("cannot connect to the store: " + message);
    }
    PGresult* r = PQexec(conn,
                         "SELECT epoch, holder, to_char(since AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS\"Z\"'),"
                         " lease_until > clock_timestamp(),"
                         " (extract(epoch FROM clock_timestamp() - since) * 1000)::bigint,"
                         " CASE WHEN lease_until = '-infinity' THEN 0 ELSE"
                         " (extract(epoch FROM lease_until - clock_timestamp()) * 1000)::bigint END"
                         " FROM dtcd.lease WHERE id = 1");
    bool ok = PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) == 1;
    std::string why = ok ? "" : PQresultStatus(r) == PGRES_TUPLES_OK ? "no lease row" : PQerrorMessage(conn);
    std::string epoch = ok ? PQgetvalue(r, 0, 0) : "";
    std::string holder = ok ? PQgetvalue(r, 0, 1) : "";
    std::string since = ok ? PQgetvalue(r, 0, 2) : "";
    bool held = ok && std::string(PQgetvalue(r, 0, 3)) == "t";
    long long heldMs = ok ? std::atoll(PQgetvalue(r, 0, 4)) : 0;
    long long leftMs = ok ? std::atoll(PQgetvalue(r, 0, 5)) : 0;
    PQclear(r);
    PQfinish(conn);
    if (!ok) {
        while (!why.empty() && why.back() == '\n') why.pop_back();
        return fail("the store holds no dtcd lease (" + why + ")");
    }
    if (ctl.json) {
        std::printf("{\"active\":%s,\"holder\":\"%s\",\"since\":\"%s\",\"held_ms\":%lld,\"epoch\":%s,"
                    "\"lease_left_ms\":%lld}\n",
                    held ? "true" : "false", jsonText(holder).c_str(), since.c_str(), heldMs, epoch.c_str(), leftMs);
    } else if (held) {
        std::printf("active  %s\nsince   %s (%.1fs)\nepoch   %s\nlease   %.1fs left\n", holder.c_str(), since.c_str(),
                    static_cast<double>(heldMs) / 1000.0, epoch.c_str(), static_cast<double>(leftMs) / 1000.0);
    } else {
        std::printf("active  none (the lease of epoch %s, last held by %s, has run out or was given up)\n",
                    epoch.c_str(), holder.empty() ? "nobody" : holder.c_str());
    }
    return 0;
#else
    (void)ctl;
    return fail("this dtcctl was built without PostgreSQL (libpq)");
#endif
}

} // namespace

int main(int argc, char** argv) {
    Ctl ctl;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--json")
            ctl.json = true;
        else if (arg == "--help" || arg == "-h") {
            std::printf("%s\n", kUsage);
            return 0;
        } else
            args.push_back(arg);
    }
    if (args.empty()) {
        std::fprintf(stderr, "%s\n", kUsage);
        return 2;
    }
    std::string command = args[0];
    args.erase(args.begin());
    bool known = (command == "list" && args.empty()) || command == "resolve" || command == "settle" ||
                 (command == "cookie" && args.size() == 1) ||
                 (command == "stats" && args.empty()) || (command == "lease" && args.size() == 2);
    if (!known) {
        std::fprintf(stderr, "%s\n", kUsage);
        return 2;
    }
    if (command == "lease") return lease(ctl, args);
    std::string reason;
    if (!connectDaemon(&ctl, &reason)) return fail(reason);
    int rc = 0;
    if (command == "list")
        rc = listBranches(ctl);
    else if (command == "resolve")
        rc = resolve(ctl, args);
    else if (command == "settle")
        rc = settle(ctl, args);
    else if (command == "cookie")
        rc = cookie(ctl, args[0]);
    else
        rc = stats(ctl);
    close(ctl.fd);
    return rc;
}
