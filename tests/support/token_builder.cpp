#include "token_builder.h"

#include "nubrel.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <zlib.h>

#include <stdexcept>

namespace tokens {

namespace {

int key_length(uint8_t suite) { return suite == 1 ? 32 : suite == 2 ? 16 : suite == 3 ? 24 : 0; }
int iv_length(uint8_t suite) { return suite == 3 ? 8 : suite == 0 ? 0 : 16; }

const EVP_CIPHER *cipher(uint8_t suite) {
    return suite == 1 ? EVP_aes_256_cbc() : suite == 2 ? EVP_aes_128_cbc() : EVP_des_ede3_cbc();
}

const unsigned char *bytes(std::string_view text) { return reinterpret_cast<const unsigned char *>(text.data()); }

}  // namespace

Bytes assemble(const Structure &s) {
    Bytes out = "NBR";
    out += static_cast<char>(s.version);
    out += static_cast<char>(s.suite);
    out += s.mac;
    out += static_cast<char>(s.iv.size());
    out += s.iv;
    out += static_cast<char>(s.keyinfo.size());
    out += s.keyinfo;
    const uint16_t length = s.length_field.value_or(static_cast<uint16_t>(s.payload.size()));
    out += static_cast<char>(length >> 8);
    out += static_cast<char>(length & 0xff);
    out += s.payload;
    out += s.trailer;
    return out;
}

std::string to_text(const Bytes &structure) {
    char *text = nullptr;
    int32_t length = 0;
    if (base64_url_safe_modified_encode(bytes(structure), static_cast<int32_t>(structure.size()), &text, &length) != 0)
        throw std::runtime_error("base64 encoding failed");
    std::string result(text, static_cast<size_t>(length));
    nubrel_free(text);
    return result;
}

Bytes zlib_compress(std::string_view text, int level) {
    uLongf size = compressBound(static_cast<uLong>(text.size()));
    Bytes out(size, '\0');
    if (compress2(reinterpret_cast<Bytef *>(out.data()), &size, bytes(text), static_cast<uLong>(text.size()), level) !=
        Z_OK)
        throw std::runtime_error("compress2 failed");
    out.resize(size);
    return out;
}

Bytes sha1_digest(uint8_t version, uint8_t suite, std::string_view text) {
    Bytes input;
    input += static_cast<char>(version);
    input += static_cast<char>(suite);
    input += text;
    Bytes out(20, '\0');
    unsigned int length = 0;
    EVP_Digest(input.data(), input.size(), reinterpret_cast<unsigned char *>(out.data()), &length, EVP_sha1(), nullptr);
    return out;
}

Bytes hmac_digest(std::string_view key, uint8_t version, uint8_t suite, std::string_view iv, std::string_view text) {
    Bytes input;
    input += static_cast<char>(version);
    input += static_cast<char>(suite);
    input += iv;
    input += text;
    Bytes out(20, '\0');
    unsigned int length = 0;
    HMAC(EVP_sha1(), key.data(), static_cast<int>(key.size()), bytes(input), input.size(),
         reinterpret_cast<unsigned char *>(out.data()), &length);
    return out;
}

Bytes password_key(std::string_view password, uint8_t suite, int iterations) {
    Bytes key(static_cast<size_t>(key_length(suite)), '\0');
    PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                      reinterpret_cast<const unsigned char *>(NUBREL_DEFAULT_SALT), NUBREL_DEFAULT_SALT_LENGTH,
                      iterations, EVP_sha1(), static_cast<int>(key.size()), reinterpret_cast<unsigned char *>(key.data()));
    return key;
}

Bytes encrypt(uint8_t suite, std::string_view key, std::string_view iv, std::string_view plain) {
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    Bytes out(plain.size() + 32, '\0');
    int n1 = 0, n2 = 0;
    EVP_EncryptInit_ex(ctx, cipher(suite), nullptr, bytes(key), bytes(iv));
    EVP_EncryptUpdate(ctx, reinterpret_cast<unsigned char *>(out.data()), &n1, bytes(plain),
                      static_cast<int>(plain.size()));
    EVP_EncryptFinal_ex(ctx, reinterpret_cast<unsigned char *>(out.data()) + n1, &n2);
    EVP_CIPHER_CTX_free(ctx);
    out.resize(static_cast<size_t>(n1 + n2));
    return out;
}

std::string make_token(std::string_view password, uint8_t suite, std::string_view text, int level) {
    Structure s;
    s.suite = suite;
    const Bytes compressed = text.empty() ? Bytes() : zlib_compress(text, level);
    if (suite == 0) {
        s.mac = sha1_digest(1, 0, text);
        s.payload = compressed;
        return to_text(s);
    }
    const Bytes key = password_key(password, suite);
    s.iv.assign(static_cast<size_t>(iv_length(suite)), '\0');
    RAND_bytes(reinterpret_cast<unsigned char *>(s.iv.data()), static_cast<int>(s.iv.size()));
    s.payload = compressed.empty() ? Bytes() : encrypt(suite, key, s.iv, compressed);
    s.mac = hmac_digest(key, 1, suite, s.iv, text);
    return to_text(s);
}

}  // namespace tokens
