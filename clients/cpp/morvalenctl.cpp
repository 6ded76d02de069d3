// morvalenctl: sends XA requests to a Morvalen service from the command line.
//
//   morvalenctl [--host H] [--port P] [--format N] [--flags F] [--timeout MS]
//               [--tls-ca FILE [--tls-cert FILE --tls-key FILE] [--tls-name NAME]] COMMAND [XID]
//
// --host takes one host or a list of endpoints, "H[:P],H[:P]...", tried in
// order until one answers (for a service that may run on either of two hosts).
// --tls-ca turns TLS on: the service's certificate must chain to FILE and
// carry NAME (default: the host); --tls-cert and --tls-key present this
// client's certificate to a service that demands one.
//
// Each invocation is one connection. The service keys branches by XID, so a
// branch started by one invocation can be ended, prepared and committed by the
// next ones. The exit status says what the answer means for a script (see
// exitCodeFor and the usage text): 0 only for XA_OK, XA_RDONLY and XA_NOMIGRATE.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <strings.h>

#include "MorvalenClient.h"
#include "XidText.h"

using namespace morvalen;

namespace {

constexpr int kExitOk = 0;          // XA_OK, XA_RDONLY, XA_NOMIGRATE; recover listed; query found a branch
constexpr int kExitXaFailure = 1;   // the service answered an error (a negative code); query found no branch
constexpr int kExitError = 2;       // the command line is wrong, or the exchange itself failed
constexpr int kExitRolledBack = 3;  // XA_RBROLLBACK .. XA_RBEND (100..107): the branch was rolled back
constexpr int kExitHeuristic = 4;   // XA_HEURHAZ, XA_HEURCOM, XA_HEURRB, XA_HEURMIX: completed by hand; forget it
constexpr int kExitRetry = 5;       // XA_RETRY: nothing was done, try again later

struct Options {
    const char* host = kDefaultHost;
    uint16_t port = kDefaultPort;
    int32_t formatId = kDefaultFormatId;
    bool flagsGiven = false;
    int32_t flags = TMNOFLAGS;
    uint32_t timeoutMs = kDefaultTimeoutMs;
    const char* command = nullptr;
    const char* xidText = nullptr;
    MorvalenTlsOptions tls;  // used when tls.caFile is set
};

struct FlagName {
    const char* name;
    int32_t value;
};

constexpr FlagName kFlagNames[] = {
    {"TMNOFLAGS", TMNOFLAGS},   {"TMJOIN", TMJOIN},         {"TMRESUME", TMRESUME},     {"TMSUSPEND", TMSUSPEND},
    {"TMSUCCESS", TMSUCCESS},   {"TMFAIL", TMFAIL},         {"TMONEPHASE", TMONEPHASE}, {"TMSTARTRSCAN", TMSTARTRSCAN},
    {"TMENDRSCAN", TMENDRSCAN}, {"TMMIGRATE", TMMIGRATE},   {"TMMULTIPLE", TMMULTIPLE}, {"TMNOWAIT", TMNOWAIT},
    {"TMASYNC", TMASYNC},
};

void usage(FILE* out) {
    std::fprintf(out,
                 "usage: morvalenctl [--host H] [--port P] [--format N] [--flags F] [--timeout MS]\n"
                 "                   [--tls-ca FILE [--tls-cert FILE --tls-key FILE] [--tls-name NAME]] COMMAND [XID]\n"
                 "commands:\n"
                 "  start|end|prepare|commit|rollback|forget|query XID\n"
                 "  recover            list in-doubt branches (a whole scan unless --flags is given)\n"
                 "  cycle XID          start, end, prepare and commit one branch on one connection\n"
                 "XID: GTRID[:BQUAL], each part text or hex after 0x (at most 64 bytes each);\n"
                 "     the format identifier is --format (default %d = 0x4D56);\n"
                 "     or FORMAT:GTRID:BQUAL in hex, as recover and dtcctl list print it\n"
                 "F:   flag names joined by '|' or ',' (TMJOIN, TMSUSPEND, TMRESUME, TMSUCCESS, TMFAIL,\n"
                 "     TMONEPHASE, TMSTARTRSCAN, TMENDRSCAN, ...) or a number\n"
                 "defaults: end TMSUCCESS, others TMNOFLAGS; recover scans with TMSTARTRSCAN, TMNOFLAGS, TMENDRSCAN\n"
                 "H:   a host name or address, or endpoints H[:P],H[:P]... tried in order until one answers\n"
                 "     (an IPv6 address with a port in brackets: [::1]:1439); P defaults to --port\n"
                 "TLS: --tls-ca verifies the service against FILE and NAME (default: the host);\n"
                 "     --tls-cert and --tls-key present a client certificate\n"
                 "exit: 0 XA_OK, XA_RDONLY or XA_NOMIGRATE (query: branch held; recover: listed)\n"
                 "      1 the service answered an error, a negative code (query: no branch)\n"
                 "      2 wrong command line, or no answer (connect, send or receive failed)\n"
                 "      3 the branch was rolled back (XA_RB*, 100..107)\n"
                 "      4 a heuristic outcome (XA_HEURHAZ, XA_HEURCOM, XA_HEURRB, XA_HEURMIX)\n"
                 "      5 XA_RETRY: nothing was done, try again\n",
                 static_cast<int>(kDefaultFormatId));
}

bool parseNumber(const char* text, long long low, long long high, long long* out) {
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || v < low || v > high) {
        return false;
    }
    *out = v;
    return true;
}

bool parseFlags(const char* text, int32_t* out) {
    long long number = 0;
    if (parseNumber(text, INT32_MIN, UINT32_MAX, &number)) {
        *out = static_cast<int32_t>(static_cast<uint32_t>(number));
        return true;
    }
    int32_t flags = 0;
    const char* at = text;
    while (*at != '\0') {
        size_t n = std::strcspn(at, "|,+");
        bool known = false;
        for (const FlagName& f : kFlagNames) {
            if (std::strlen(f.name) == n && strncasecmp(f.name, at, n) == 0) {
                flags |= f.value;
                known = true;
            }
        }
        if (!known) {
            return false;
        }
        at += n;
        if (*at != '\0') {
            ++at;
        }
    }
    *out = flags;
    return true;
}

int parseOptions(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        const bool hasValue = i + 1 < argc;
        long long number = 0;
        if (std::strcmp(a, "-h") == 0 || std::strcmp(a, "--help") == 0) {
            usage(stdout);
            std::exit(kExitOk);
        } else if (std::strcmp(a, "--host") == 0 && hasValue) {
            o->host = argv[++i];
        } else if (std::strcmp(a, "--port") == 0 && hasValue) {
            if (!parseNumber(argv[++i], 1, 65535, &number)) return -1;
            o->port = static_cast<uint16_t>(number);
        } else if (std::strcmp(a, "--format") == 0 && hasValue) {
            if (!parseNumber(argv[++i], INT32_MIN, INT32_MAX, &number) || number == -1) return -1;
            o->formatId = static_cast<int32_t>(number);
        } else if (std::strcmp(a, "--timeout") == 0 && hasValue) {
            if (!parseNumber(argv[++i], 0, UINT32_MAX, &number)) return -1;
            o->timeoutMs = static_cast<uint32_t>(number);
        } else if (std::strcmp(a, "--tls-ca") == 0 && hasValue) {
            o->tls.caFile = argv[++i];
        } else if (std::strcmp(a, "--tls-cert") == 0 && hasValue) {
            o->tls.certFile = argv[++i];
        } else if (std::strcmp(a, "--tls-key") == 0 && hasValue) {
            o->tls.keyFile = argv[++i];
        } else if (std::strcmp(a, "--tls-name") == 0 && hasValue) {
            o->tls.serverName = argv[++i];
        } else if (std::strcmp(a, "--flags") == 0 && hasValue) {
            if (!parseFlags(argv[++i], &o->flags)) return -1;
            o->flagsGiven = true;
        } else if (a[0] == '-' && a[1] == '-') {
            return -1;
        } else if (o->command == nullptr) {
            o->command = a;
        } else if (o->xidText == nullptr) {
            o->xidText = a;
        } else {
            return -1;
        }
    }
    // The TLS options go together: a certificate needs its key, and none of
    // them means anything without the CA that verifies the service.
    bool anyTls = o->tls.certFile != nullptr || o->tls.keyFile != nullptr || o->tls.serverName != nullptr;
    if ((anyTls && o->tls.caFile == nullptr) || (o->tls.certFile == nullptr) != (o->tls.keyFile == nullptr)) {
        return -1;
    }
    return o->command == nullptr ? -1 : 0;
}

// What an XA answer means for the caller's script: success only for XA_OK
// and the codes that report success with a remark (XA_RDONLY, XA_NOMIGRATE).
int exitCodeFor(int32_t result) {
    if (result == XA_OK || result == XA_RDONLY || result == XA_NOMIGRATE) return kExitOk;
    if (result >= XA_RBBASE && result <= XA_RBEND) return kExitRolledBack;
    if (result == XA_HEURHAZ || result == XA_HEURCOM || result == XA_HEURRB || result == XA_HEURMIX) {
        return kExitHeuristic;
    }
    if (result == XA_RETRY) return kExitRetry;
    return kExitXaFailure;  // negative codes, and positive ones XA does not define
}

void printResult(const char* what, int32_t result) {
    std::printf("%s: %s (%d)\n", what, xaResultText(result), static_cast<int>(result));
}

int exchangeFailed(const char* what, int32_t status, const MorvalenConnection& c) {
    if (c.endpointCount > 1 && std::strcmp(what, "connect") == 0) {
        // Every endpoint failed; the reason shown is the last one's.
        std::fprintf(stderr, "morvalenctl: connect: no endpoint answered, the last (%s): %s (%s)\n", c.endpoint,
                     clientStatusText(status),
                     status == kClientTlsFailed ? c.tlsError : c.lastErrno != 0 ? std::strerror(c.lastErrno) : "-");
    } else if (status == kClientTlsFailed) {
        std::fprintf(stderr, "morvalenctl: %s: %s (%s)\n", what, clientStatusText(status), c.tlsError);
    } else if (c.lastErrno != 0) {
        std::fprintf(stderr, "morvalenctl: %s: %s (%s)\n", what, clientStatusText(status), std::strerror(c.lastErrno));
    } else {
        std::fprintf(stderr, "morvalenctl: %s: %s\n", what, clientStatusText(status));
    }
    return kExitError;
}

void printCookie(const MorvalenCookie& cookie) {
    if (cookie.length < 0) {
        std::printf("cookie: none\n");
        return;
    }
    std::printf("cookie: %d bytes ", static_cast<int>(cookie.length));
    for (int32_t i = 0; i < cookie.length; ++i) {
        std::printf("%02x", static_cast<unsigned>(cookie.bytes[i]));
    }
    std::printf("\n");
}

// The whole scan unless flags were given: TMSTARTRSCAN first, then further
// requests while a reply comes back full, each at most 7 XIDs.
int runRecover(MorvalenConnection* c, const Options& o) {
    int32_t flags = o.flagsGiven ? o.flags : TMSTARTRSCAN;
    int32_t listed = 0;
    for (;;) {
        MorvalenRecoverList list;
        int32_t result = 0;
        int32_t status = clientRecover(c, flags, &result, &list);
        if (status != kClientOk) {
            return exchangeFailed("recover", status, *c);
        }
        if (result < 0) {
            printResult("recover", result);
            return kExitXaFailure;
        }
        for (int32_t i = 0; i < list.count; ++i) {
            char text[300];
            std::printf("%s\n", xidToText(&list.xids[i], text, sizeof text));
        }
        listed += list.count;
        if (o.flagsGiven || (flags & TMENDRSCAN) != 0) {
            break;
        }
        flags = list.count < kMaxRecoverPerReply ? TMENDRSCAN : TMNOFLAGS;
        if (flags == TMENDRSCAN) {
            // Closes the scan; whatever it lists is still shown.
            continue;
        }
    }
    std::printf("recover: %d branch(es)\n", static_cast<int>(listed));
    return kExitOk;
}

// start, end, prepare, commit; a failure after the start rolls the branch back.
int runCycle(MorvalenConnection* c, const XID& xid) {
    int32_t result = 0;
    MorvalenCookie cookie;
    int32_t status = clientStart(c, &xid, TMNOFLAGS, &result, &cookie);
    if (status != kClientOk) return exchangeFailed("start", status, *c);
    printResult("start", result);
    if (exitCodeFor(result) != kExitOk) return exitCodeFor(result);
    printCookie(cookie);

    status = clientEnd(c, &xid, TMSUCCESS, &result);
    if (status != kClientOk) return exchangeFailed("end", status, *c);
    printResult("end", result);
    int failed = exitCodeFor(result);  // what the cycle exits with if it rolls back
    if (failed == kExitOk) {
        status = clientPrepare(c, &xid, TMNOFLAGS, &result);
        if (status != kClientOk) return exchangeFailed("prepare", status, *c);
        printResult("prepare", result);
        if (result == XA_RDONLY) return kExitOk;  // nothing left to commit
        failed = result == XA_OK ? kExitOk : exitCodeFor(result);
        if (failed == kExitOk) {
            status = clientCommit(c, &xid, TMNOFLAGS, &result);
            if (status != kClientOk) return exchangeFailed("commit", status, *c);
            printResult("commit", result);
            return exitCodeFor(result);
        }
    }
    if (c->fd < 0) {
        // An endpoint of a list answered XAER_RMFAIL, which closed the
        // connection: its service has no active coordinator to roll back
        // with, and an unprepared branch is rolled back by the coordinator.
        return failed;
    }
    status = clientRollback(c, &xid, TMNOFLAGS, &result);
    if (status != kClientOk) return exchangeFailed("rollback", status, *c);
    printResult("rollback", result);
    return failed;
}

struct BranchCommand {
    const char* name;
    uint8_t code;
    int32_t defaultFlags;
};

constexpr BranchCommand kBranchCommands[] = {
    {"start", kRequestStart, TMNOFLAGS},       {"end", kRequestEnd, TMSUCCESS},
    {"prepare", kRequestPrepare, TMNOFLAGS},   {"commit", kRequestCommit, TMNOFLAGS},
    {"rollback", kRequestRollback, TMNOFLAGS}, {"forget", kRequestForget, TMNOFLAGS},
    {"query", kRequestQuery, TMNOFLAGS},
};

int runBranchCommand(MorvalenConnection* c, const BranchCommand& command, const Options& o, const XID& xid) {
    int32_t flags = o.flagsGiven ? o.flags : command.defaultFlags;
    MorvalenReply reply;
    int32_t status = clientRequest(c, command.code, flags, &xid, &reply);
    if (status != kClientOk) {
        return exchangeFailed(command.name, status, *c);
    }
    if (command.code == kRequestQuery) {
        std::printf("query: %s\n", reply.result == 0 ? "branch held" : "no branch");
        return reply.result == 0 ? kExitOk : kExitXaFailure;
    }
    printResult(command.name, reply.result);
    if (command.code == kRequestStart && reply.result >= 0) {
        MorvalenCookie cookie;
        if (decodeCookie(&reply, &cookie) != kClientOk) {
            return exchangeFailed(command.name, kClientBadReply, *c);
        }
        printCookie(cookie);
    }
    return exitCodeFor(reply.result);
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (parseOptions(argc, argv, &o) != 0) {
        usage(stderr);
        return kExitError;
    }
    const BranchCommand* branch = nullptr;
    for (const BranchCommand& b : kBranchCommands) {
        if (std::strcmp(o.command, b.name) == 0) branch = &b;
    }
    bool isCycle = std::strcmp(o.command, "cycle") == 0;
    bool isRecover = std::strcmp(o.command, "recover") == 0;
    if (branch == nullptr && !isCycle && !isRecover) {
        usage(stderr);
        return kExitError;
    }
    XID xid{};
    if (!isRecover) {
        if (o.xidText == nullptr || !xidParseText(o.xidText, o.formatId, &xid) ||
            xid.gtrid_length + xid.bqual_length < 2) {
            std::fprintf(stderr, "morvalenctl: an XID of 2 to 128 bytes is needed: GTRID[:BQUAL], at most 64 each, "
                                 "or FORMAT:GTRID:BQUAL in hex\n");
            return kExitError;
        }
    } else if (o.xidText != nullptr) {
        usage(stderr);
        return kExitError;
    }

    MorvalenConnection c;
    int32_t status = clientConnect(&c, o.host, o.port, o.timeoutMs, o.tls.caFile != nullptr ? &o.tls : nullptr);
    if (status == kClientBadArgument) {
        std::fprintf(stderr, "morvalenctl: --host: not a host or a list of endpoints H[:P],H[:P]...: %s\n", o.host);
        return kExitError;
    }
    if (status != kClientOk) {
        return exchangeFailed("connect", status, c);
    }
    int code = isRecover ? runRecover(&c, o) : isCycle ? runCycle(&c, xid) : runBranchCommand(&c, *branch, o, xid);
    clientClose(&c);
    return code;
}
