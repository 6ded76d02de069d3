// Endpoint lists: the service named by "H[:P][,H[:P]]...", tried in order by
// clientConnect. H is a name or an IPv4 address, or an IPv6 address in
// brackets ("[::1]:1439"), or bare when no port follows it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "MorvalenClient.h"

namespace morvalen {

struct ClientEndpoint {
    char host[kMaxEndpointHost + 1] = {};  // terminated, without brackets
    uint16_t port = 0;                     // 1..65535
};

// Reads the entry of a list that starts at *cursor into *out: blanks around
// it are ignored, and an entry without a port takes defaultPort. *cursor moves
// past the entry's comma, or becomes nullptr after the last entry. False (and
// *out empty) for an empty entry, a host longer than kMaxEndpointHost, a port
// outside 1..65535 (defaultPort included, when taken) or an unclosed bracket;
// *cursor moves on all the same.
[[nodiscard]] bool endpointNext(const char** cursor, uint16_t defaultPort, ClientEndpoint* out);

// Writes "host:port", or "[host]:port" for an IPv6 address, terminated and
// cut to size.
void endpointText(const ClientEndpoint& e, char* out, size_t size);

}  // namespace morvalen
