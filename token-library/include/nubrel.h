/*
 * libnubrel - the Nubrel session token.
 *
 * A Nubrel token is a key=value payload, zlib-compressed, encrypted with
 * AES or Triple-DES in CBC mode, protected by an HMAC-SHA-1 digest and
 * written in URL-safe base64 text ("*" as padding).
 *
 * Conventions: functions return 0 on success and -1 on failure
 * (nubrel_decode also -2 for a token that is invalid once base64-decoded);
 * predicates return 1 or 0; pointer results are NULL on failure. Every
 * buffer the library hands out is released with nubrel_free (arrays of
 * values with nubrel_free_values_array, decoded records with
 * nubrel_free_tokendata). Every failure is logged through the web server's
 * error log, or to standard error outside the web server.
 *
 * This header compiles as C99 and as C++.
 */
#ifndef NUBREL_H
#define NUBREL_H

#include <stdint.h>
#include <stddef.h>

#if defined(NUBREL_BUILDING)
#define NUBREL_API __attribute__((visibility("default")))
#else
#define NUBREL_API
#endif

/* Results that a caller must look at: ignoring them leaks a buffer, or uses
 * an output, a payload or a configuration that is not there. */
#if defined(__GNUC__)
#define NUBREL_MUST_USE __attribute__((warn_unused_result))
#else
#define NUBREL_MUST_USE
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The web server's server record; only its address is handled here. */
struct server_rec;

/* Library version, as added to the web server's banner. */
#define NUBREL_LIBRARY_VERSION "Nubrel/2.3.1"

/*
 * The built-in PBKDF2 salt of a new instance: 8 zero bytes. Every party that
 * issues or reads tokens with the default salt must use exactly these bytes.
 */
#define NUBREL_DEFAULT_SALT_LENGTH 8
#define NUBREL_DEFAULT_SALT "\0\0\0\0\0\0\0\0"

/* Default PBKDF2 iteration count and cipher suite of a new instance. */
#define NUBREL_DEFAULT_ITERATIONS 1000
#define NUBREL_DEFAULT_CIPHER_SUITE 1

/* Cipher suite identifiers. */
#define NUBREL_SUITE_NULL 0    /* no encryption, plain SHA-1 digest */
#define NUBREL_SUITE_AES256 1  /* AES-256-CBC, HMAC-SHA-1 */
#define NUBREL_SUITE_AES128 2  /* AES-128-CBC, HMAC-SHA-1 */
#define NUBREL_SUITE_3DES 3    /* Triple-DES EDE CBC, HMAC-SHA-1 */

/* Opaque library instance ("NBR API instance"). */
typedef struct nubrel_instance nubrel_instance;

/* Key manager directions. */
#define NUBREL_KEY_FOR_ENCRYPTION 0
#define NUBREL_KEY_FOR_DECRYPTION 1

/*
 * Caller-supplied key source. Returns 0 when it stored a key buffer
 * (allocated with malloc; the library frees it) and its length; when
 * decoding, -1 means the key was not found or has expired. The three
 * arguments are passed through unchanged from nubrel_encode/nubrel_decode.
 */
typedef int (*keymanager_callback)(int32_t direction,
                                   const unsigned char *keyinfo,
                                   int32_t keyinfo_length,
                                   int32_t cipher_suite,
                                   unsigned char **key,
                                   int32_t *key_length,
                                   void *arg1, void *arg2, void *arg3);

/* A decoded token: filled by nubrel_decode, read by nubrel_encode. */
typedef struct nubrel_tokendata {
    uint8_t version;
    uint8_t cipher_suite;
    uint8_t keyinfo_length;
    unsigned char *keyinfo;
    uint32_t payload_length;
    char *payload;
} nubrel_tokendata;

/* Decompressed payloads larger than this are refused by nubrel_decode. */
#define NUBREL_MAX_PAYLOAD_LENGTH (1024 * 1024)

/* ---- Instance and library ----------------------------------------------
 *
 * Order of use: nubrel_initialize once per process; inside the web server
 * nubrel_set_module_servrec and set_nubrel_verbose_level; an instance per
 * configuration (nubrel_create_instance, then its setters or
 * set_quorvelagent_configuration_file); tokens; nubrel_release_instance.
 * The process-wide settings are meant to be written during start-up only;
 * an instance's settings while it is configured. Decoding and encoding only
 * read the instance, so threads may share one configured instance.
 *
 * Every operation on a handle checks it first: a null handle logs the
 * operation's "... - handle is null" error, a handle that is not (or no
 * longer) a live instance logs "The handle of NBR API instance is not
 * valid" and then the operation's "... - handle is not valid" error.
 */

/* Checks that the zlib found at run time is of the major version the library
 * needs, logs the library, zlib and OpenSSL versions (detail) and makes sure
 * OpenSSL's random generator is seeded (seeding it if not). 0, or -1 with
 * "Incompatible zlib version - a required major version number exceeds the
 * available one". Call once before any token work; calling it again only
 * checks and logs. */
NUBREL_API NUBREL_MUST_USE int32_t nubrel_initialize(void);

/* "Nubrel/2.3.1", a constant string (never freed), for the server banner. */
NUBREL_API const char *get_nubrel_library_version(void);

/* The web server's main server record: from now on every library line of
 * every instance goes to its error log. Only the address is kept; it must
 * stay valid while the library logs. Logs "Setting calling module's servrec
 * to %p" (detail) through the record set before. Outside the web server no
 * record is needed: lines go to standard error as "[nubrel:CLASS] text". */
NUBREL_API void nubrel_set_module_servrec(struct server_rec *server);

/* The library's own verbose level, 0 to 5: errors are always written,
 * warnings from 1, progress lines from 2, detail lines from 3, hex dumps
 * of digests, IVs and encrypted payloads from 4 (never keys or passwords).
 * A level above 5, or equal to the current one, changes nothing. Returns
 * the level in force afterwards; "Changed verbose level of the Nubrel
 * library from %i to %i" is logged (detail) when it changed. */
NUBREL_API int32_t set_nubrel_verbose_level(uint32_t level);

/* A new instance with the defaults: compression level 9, cipher suite 1,
 * no password, no key manager, the built-in salt (NUBREL_DEFAULT_SALT) and
 * NUBREL_DEFAULT_ITERATIONS. NULL with "Cannot create an NBR API instance -
 * out of memory". Release it with nubrel_release_instance, not
 * nubrel_free. */
NUBREL_API NUBREL_MUST_USE nubrel_instance *nubrel_create_instance(void);

/* Releases the instance with its password and derived keys, both
 * overwritten first (the salt is the caller's and stays). The handle must
 * not be used afterwards, by any thread: release only when nothing uses the
 * instance any more. 0/-1 ("Cannot release an NBR API instance - handle is
 * null/not valid"). */
NUBREL_API int32_t nubrel_release_instance(nubrel_instance *handle);

/* zlib level for nubrel_encode: -1 (zlib's default) or 0 to 9. Another
 * level fails with "Cannot set compression level for the NBR API instance -
 * level %i is not valid" and the old one stays. 0/-1. */
NUBREL_API int32_t set_nubrel_zlib_compression_level(nubrel_instance *handle, int32_t level);
/* Stores the level into *level (when level is not NULL). 0/-1. */
NUBREL_API int32_t get_nubrel_zlib_compression_level(nubrel_instance *handle, int32_t *level);

/* The instance's cipher suite (NUBREL_SUITE_*), as the agent file's
 * cipher-suite sets it. nubrel_encode does not use it: a token is
 * encrypted under the suite of its record. An unknown suite fails with
 * "Cannot set cipher suite for the NBR API instance - suite %i is not
 * valid" and the old one stays. 0/-1. */
NUBREL_API int32_t set_nubrel_cipher_suite(nubrel_instance *handle, int32_t suite);
/* The same with the suite as decimal text: "2" and "2.9" give 2, text
 * without a number gives 0. NULL or "" fails ("... - suite ID string is
 * null/empty"). 0/-1. */
NUBREL_API int32_t set_nubrel_cipher_suite_str(nubrel_instance *handle, const char *suite);
/* Stores the suite into *suite (when suite is not NULL). 0/-1. */
NUBREL_API int32_t get_nubrel_cipher_suite(nubrel_instance *handle, int32_t *suite);

/* For diagnosis only: cipher suite 0 (no encryption) and compression level
 * 0, so that the payload of the instance's tokens stands readable in them.
 * Note that nubrel_encode still encrypts under the suite of its record.
 * 0/-1. */
NUBREL_API int32_t set_nubrel_debug_mode(nubrel_instance *handle);

/* PBKDF2 iteration count, 2 or more (default 1000); a smaller count fails
 * with "Cannot set iterations number for the NBR API instance - number of
 * iterations %i is incorrect (should be 2 or above)". 0/-1. */
NUBREL_API int32_t set_nubrel_iterations_number(nubrel_instance *handle, int32_t iterations);
/* Stores the count into *iterations (when not NULL). 0/-1. */
NUBREL_API int32_t get_nubrel_iterations_number(nubrel_instance *handle, int32_t *iterations);

/* The PBKDF2 salt. Neither copied nor checked: the bytes stay the caller's
 * and must stay alive and unchanged while the instance is used. Silent;
 * 0/-1. */
NUBREL_API int32_t set_nubrel_salt(nubrel_instance *handle, const unsigned char *salt, int32_t salt_length);

/* The password from which the token keys are derived, given as the standard
 * base64 text of its bytes (as the agent file's "password" line holds it).
 * The decoded bytes are copied; a password set before is replaced (warning
 * "Releasing the previously set password for password-based keys
 * generation..."). NULL, "" or text that is not base64 fails ("Cannot set
 * password for password-based keys generation - password is NULL/empty",
 * "Cannot deobfuscate password for the password-based keys generation") and
 * leaves the old password. 0/-1: on -1 tokens are not keyed as meant. */
NUBREL_API NUBREL_MUST_USE int32_t set_nubrel_password(nubrel_instance *handle, const char *password_b64);
/* The same for the base64 text of a password obfuscated with the tool's
 * "obfuscate-password" command: the obfuscation is removed at once. 0 only
 * when that succeeded too. */
NUBREL_API NUBREL_MUST_USE int32_t set_nubrel_obfuscated_password(nubrel_instance *handle, const char *password_b64);

/* Installs a key source (NULL removes it). nubrel_decode and nubrel_encode
 * ask it only while keys cannot be derived from a password
 * (is_password_based_generation_available is 0). 0/-1. */
NUBREL_API int32_t set_keymanager(nubrel_instance *handle, keymanager_callback callback);
/* 1 when a key manager is installed, else 0 (also for a bad handle). */
NUBREL_API int32_t is_keymanager_available(nubrel_instance *handle);
/* 1 when keys can be derived from a password: the instance has a password,
 * a salt and 2 or more iterations. Else 0, logging each missing part
 * ("Password-based generation is not available - password is NULL", at
 * detail class; the others at warning or error class). */
NUBREL_API int32_t is_password_based_generation_available(nubrel_instance *handle);

/* Reads the agent configuration file at path ("key = value" lines, "#"
 * comments) and applies its password, cipher-suite and obfuscate-password
 * keys; other keys are the caller's and ignored here. -1 when the file is
 * missing, empty or unreadable, a line lacks "=", a value is refused by its
 * setter, or no password is defined ("Configuration file is not valid -
 * password is not defined"); each cause is logged. Settings applied before
 * a failure stay applied: release the instance on -1. Progress lines:
 * "Parsing Quorvel Agent's configuration file: \"%s\"" and "Succeeded to
 * parse the Quorvel Agent's configuration file". */
NUBREL_API NUBREL_MUST_USE int32_t set_quorvelagent_configuration_file(nubrel_instance *handle, const char *path);

/* ---- Cipher suites, keys and randomness ----------------------------------
 *
 * Suites: 0 null (tests only: no encryption, plain SHA-1), 1 AES-256-CBC,
 * 2 AES-128-CBC, 3 Triple-DES-CBC with three independent keys; keys of 32,
 * 16 and 24 bytes, IVs of 16, 16 and 8 bytes.
 */

/* 1 for suites 0 to 3, else 0. Silent. */
NUBREL_API int32_t is_valid_cipher_suite(int32_t suite);
/* The suite's name, a constant string (never freed), such as "AES, key
 * size 128 bits, CBC mode, PKCS5 padding"; NULL for an unknown suite.
 * Silent. */
NUBREL_API const char *nubrel_get_cipher_suite_name(int32_t suite);

/* Derives the suite's key (32, 16 or 24 bytes) with PBKDF2-HMAC-SHA-1 from
 * the password bytes (not base64; a first byte 0 counts as empty), the salt
 * and the iteration count. On 0, *key is a new buffer of *key_length bytes:
 * overwrite it with zeros and release it with nubrel_free. On -1 both are
 * cleared and the cause is logged ("Cannot generate a password based key -
 * ...", "Cannot generate a password based key for the NULL cipher
 * suite"). */
NUBREL_API NUBREL_MUST_USE int32_t generate_password_based_key(const unsigned char *password, int32_t password_length,
                                                               int32_t suite,
                                                               const unsigned char *salt, int32_t salt_length,
                                                               int32_t iterations,
                                                               unsigned char **key, int32_t *key_length);
/* Fills the caller's buffer with length cryptographically strong random
 * bytes from OpenSSL (seeding its generator first if it needs it). 0/-1
 * ("Cannot generate cryptographically strong pseudo-random IV buffer");
 * on -1 the buffer holds no random bytes. */
NUBREL_API NUBREL_MUST_USE int32_t generate_random_ivec(unsigned char *buffer, int32_t length);

/* ---- Base64: standard ("=" padding) and URL-safe modified ("*" padding) --
 *
 * The standard codec reads passwords; the URL-safe one ("-" and "_" for 62
 * and 63, "*" as padding) is the text form of tokens. Both pad to a
 * multiple of 4 and never break lines.
 *
 * All four read input_length bytes of input (no terminating NUL needed) and
 * clear *output and *output_length first. On 0, *output is a new
 * NUL-terminated buffer (the NUL not counted in *output_length): release it
 * with nubrel_free. On -1 nothing is allocated and the cause is logged:
 * "Cannot base64 [url safe] encode/decode - input data is not available"
 * (NULL or length <= 0), "... - source buffer is not multiple of 4", "... -
 * source buffer has illegal characters" (padding only at the very end, at
 * most two characters). The encoders accept output_length NULL; the
 * decoders need it. Success lines are detail class.
 */

NUBREL_API NUBREL_MUST_USE int32_t base64_encode(const unsigned char *input, int32_t input_length,
                                                 char **output, int32_t *output_length);
NUBREL_API NUBREL_MUST_USE int32_t base64_decode(const char *input, int32_t input_length,
                                                 unsigned char **output, int32_t *output_length);
NUBREL_API NUBREL_MUST_USE int32_t base64_url_safe_modified_encode(const unsigned char *input, int32_t input_length,
                                                                   char **output, int32_t *output_length);
NUBREL_API NUBREL_MUST_USE int32_t base64_url_safe_modified_decode(const char *input, int32_t input_length,
                                                                   unsigned char **output, int32_t *output_length);

/* ---- Token ----------------------------------------------------------------
 *
 * A token is the URL-safe base64 text of: "NBR", version (0 or 1), suite,
 * a 20-byte digest, the IV with its length, a KeyInfo length (always 0),
 * and the payload length (16-bit) with the compressed, padded and encrypted
 * payload. The digest is HMAC-SHA-1 under the suite key over version,
 * suite, IV and the uncompressed payload text (plain SHA-1 for suite 0).
 * Keys derived from the instance's password are computed once per suite
 * and kept inside the instance until its password, salt or iteration count
 * changes.
 */

/* 1 when the first length characters have the outward form of a token: at
 * least 40 characters, a multiple of 4, beginning "TkJS", only URL-safe
 * base64 characters. Else 0 with an error line "Token does not match the
 * Nubrel type - ...". Decodes nothing; a 1 proves nothing about the
 * token's integrity. */
NUBREL_API int32_t is_nubrel(const char *text, int32_t length);

/* Decodes the NUL-terminated token into *data: checks the layout, the
 * suite, the IV and payload lengths, decrypts with the password-derived key
 * (or, without a password, the key manager's, passing arg1 to arg3 on to
 * it), inflates (at most NUBREL_MAX_PAYLOAD_LENGTH bytes of text) and
 * compares the digest. On 0, data->payload is a new NUL-terminated text of
 * data->payload_length bytes (NULL for an empty payload), with version and
 * cipher_suite set: release it with nubrel_free_tokendata; the payload may
 * be edited with nubrel_set_payload_value before nubrel_encode.
 *   -1: bad handle, data or token argument, text that is not URL-safe
 *       base64, or a key manager that reports the key as not found or
 *       expired (an unusable key rather than a bad token);
 *   -2: every other fault: a damaged, forged or foreign token, a wrong key
 *       (usually "Cannot unpadd - ..." or "The calculated MAC digest does
 *       not match with a provided one"), or out of memory.
 * On failure data holds no payload and nothing stays allocated. Progress
 * lines: "Decoding the token...", "Succeded to decode the token". */
NUBREL_API NUBREL_MUST_USE int32_t nubrel_decode(nubrel_instance *handle, const char *token, nubrel_tokendata *data,
                                                 void *arg1, void *arg2, void *arg3);

/* Encodes the record (only read): its version and cipher suite are written
 * as they are (the suite chooses the cipher; the instance's suite setting
 * is not consulted), its payload_length bytes of payload text are
 * compressed at the instance's level, padded and encrypted with a fresh
 * random IV. keyinfo must be NULL with length 0. Returns a new
 * NUL-terminated token (release it with nubrel_free), or NULL with the
 * cause logged: "Cannot create token - ...", "Cipher suite %i is
 * unhandled", "Cannot compress - output buffer of %i bytes is small" (the
 * payload does not fit the token's 65535 bytes), "Neither key manager
 * interface is provided, nor password based generation is configured". */
NUBREL_API NUBREL_MUST_USE char *nubrel_encode(nubrel_instance *handle, const nubrel_tokendata *data,
                                               void *arg1, void *arg2, void *arg3);

/* Releases the payload (and KeyInfo) that nubrel_decode put into the record
 * and clears those fields; the record itself is the caller's. NULL is
 * ignored. Call it once per successful decode. */
NUBREL_API void nubrel_free_tokendata(nubrel_tokendata *data);

/* ---- Payload text -----------------------------------------------------------
 *
 * A payload is NUL-terminated text of "key=value" lines split at the first
 * "=". Keys and values are trimmed of white space; keys compare
 * case-sensitively and whole; matching pairs of ' or " around a value are
 * removed; \' \" and \\ stand for the second character. Lines without "="
 * or with an empty key are skipped with a warning ("The equals sign has not
 * been found for the item %i of payload - skipping...", "The payload line
 * %i has no key"). A key may occur more than once: the single-value
 * readers use its first line. Readers never change the payload; NULL, an
 * empty key or an empty payload fail with an error (a warning for the empty
 * payload). A missing key is logged at detail class only.
 */

/* The start of the first line whose key is key: a pointer INTO payload,
 * not a copy. Do not free it; it is valid while payload is. NULL when no
 * line holds the key. */
NUBREL_API char *nubrel_find_line(const char *payload, const char *key);

/* A new copy of the key's first value, unquoted and unescaped; release it
 * with nubrel_free. NULL when the key is missing, on a bad argument, or out
 * of memory. */
NUBREL_API NUBREL_MUST_USE char *nubrel_get_payload_value(const char *payload, const char *key);

/* Sets key to value (NULL stands for the empty value) in *payload: the first
 * line holding the key gets the new value, or a line is appended; other
 * lines stay byte for byte. The value is stored escaped, and in
 * apostrophes when it holds a space; it must not hold a line feed. *payload
 * must come from the library or the malloc family (nubrel_decode,
 * nubrel_malloc, an earlier call) or be NULL (a new payload is made): on 0
 * the old buffer has been freed and *payload names the new one, unless the
 * value was already stored ("Old and new value are identical - no need to
 * update the payload", detail), when nothing changes. On -1 *payload is
 * unchanged ("Cannot set value into payload - ...", out of memory). */
NUBREL_API NUBREL_MUST_USE int32_t nubrel_set_payload_value(char **payload, const char *key, const char *value);

/* Every value of key, in line order, as a new array of new strings ending
 * with a NULL entry: release it with nubrel_free_values_array. NULL when
 * no line holds the key, on a bad argument, or out of memory. */
NUBREL_API NUBREL_MUST_USE char **nubrel_get_payload_values_array(const char *payload, const char *key);
/* Releases an array of nubrel_get_payload_values_array and its strings.
 * NULL is ignored. */
NUBREL_API void nubrel_free_values_array(char **array);

/* The first well-formed line at or after line number index (counting every
 * line from 0, skipped ones too): *key and *value get new copies (release
 * each with nubrel_free), the value unquoted but with its backslash escapes
 * left as stored. -1 with both cleared when there is no such line ("Cannot
 * get a payload item %i - no such item", detail), on a bad argument or out
 * of memory. */
NUBREL_API NUBREL_MUST_USE int32_t nubrel_get_payload_item(const char *payload, int32_t index, char **key,
                                                           char **value);

/* ---- Typed values and times (seconds since 1970-01-01T00:00:00Z) ---------
 *
 * The getters read the key's value as nubrel_get_payload_value does, clear
 * their output (when not NULL) first and store into it only on success.
 * -1 for a NULL payload or key (error line), a missing key (detail line
 * "Cannot get ... from the nubrel payload") or a value of the wrong form
 * (error line "... - value \"%s\" is not digital" / "does not match"; for
 * times only the detail line "Cannot parse the payload time - it does not
 * match the format string"). Times are written 2001-09-09T01:46:40Z: UTC,
 * whole seconds, "T" and "Z" required.
 */

/* Decimal digits only (no sign, no blanks): 042 reads as 42. */
NUBREL_API NUBREL_MUST_USE int32_t nubrel_get_payload_int(const char *payload, const char *key, int32_t *value);
NUBREL_API NUBREL_MUST_USE int32_t nubrel_get_payload_long(const char *payload, const char *key, long *value);
/* "yes"/"no" (any letter case): *flag 1 or 0. */
NUBREL_API NUBREL_MUST_USE int32_t nubrel_get_payload_yes_or_no(const char *payload, const char *key, int32_t *flag);
/* "true"/"false" (any letter case): *flag 1 or 0. */
NUBREL_API NUBREL_MUST_USE int32_t nubrel_get_payload_true_or_false(const char *payload, const char *key,
                                                                    int32_t *flag);
/* Stores the time as its UTC text under key through nubrel_set_payload_value,
 * with the same rules for *payload. 0/-1 ("Cannot set time for the nubrel
 * payload item - ...", "Cannot set value into the nubrel payload"). */
NUBREL_API NUBREL_MUST_USE int32_t nubrel_set_payload_time(char **payload, const char *key, int64_t time);
/* The key's time value, read as nubrel_get_time reads it. */
NUBREL_API NUBREL_MUST_USE int32_t nubrel_get_payload_time(const char *payload, const char *key, int64_t *time);
/* Reads the time text into *time, independently of the local time zone.
 * -1 for NULL arguments (error line) or text not of the form above. */
NUBREL_API NUBREL_MUST_USE int32_t nubrel_get_time(const char *text, int64_t *time);

/* ---- Memory ------------------------------------------------------------------
 *
 * The library allocates with the C library's malloc family; every buffer it
 * hands out is released with nubrel_free (except where a function above
 * names another release). Buffers that a caller passes in to be replaced
 * (the payload of nubrel_set_payload_value) come from these functions.
 */

/* malloc and calloc themselves; NULL when out of memory (not logged). */
NUBREL_API NUBREL_MUST_USE void *nubrel_malloc(size_t size);
NUBREL_API NUBREL_MUST_USE void *nubrel_calloc(size_t count, size_t size);
/* Releases a buffer of the library; NULL is ignored. Logs "Releasing the
 * dynamically allocated buffer..." (detail). */
NUBREL_API void nubrel_free(void *pointer);
/* A new copy of text, or NULL ("Cannot duplicate the required string -
 * string is NULL" for a NULL text; out of memory is not logged). */
NUBREL_API NUBREL_MUST_USE char *nubrel_strdup(const char *text);
/* A new NUL-terminated copy of at most n bytes of text, stopping at its
 * first NUL; NULL as for nubrel_strdup ("Cannot duplicate the required part
 * of string - string is NULL"). */
NUBREL_API NUBREL_MUST_USE char *nubrel_strndup(const char *text, size_t n);

#ifdef __cplusplus
}
#endif

#endif /* NUBREL_H */
