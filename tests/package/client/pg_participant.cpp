// Links against the installed PostgreSQL participant (libdtc_pg.a, the wire
// library, libxolehlp.so, libpq): a refused cookie answers with a reason.
#include <PgParticipant.h>

#include <cstdio>
#include <string>

int main() {
    std::string reason;
    PgSession* session = pgSessionOpen("dbname=none host=/nonexistent", std::string("\x01\x02", 2), &reason);
    if (session != nullptr) {
        pgSessionClose(session);
        return 1;
    }
    std::printf("refused: %s\n", reason.c_str());
    return reason.empty() ? 1 : 0;
}
