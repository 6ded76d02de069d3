// One whole two-phase branch through the installed client: start, end,
// prepare, commit. Prints each answer; exit 0 only when all were XA_OK.
#include <MorvalenClient.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    const char* name = argc > 1 ? argv[1] : "installed-client:1";
    morvalen::MorvalenConnection connection;
    int32_t status = morvalen::clientConnect(&connection, "127.0.0.1", morvalen::kDefaultPort, 5000);
    if (status != morvalen::kClientOk) {
        std::printf("connect: %s\n", morvalen::clientStatusText(status));
        return 2;
    }
    XID xid{};
    if (morvalen::xidFromText(name, morvalen::kDefaultFormatId, &xid) != morvalen::kClientOk) return 2;

    int32_t result = 0;
    morvalen::MorvalenCookie cookie;
    int failures = 0;
    auto report = [&](const char* step, int32_t clientStatus) {
        std::printf("%s: %s\n", step,
                    clientStatus == morvalen::kClientOk ? morvalen::xaResultText(result)
                                                        : morvalen::clientStatusText(clientStatus));
        if (clientStatus != morvalen::kClientOk || result != XA_OK) ++failures;
    };
    report("start", morvalen::clientStart(&connection, &xid, TMNOFLAGS, &result, &cookie));
    report("end", morvalen::clientEnd(&connection, &xid, TMSUCCESS, &result));
    report("prepare", morvalen::clientPrepare(&connection, &xid, TMNOFLAGS, &result));
    report("commit", morvalen::clientCommit(&connection, &xid, TMNOFLAGS, &result));
    morvalen::clientClose(&connection);
    return failures == 0 ? 0 : 1;
}
