// Fuzz target: dtcd's message decoder and branch state machine. The input is
// the byte stream one client sends; it is cut into request frames as dtcd's
// event loop cuts it and each frame goes through handleRequest against a
// coordinator over a real store. After every request the coordinator's
// invariants are checked (see DtcdHarness.cpp); at the end every request must
// have had exactly one answer, and once the client has gone only prepared or
// heuristic branches may remain.
#include <cstdint>
#include <string_view>

#include "DtcdHarness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    dtcdfuzz::Session s;
    dtcdfuzz::begin(&s);
    (void)dtcdfuzz::frames(&s, std::string_view(reinterpret_cast<const char*>(data), size));
    dtcdfuzz::end(&s);
    return 0;
}
