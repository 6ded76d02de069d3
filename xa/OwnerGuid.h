// The recovery GUID of a client certificate name, for the resource manager
// that keeps that client's branches apart at the coordinator
// (MORVALEN_TLS_ISOLATE_CLIENTS=1).
#pragma once

#include <cstddef>

// The recovery GUID the service's default open string carries; the names'
// GUIDs are derived from it.
constexpr const char* kServiceRecoveryGuid = "7592BBA9-26B4-421A-AE43-6E27A5BFD134";

constexpr size_t kGuidTextLength = 36;  // 8-4-4-4-12 hexadecimal digits and hyphens

// The name-based (version 5) UUID of the name's bytes in the namespace
// kServiceRecoveryGuid: SHA-1 over the namespace's 16 bytes and the name,
// the first 16 bytes of the digest, version 5 and the RFC 4122 variant set.
// The same name gives the same GUID in every run and on every host. Written
// as 36 upper-case characters and a terminating zero into text.
void ownerRecoveryGuid(const char* name, char (&text)[kGuidTextLength + 1]) noexcept;
