// Builds token structures byte by byte, independently of the library's
// encoder, so that tests can make valid, damaged and hostile tokens.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tokens {

using Bytes = std::string;

struct Structure {
    uint8_t version = 1;
    uint8_t suite = 0;
    Bytes mac = Bytes(20, '\0');
    Bytes iv;
    Bytes keyinfo;
    std::optional<uint16_t> length_field;  // defaults to payload.size()
    Bytes payload;                         // as it stands in the token (compressed, encrypted)
    Bytes trailer;                         // bytes after the payload
};

// The structure's bytes, and its URL-safe text.
Bytes assemble(const Structure &structure);
std::string to_text(const Bytes &bytes);
inline std::string to_text(const Structure &structure) { return to_text(assemble(structure)); }

Bytes zlib_compress(std::string_view text, int level = 9);
Bytes sha1_digest(uint8_t version, uint8_t suite, std::string_view text);
Bytes hmac_digest(std::string_view key, uint8_t version, uint8_t suite, std::string_view iv, std::string_view text);
// PBKDF2-HMAC-SHA1 with the default salt and iterations, at the suite's key length.
Bytes password_key(std::string_view password, uint8_t suite, int iterations = 1000);
// PKCS#5 pads and encrypts in CBC mode with the suite's cipher.
Bytes encrypt(uint8_t suite, std::string_view key, std::string_view iv, std::string_view plain);

// A complete, valid token of the suite for the payload text.
std::string make_token(std::string_view password, uint8_t suite, std::string_view text, int level = 9);

}  // namespace tokens
