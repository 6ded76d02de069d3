// Export of a branch's DTC transaction as a transaction cookie.
#pragma once

#include <cstdint>

// Exports the calling thread's DTC transaction (the branch it started with
// DTC_XaStart) as a cookie for the local coordinator's whereabouts. Must run on
// the thread that started the branch. Holds bridgeLock for its whole run, the
// coordinator calls included, so an export never overlaps a bind, an unbind,
// a registry operation or a handler's DTC call; *cookie and *cookieLength are
// written under it (only the worker of the branch writes them).
//
// 0: *cookie holds a new buffer (new[]) of *cookieLength bytes, owned by the
// caller from now on; or, when only the whereabouts buffer could not be
// allocated, *cookie is left null ("getCookie 3:" with 0 is reported).
// Otherwise the failing DTC code, or XAER_RMERR when the cookie buffer cannot
// be allocated, or XAER_RMFAIL when the binding no longer stands; *cookie is
// then left null (the caller passes it null) and *cookieLength may hold the
// size that Export wrote. Each failure is reported with its "getCookie N:" text.
// An exception passes through to the caller after every clean-up has run.
[[nodiscard]] int32_t getCookie(uint8_t** cookie, uint32_t* cookieLength);
