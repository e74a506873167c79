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

/* ---- Instance and library ---------------------------------------------- */

NUBREL_API int32_t nubrel_initialize(void);
NUBREL_API const char *get_nubrel_library_version(void);
NUBREL_API void nubrel_set_module_servrec(struct server_rec *server);
NUBREL_API int32_t set_nubrel_verbose_level(uint32_t level);
NUBREL_API nubrel_instance *nubrel_create_instance(void);
NUBREL_API int32_t nubrel_release_instance(nubrel_instance *handle);
NUBREL_API int32_t set_nubrel_zlib_compression_level(nubrel_instance *handle, int32_t level);
NUBREL_API int32_t get_nubrel_zlib_compression_level(nubrel_instance *handle, int32_t *level);
NUBREL_API int32_t set_nubrel_cipher_suite(nubrel_instance *handle, int32_t suite);
NUBREL_API int32_t set_nubrel_cipher_suite_str(nubrel_instance *handle, const char *suite);
NUBREL_API int32_t get_nubrel_cipher_suite(nubrel_instance *handle, int32_t *suite);
NUBREL_API int32_t set_nubrel_debug_mode(nubrel_instance *handle);
NUBREL_API int32_t set_nubrel_iterations_number(nubrel_instance *handle, int32_t iterations);
NUBREL_API int32_t get_nubrel_iterations_number(nubrel_instance *handle, int32_t *iterations);
/* The salt is not copied: keep it alive while the instance is used. */
NUBREL_API int32_t set_nubrel_salt(nubrel_instance *handle, const unsigned char *salt, int32_t salt_length);
/* The password as standard base64 text of its bytes. */
NUBREL_API int32_t set_nubrel_password(nubrel_instance *handle, const char *password_b64);
/* The base64 text of the Triple-DES-obfuscated password. */
NUBREL_API int32_t set_nubrel_obfuscated_password(nubrel_instance *handle, const char *password_b64);
NUBREL_API int32_t set_keymanager(nubrel_instance *handle, keymanager_callback callback);
NUBREL_API int32_t is_keymanager_available(nubrel_instance *handle);
NUBREL_API int32_t is_password_based_generation_available(nubrel_instance *handle);
/* Reads the agent configuration file: password, cipher-suite, obfuscate-password. */
NUBREL_API int32_t set_quorvelagent_configuration_file(nubrel_instance *handle, const char *path);

/* ---- Cipher suites, keys and randomness ---------------------------------- */

NUBREL_API int32_t is_valid_cipher_suite(int32_t suite);
NUBREL_API const char *nubrel_get_cipher_suite_name(int32_t suite);
NUBREL_API int32_t generate_password_based_key(const unsigned char *password, int32_t password_length,
                                               int32_t suite,
                                               const unsigned char *salt, int32_t salt_length,
                                               int32_t iterations,
                                               unsigned char **key, int32_t *key_length);
NUBREL_API int32_t generate_random_ivec(unsigned char *buffer, int32_t length);

/* ---- Base64: standard ("=" padding) and URL-safe modified ("*" padding) -- */

NUBREL_API int32_t base64_encode(const unsigned char *input, int32_t input_length,
                                 char **output, int32_t *output_length);
NUBREL_API int32_t base64_decode(const char *input, int32_t input_length,
                                 unsigned char **output, int32_t *output_length);
NUBREL_API int32_t base64_url_safe_modified_encode(const unsigned char *input, int32_t input_length,
                                                   char **output, int32_t *output_length);
NUBREL_API int32_t base64_url_safe_modified_decode(const char *input, int32_t input_length,
                                                   unsigned char **output, int32_t *output_length);

/* ---- Token ---------------------------------------------------------------- */

NUBREL_API int32_t is_nubrel(const char *text, int32_t length);
NUBREL_API int32_t nubrel_decode(nubrel_instance *handle, const char *token, nubrel_tokendata *data,
                                 void *arg1, void *arg2, void *arg3);
NUBREL_API char *nubrel_encode(nubrel_instance *handle, const nubrel_tokendata *data,
                               void *arg1, void *arg2, void *arg3);
NUBREL_API void nubrel_free_tokendata(nubrel_tokendata *data);

/* ---- Payload text --------------------------------------------------------- */

NUBREL_API char *nubrel_find_line(const char *payload, const char *key);
NUBREL_API char *nubrel_get_payload_value(const char *payload, const char *key);
NUBREL_API int32_t nubrel_set_payload_value(char **payload, const char *key, const char *value);
NUBREL_API char **nubrel_get_payload_values_array(const char *payload, const char *key);
NUBREL_API void nubrel_free_values_array(char **array);
NUBREL_API int32_t nubrel_get_payload_item(const char *payload, int32_t index, char **key, char **value);

/* ---- Typed values and times (seconds since 1970-01-01T00:00:00Z) --------- */

NUBREL_API int32_t nubrel_get_payload_int(const char *payload, const char *key, int32_t *value);
NUBREL_API int32_t nubrel_get_payload_long(const char *payload, const char *key, long *value);
NUBREL_API int32_t nubrel_get_payload_yes_or_no(const char *payload, const char *key, int32_t *flag);
NUBREL_API int32_t nubrel_get_payload_true_or_false(const char *payload, const char *key, int32_t *flag);
NUBREL_API int32_t nubrel_set_payload_time(char **payload, const char *key, int64_t time);
NUBREL_API int32_t nubrel_get_payload_time(const char *payload, const char *key, int64_t *time);
NUBREL_API int32_t nubrel_get_time(const char *text, int64_t *time);

/* ---- Memory --------------------------------------------------------------- */

NUBREL_API void *nubrel_malloc(size_t size);
NUBREL_API void *nubrel_calloc(size_t count, size_t size);
NUBREL_API void nubrel_free(void *pointer);
NUBREL_API char *nubrel_strdup(const char *text);
NUBREL_API char *nubrel_strndup(const char *text, size_t n);

#ifdef __cplusplus
}
#endif

#endif /* NUBREL_H */
