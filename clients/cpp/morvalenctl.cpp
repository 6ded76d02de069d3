// morvalenctl: sends XA requests to a Morvalen service from the command line.
//
//   morvalenctl [--host H] [--port P] [--format N] [--flags F] [--timeout MS]
//               [--tls-ca FILE [--tls-cert FILE --tls-key FILE] [--tls-name NAME]] COMMAND [XID]
//
// --tls-ca turns TLS on: the service's certificate must chain to FILE and
// carry NAME (default: the host); --tls-cert and --tls-key present this
// client's certificate to a service that demands one.
//
// Each invocation is one connection. The service keys branches by XID, so a
// branch started by one invocation can be ended, prepared and committed by the
// next ones. Exit status: 0 on success, 1 when the service answered with a
// failure (or a query found no branch), 2 when the exchange itself failed or
// the command line is wrong.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <strings.h>

#include "MorvalenClient.h"

using namespace morvalen;

namespace {

constexpr int kExitOk = 0;
constexpr int kExitXaFailure = 1;
constexpr int kExitError = 2;

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
                 "     the format identifier is --format (default %d)\n"
                 "F:   flag names joined by '|' or ',' (TMJOIN, TMSUSPEND, TMRESUME, TMSUCCESS, TMFAIL,\n"
                 "     TMONEPHASE, TMSTARTRSCAN, TMENDRSCAN, ...) or a number\n"
                 "defaults: end TMSUCCESS, others TMNOFLAGS; recover scans with TMSTARTRSCAN, TMNOFLAGS, TMENDRSCAN\n"
                 "TLS: --tls-ca verifies the service against FILE and NAME (default: the host);\n"
                 "     --tls-cert and --tls-key present a client certificate\n"
                 "exit: 0 success, 1 the service answered a failure (query: no branch), 2 other errors\n",
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

void printResult(const char* what, int32_t result) {
    std::printf("%s: %s (%d)\n", what, xaResultText(result), static_cast<int>(result));
}

int exchangeFailed(const char* what, int32_t status, const MorvalenConnection& c) {
    if (status == kClientTlsFailed) {
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
    if (result < 0) return kExitXaFailure;
    printCookie(cookie);

    status = clientEnd(c, &xid, TMSUCCESS, &result);
    if (status != kClientOk) return exchangeFailed("end", status, *c);
    printResult("end", result);
    bool ok = result >= 0;
    if (ok) {
        status = clientPrepare(c, &xid, TMNOFLAGS, &result);
        if (status != kClientOk) return exchangeFailed("prepare", status, *c);
        printResult("prepare", result);
        ok = result == XA_OK || result == XA_RDONLY;
        if (result == XA_RDONLY) return kExitOk;  // nothing left to commit
    }
    if (ok) {
        status = clientCommit(c, &xid, TMNOFLAGS, &result);
        if (status != kClientOk) return exchangeFailed("commit", status, *c);
        printResult("commit", result);
        return result >= 0 ? kExitOk : kExitXaFailure;
    }
    status = clientRollback(c, &xid, TMNOFLAGS, &result);
    if (status != kClientOk) return exchangeFailed("rollback", status, *c);
    printResult("rollback", result);
    return kExitXaFailure;
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
    return reply.result >= 0 ? kExitOk : kExitXaFailure;
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
        if (o.xidText == nullptr || xidFromText(o.xidText, o.formatId, &xid) != kClientOk ||
            xid.gtrid_length + xid.bqual_length < 2) {
            std::fprintf(stderr, "morvalenctl: an XID of 2 to 128 bytes is needed: GTRID[:BQUAL], at most 64 each\n");
            return kExitError;
        }
    } else if (o.xidText != nullptr) {
        usage(stderr);
        return kExitError;
    }

    MorvalenConnection c;
    int32_t status = clientConnect(&c, o.host, o.port, o.timeoutMs, o.tls.caFile != nullptr ? &o.tls : nullptr);
    if (status != kClientOk) {
        return exchangeFailed("connect", status, c);
    }
    int code = isRecover ? runRecover(&c, o) : isCycle ? runCycle(&c, xid) : runBranchCommand(&c, *branch, o, xid);
    clientClose(&c);
    return code;
}
