// The probe reads the echo-reply record by its fields; on 32-bit Windows they must sit where
// the system's ICMP helper library writes them, so a wrong header or packing fails the build.
#include <cstddef>

#include "platform.h"

#ifndef _WIN64
static_assert(sizeof(ICMP_ECHO_REPLY) == 28, "ICMP_ECHO_REPLY is 28 bytes on 32-bit Windows");
static_assert(offsetof(ICMP_ECHO_REPLY, Address) == 0);
static_assert(offsetof(ICMP_ECHO_REPLY, Status) == 4);
static_assert(offsetof(ICMP_ECHO_REPLY, RoundTripTime) == 8);
static_assert(offsetof(ICMP_ECHO_REPLY, DataSize) == 12);
static_assert(offsetof(ICMP_ECHO_REPLY, Data) == 16);
static_assert(offsetof(ICMP_ECHO_REPLY, Options.Ttl) == 20);
static_assert(sizeof(IPAddr) == 4 && sizeof(ULONG) == 4 && sizeof(USHORT) == 2);
#else
// 64-bit Windows widens the data pointer, and the record with it, to 40 bytes.
static_assert(sizeof(ICMP_ECHO_REPLY) == 40, "ICMP_ECHO_REPLY is 40 bytes on 64-bit Windows");
static_assert(offsetof(ICMP_ECHO_REPLY, Data) == 16);
static_assert(offsetof(ICMP_ECHO_REPLY, Options.Ttl) == 24);
#endif
