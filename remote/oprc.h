/*
 * Remote-control protocol: decodes the JSON commands a controller sends in
 * UDP datagrams, gives typed access to the current message, builds the JSON
 * replies, and moves datagrams over a loopback UDP socket or a transport the
 * host supplies.
 *
 * State: one process-wide instance (current message, reply builder, socket,
 * peer table, shared secret, last-error text, warning list). There are no
 * handles and nothing to initialise; nothing is freed at unload.
 *
 * Threading: none inside and no locks. Calls must not overlap: use the
 * library from one thread at a time. Transport callbacks and the peer filter
 * run on the calling thread, inside the call that needs them.
 *
 * Results: every fallible call returns one of the OPRC_ codes below and
 * writes its name ("ERR_JSON", ...) into the last-error text. A success does
 * not always rewrite the text, so read it right after a failed call.
 *
 * Strings: returned texts belong to the library. A text accessor's result
 * lives until the next text accessor call, oprc_command_name's until its next
 * call, oprc_result_json's until the next successful decode.
 *
 * Framing: a datagram is the JSON text or its zlib stream, at most 65,536
 * bytes. While a shared secret is set, it starts with a 32-byte HMAC-SHA256
 * tag of the rest, keyed with the secret.
 *
 * Secure framing (level 2): once a key is registered (oprc_v2_register_key,
 * or pairing), every datagram carries a sender id, a 64-bit counter and an
 * HMAC-SHA256 tag under a per-sender key derived from the paired secret, and
 * long messages travel in fragments. Plain datagrams are then refused unless
 * oprc_allow_legacy(1).
 *
 * Limits of the design, which peers rely on:
 * - a plain datagram tagged with the shared secret carries no counter: a
 *   recorded one can be replayed, and reflected back to its sender;
 * - replay windows live in memory only: a restarted host accepts counters
 *   it had seen before it restarted;
 * - the pairing offer carries the secret along with the code, so it must
 *   reach the controller over a trusted path (the screen, a QR code), never
 *   over the network it protects;
 * - a tagged plain datagram whose tag happens to begin with the byte 2 (one
 *   in 256) is taken for a secure datagram and refused;
 * - at most four fragmented messages are collected at once (a fifth is
 *   refused, "v2-reassembly-full", and its fragments are lost): senders of
 *   long messages wait for the answer before sending the next;
 * - the tags authenticate; they do not hide the text.
 */
#ifndef OPRC_H
#define OPRC_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(OPRC_BUILDING)
#define OPRC_API __attribute__((visibility("default")))
#else
#define OPRC_API
#endif

/* Result codes; the last-error text is the name without the OPRC_ prefix ("OK", "ERR_INVALID_ARG", ...). */
enum {
    OPRC_OK = 0,
    OPRC_ERR_INVALID_ARG = 1,     /* NULL or out-of-range argument, full table, output too small */
    OPRC_ERR_INFLATE = 2,         /* compressed payload unreadable, BZip2 payload, compression failed */
    OPRC_ERR_BOMB = 3,            /* inflated size or ratio above the caps */
    OPRC_ERR_JSON = 4,            /* not a JSON object, or an item that cannot be re-serialised */
    OPRC_ERR_UNKNOWN_COMMAND = 5, /* "Command" missing or not a known command */
    OPRC_ERR_TOO_LARGE = 6,       /* datagram above 65,536 bytes, JSON text above 16 MiB */
    OPRC_ERR_UNAUTHENTICATED = 7, /* tag missing or wrong */
    OPRC_ERR_PEER_REJECTED = 8,   /* the peer filter refused the sender, or the peer table is full */
    OPRC_ERR_NOT_ARMED = 9,       /* a URI command while URI commands are not armed */
    OPRC_ERR_BIND = 10,           /* opening, receiving from or sending on the socket or transport failed */
    OPRC_ERR_TIMEOUT = 11,        /* no datagram within the poll time-out */
    OPRC_ERR_OOM = 12,            /* out of memory, or no random bytes */
    OPRC_ERR_PROTOCOL = 13,       /* framing or protocol level not acceptable */
    OPRC_ERR_REPLAY = 14,
    OPRC_ERR_FRAGMENT = 15,
    OPRC_ERR_PAIRING = 16,
};

enum {
    OPRC_COMMAND_COUNT = 41,
    OPRC_MAX_DATAGRAM = 65536,
    OPRC_PEER_CAPACITY = 64,
};

/* Commands carrying a URI; refused with OPRC_ERR_NOT_ARMED until oprc_arm_uri_commands(1). */
enum { OPRC_CMD_OPEN = 30, OPRC_CMD_LOAD_SUBTITLE = 39, OPRC_CMD_PLAY_URI = 40 };

/* ---- commands, levels, errors ---- */

/* Always 41. */
OPRC_API int oprc_command_count(void);
/* Name of command `id` ("TogglePlayPause" ... "PlayUri"), NULL when id > 40. */
OPRC_API const char *oprc_command_name(unsigned int id);
/* Id of the command named `name` (ASCII case ignored), -1 for NULL or an unknown name. */
OPRC_API int oprc_command_id(const char *name);
/* Command id of the current message, -1 when there is none. */
OPRC_API int oprc_command(void);
/* "ContractLevel" of the current message when it is an integer, else 0. */
OPRC_API int64_t oprc_contract_level(void);
/* Protocol level of the last datagram that decoded: 0 (plain) or 2 (secure). */
OPRC_API int oprc_negotiated_level(void);
/* Non-zero: accept plain datagrams even while a secure key is registered. */
OPRC_API void oprc_allow_legacy(int flag);
/* Name of the last failure's code; never NULL, "OK" at load. */
OPRC_API const char *oprc_last_error(void);

/* ---- decoding ---- */

/*
 * Decodes one datagram into the current message. 0 on success. A datagram
 * refused before its JSON text is read (size, tag, inflation, framing) leaves
 * the previous message current; unreadable JSON, a root that is not an object
 * or an unknown command leave none. OPRC_ERR_NOT_ARMED keeps the message
 * current (oprc_command() names it).
 */
OPRC_API int oprc_decode(const void *data, size_t len);
/* Inflated-size cap in bytes (default 4 MiB); values below 64 are ignored. */
OPRC_API void oprc_set_max_inflate(size_t cap);
/* Inflated-to-compressed ratio cap (default 100); values below 1 are ignored. */
OPRC_API void oprc_set_max_ratio(int ratio);
/* Compact JSON of the last successfully decoded message ("" before any). */
OPRC_API const char *oprc_result_json(void);
/* Warnings of the last decode (at most 32 of 95 bytes each). */
OPRC_API int oprc_warning_count(void);
/* Warning `index`, "" when out of range (never NULL). */
OPRC_API const char *oprc_warning(int index);
OPRC_API void oprc_warnings_clear(void);

/*
 * Accessors of the current message. None changes the last-error text.
 * Integers: the value (cut to 32 bits), 0 for a real number, -1 when absent
 * or of another type. Booleans: 1 true, 0 false (an integer counts as its
 * truth, a real as 0), -1 absent or another type. Permille: the number times
 * 1000 rounded half away from zero and saturated to 32 bits, -2 when not
 * finite, -1 when absent or not a number. Texts: a string's characters, NULL
 * for null or absence, the compact JSON of any other value. Durations: the
 * milliseconds of a "[-][D.]HH:MM:SS[.fffffff]" text, -1 when absent or
 * unreadable. Array accessors answer as for absence outside the array. Names
 * beginning with "IMDb." are looked up inside the element's "IMDb" object
 * where noted.
 */
OPRC_API int oprc_state(void);
/* "Position" as an unsigned integer: 0 when absent, negative or not a number; saturated. */
OPRC_API uint64_t oprc_position(void);
OPRC_API int oprc_volume_permille(void);
OPRC_API int oprc_rate_permille(void);
OPRC_API int oprc_is_muted(void);
OPRC_API int oprc_is_locked(void);
OPRC_API int oprc_is_fullscreen(void);
/* "Unlock": -1 absent, 0 false, 1 true. */
OPRC_API int oprc_unlock_tristate(void);
OPRC_API int oprc_open_id(void);
OPRC_API int oprc_effect_id(void);
OPRC_API int oprc_decode_id(void);
OPRC_API const char *oprc_uri(void);
OPRC_API const char *oprc_imdb_id(void);
OPRC_API const char *oprc_poster(void);
/* "DeivceCode" (spelled so on the wire). */
OPRC_API const char *oprc_device_code(void);
/* 1 when "Progress" is an object. */
OPRC_API int oprc_progress_present(void);
OPRC_API int64_t oprc_progress_duration_ms(void);
OPRC_API int64_t oprc_progress_current_ms(void);
OPRC_API const char *oprc_progress_current_text(void);
OPRC_API const char *oprc_progress_remain_text(void);
/* Array lengths; 0 when the member is not an array. */
OPRC_API int oprc_playlist_count(void);
OPRC_API int oprc_recents_count(void);
OPRC_API int oprc_folders_count(void);
OPRC_API int oprc_audio_track_count(void);
OPRC_API int oprc_subtitle_track_count(void);
OPRC_API int oprc_effect_status_count(void);
/* "PlayList"[index] -> name; "IMDb." names allowed. */
OPRC_API const char *oprc_playlist_field(int index, const char *name);
OPRC_API const char *oprc_recents_field(int index, const char *name);
OPRC_API const char *oprc_folder_name(int index);
/* 1 true, 0 false, -1 anything else. */
OPRC_API int oprc_folder_has_subfolder(int index);
OPRC_API const char *oprc_audio_track_name(int index);
OPRC_API int oprc_audio_track_index(int index);
OPRC_API const char *oprc_subtitle_track_name(int index);
OPRC_API int oprc_subtitle_track_index(int index);
/* "Item" -> name; "IMDb." names allowed. */
OPRC_API const char *oprc_item_field(const char *name);
OPRC_API const char *oprc_folder_field(const char *name);
OPRC_API const char *oprc_audio_track_field(const char *name);
OPRC_API const char *oprc_subtitle_track_field(const char *name);
/* "IsOn": "true"/"false" (NULL for other types); "Effect": the integer as text ("0" for a real); else a text. */
OPRC_API const char *oprc_effect_status_field(int index, const char *name);
/* "DecodeStatus" -> name: 1 true, 0 false, -1 otherwise. */
OPRC_API int oprc_decode_status_field(const char *name);

/* ---- reply builder ---- */

/*
 * One reply at a time: oprc_build_begin starts it (and forgets the previous
 * one), setters add members, oprc_build_finish writes the text in a fixed
 * member order. Without an active reply, and for a missing required text,
 * every call below except begin, size_estimate and encode gives
 * OPRC_ERR_INVALID_ARG. Texts are cut at their capacity without splitting a
 * UTF-8 character: keys and string values 4,095 bytes, progress texts 255,
 * names 159. Raw JSON texts (item, folder, recents entry) longer than 4,095
 * bytes are refused with OPRC_ERR_INVALID_ARG.
 */
OPRC_API int oprc_build_begin(unsigned int command);
/* String member; NULL `value` removes a string member of that key. At most 64 members. */
OPRC_API int oprc_build_set_str(const char *key, const char *value);
OPRC_API int oprc_build_set_i64(const char *key, int64_t value);
OPRC_API int oprc_build_set_bool(const char *key, int value);
/* -1 leaves "Unlock" out, 0 false, 1 true; else OPRC_ERR_INVALID_ARG. */
OPRC_API int oprc_build_set_unlock(int value);
/* "Item" and "Folder" as raw JSON, written unchanged. */
OPRC_API int oprc_build_set_item_json(const char *json);
OPRC_API int oprc_build_set_folder_json(const char *json);
/* "Progress" with two durations in ms; NULL texts leave those texts as they were. */
OPRC_API int oprc_build_set_progress(int64_t duration_ms, int64_t current_ms, const char *current_text,
                                     const char *remain_text);
/* A "PlayList" entry: a JSON object, re-serialised with its "IMDb" object reduced to the known keys.
   OPRC_ERR_JSON when it is no object or does not fit 4,094 bytes. Items and recents share 1,024 places. */
OPRC_API int oprc_build_add_playlist_item(const char *item_json);
/* A "Recents" entry, written unchanged. */
OPRC_API int oprc_build_add_recents_item(const char *json);
OPRC_API int oprc_build_add_folder(const char *name, int has_subfolder); /* at most 1,024 */
OPRC_API int oprc_build_add_audio_track(const char *name, int index);    /* at most 256 */
OPRC_API int oprc_build_add_subtitle_track(const char *name, int index); /* at most 256 */
OPRC_API int oprc_build_set_audio_track(const char *name, int index);
OPRC_API int oprc_build_set_subtitle_track(const char *name, int index);
OPRC_API int oprc_build_add_effect_status(int effect, int on);           /* at most 64 */
OPRC_API int oprc_build_set_decode_status(int force_video, int force_audio, int system_decode);
/* Writes the reply text and its NUL into `buf`; OPRC_ERR_INVALID_ARG when it does not fit `cap`.
   The reply stays and can be changed and finished again. */
OPRC_API int oprc_build_finish(char *buf, size_t cap, size_t *out_len);
/* Room oprc_encode needs for the current reply (compression bound plus the tag), 0 when inactive
   or when the reply exceeds 1 MiB. */
OPRC_API size_t oprc_build_size_estimate(void);
/* Frames `json` as a datagram: zlib stream, preceded by the tag while a shared secret is set.
   OPRC_ERR_TOO_LARGE above 65,536 bytes, OPRC_ERR_INVALID_ARG when it does not fit `cap`. */
OPRC_API int oprc_encode(const char *json, void *out, size_t cap, size_t *out_len);

/* ---- transport ---- */

/*
 * A host transport. NULL callbacks fall back to the built-in loopback socket
 * (open, send, recv) or are skipped (close). Peer indexes are the transport's
 * own. recv returns > 0 for a datagram (at most `cap` bytes), 0 for a
 * time-out, < 0 for a failure. The table must stay valid until replaced.
 */
typedef struct oprc_transport {
    void *ctx;
    int (*open)(void *ctx, unsigned port, int *bound_port);
    int (*send)(void *ctx, int peer, const void *data, size_t len);
    int (*recv)(void *ctx, int timeout_ms, void *buf, size_t cap, size_t *len, int *peer);
    void (*close)(void *ctx);
} oprc_transport;

/* Returns non-zero to refuse datagrams from `peer`. */
typedef int (*oprc_peer_filter)(int peer, void *ctx);

/* Opens the built-in socket on 127.0.0.1:`port` (0 = any free port) or the transport.
   OPRC_ERR_INVALID_ARG above 65535, OPRC_ERR_BIND when already open or on failure. */
OPRC_API int oprc_listen(unsigned int port);
/* Port bound by the last oprc_listen, 0 after oprc_stop, -1 when unknown. */
OPRC_API int oprc_listen_bound_port(void);
/*
 * Waits up to `timeout_ms` (negative: OPRC_ERR_BIND) for one datagram and
 * decodes it (oprc_decode). OPRC_ERR_TIMEOUT when nothing came. On the
 * built-in socket the sender becomes the last peer; the first 64 senders get
 * indexes 0..63, later ones are refused with OPRC_ERR_PEER_REJECTED.
 */
OPRC_API int oprc_poll(int timeout_ms);
/* Sends one datagram to `peer` as given (framing is the caller's). */
OPRC_API int oprc_send_to(int peer, const void *data, size_t len);
/* Closes the socket or transport and empties the peer table. Always 0. */
OPRC_API int oprc_stop(void);
/* Replaces the transport (NULL = built-in socket); stops an open built-in socket first. Always 0. */
OPRC_API int oprc_set_transport(const oprc_transport *table);
/* The raw bytes of `secret` (at most 256) become the shared secret; NULL or "" turns it off. */
OPRC_API void oprc_set_shared_secret(const char *secret);
/* No effect: authentication is on exactly while a shared secret is set. */
OPRC_API void oprc_require_auth(void);
OPRC_API void oprc_set_peer_filter(oprc_peer_filter filter, void *ctx);
/* Non-zero arms the URI commands ("Open", "LoadSubtitle", "PlayUri"). */
OPRC_API void oprc_arm_uri_commands(int armed);
/* Peer of the last datagram received on the built-in socket or of the last oprc_send_to, -1 at load. */
OPRC_API int oprc_last_peer(void);
/* Always 1. */
OPRC_API int oprc_last_peer_count(void);

/* ---- secure datagrams (level 2) ---- */

/*
 * Datagram layout (big-endian): version 2 (1 byte), registration value (4),
 * sender id (4), counter (8), message id (4), fragment index (2), fragment
 * count (2), payload length n (4), payload (n), HMAC-SHA256 tag (32) of all
 * bytes before it. A message is the zlib stream of its JSON text, sent in
 * fragments of 1,411 bytes.
 */
enum {
    OPRC_V2_HEADER = 29,
    OPRC_V2_OVERHEAD = 61,
    OPRC_V2_FRAGMENT = 1411,
    OPRC_V2_MAX_PAYLOAD = 65475,
};

/* Called with every counter sent and every counter accepted (to persist them, for instance). */
typedef void (*oprc_v2_counter_sink)(void *ctx, unsigned sender_id, uint64_t counter);
/* Milliseconds; the default clock counts from 1601-01-01 UTC. */
typedef int64_t (*oprc_v2_clock)(void);
/* Receives each datagram of oprc_v2_send; `datagram` is valid during the call only. */
typedef void (*oprc_v2_send_fn)(void *user, const void *datagram, size_t len, unsigned frag_index,
                                unsigned frag_count);

/*
 * Registers this host's identity `sender_id` with a secret of 32 to 64 bytes
 * in standard base64 (line breaks, blanks and '=' are skipped). Senders 0 and
 * 1 send with one derived key and verify with the other; senders 2 and above
 * the other way round, so two peers register the same secret as 1 and 2.
 * Re-registering a sender id restarts its counter at 1. At most four ids.
 */
OPRC_API int oprc_v2_register_key(unsigned sender_id, const char *secret_b64, unsigned reg_value);
/* Forgets every key, replay window and partly received message. */
OPRC_API void oprc_v2_reset_keys(void);
/* 1 when a key is registered. */
OPRC_API int oprc_v2_key_registered(void);
/* Next counter of the first registered identity, 0 when none. */
OPRC_API uint64_t oprc_v2_next_counter(void);
OPRC_API void oprc_v2_set_counter_sink(oprc_v2_counter_sink sink, void *ctx);
/* NULL restores the system clock. */
OPRC_API void oprc_v2_set_clock(oprc_v2_clock clock);
/* Writes one datagram tagged with `key32`. OPRC_ERR_TOO_LARGE above 65,475 payload bytes. */
OPRC_API int oprc_v2_build_datagram(unsigned reg_value, unsigned sender_id, uint64_t counter, unsigned msg_id,
                                    unsigned frag_index, unsigned frag_count, const void *payload,
                                    size_t payload_len, const uint8_t *key32, void *out, size_t cap,
                                    size_t *out_len);
/* 0 when the datagram is well formed and its tag matches `key32`, else -1. Leaves the error text alone. */
OPRC_API int oprc_v2_verify_datagram(const void *datagram, size_t len, const uint8_t *key32);
/*
 * Sends `json` compressed, in fragments, under the first registered identity
 * whose sender id is not `exclude_sender`, handing each datagram to `send`.
 * OPRC_ERR_PROTOCOL when there is no such identity.
 */
OPRC_API int oprc_v2_send(const char *json, unsigned exclude_sender, oprc_v2_send_fn send, void *user);
/* Messages partly received (0..4); entries older than 10 s are dropped by the next secure datagram. */
OPRC_API int oprc_v2_reassembly_pending(void);

/* ---- pairing ---- */

/*
 * Starts a pairing: draws a secret, derives a six-digit code from it and
 * writes the offer {"device_id":...,"secret_b64":...,"code":...,"expires":...}
 * ("expires" in seconds of the library clock, five minutes ahead) into `out`.
 * A new call replaces the pending pairing.
 */
OPRC_API int oprc_v2_begin_pairing(const char *device_id, char *out, size_t cap);
/*
 * Checks an answer carrying the offer's "code", "secret_b64" and "expires"
 * against the pending pairing and, when it matches before the offer expires,
 * registers the secret as sender id `role` (1 or 2; the controller takes the
 * other). OPRC_ERR_PAIRING for a mismatch, an expired or missing pairing, and
 * for one minute after five failed attempts.
 */
OPRC_API int oprc_v2_accept_pairing(const char *answer_json, int role);

/* ---- hashing ---- */

/* SHA-256 over a caller-owned context. */
typedef struct sha256_ctx {
    uint32_t state[8];
    uint64_t count; /* bytes hashed */
    uint8_t block[64];
} sha256_ctx;

OPRC_API void sha256_init(sha256_ctx *ctx);
OPRC_API void sha256_update(sha256_ctx *ctx, const void *data, size_t len);
/* Writes the digest and wipes the context. */
OPRC_API void sha256_final(sha256_ctx *ctx, uint8_t out32[32]);
/* 0, or -1 when `out32` is NULL. */
OPRC_API int sha256_hash(const void *data, size_t len, uint8_t out32[32]);
OPRC_API int hmac_sha256(const void *key, size_t key_len, const void *msg, size_t msg_len, uint8_t out32[32]);

#ifdef __cplusplus
}
#endif

#endif
