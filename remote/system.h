// The system's random source and wall clock.
#pragma once

#include <cstddef>
#include <cstdint>

// `n` bytes from the kernel's cryptographic random source; false when it failed.
bool random_bytes(void *out, size_t n);
// Wall-clock milliseconds since 1601-01-01 UTC (the epoch peers use for pairing expiry).
int64_t system_ms_since_1601();
