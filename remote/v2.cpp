// Secure datagrams (first byte 2). No key can be registered yet, so every one
// is refused as a framing this host does not speak.
#include "oprc_internal.h"

bool v2_key_in_use() { return false; }

int decode_v2(const uint8_t *, size_t) { return set_err(OPRC_ERR_PROTOCOL); }
