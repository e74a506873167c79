#!/bin/sh
# Writes the seed corpus of fuzz_token: tokens of every cipher suite made by
# the nubrel tool with the fuzzing password, as token text and as binary
# structure, payloads to encode, and a few broken tokens. Tokens carry a
# random IV, so each run writes different files; commit them only when the
# token format changes.
#   sh fuzz/make-token-seeds.sh [NUBREL_TOOL]   (default: build/tools/nubrel)
set -eu

tool=${1:-build/tools/nubrel}
out=$(dirname "$0")/corpus/fuzz_token
password=ZnV6emluZyBwYXNzd29yZA==   # "fuzzing password", as fuzz_token.cpp has it
payload="subject=jdoe
not-before=2024-01-01T00:00:00Z
name='Jo Doe'
group=a
group=b
"

rm -rf "$out"
mkdir -p "$out"

# The first byte: instance (suite) in bits 0-1, verbose in bit 2, the form of
# the rest in bits 3-4 (0 structure, 1 text, 2 payload), zlib level in bits 5-7.
selector() { printf "\\$(printf '%03o' "$1")"; }

# The token text without the tool's line feed.
token_of() {
    printf '%s' "$payload" | "$tool" encode --suite "$1" --password-b64 "$password" | tr -d '\n'
}

# URL-safe base64 with '*' padding to bytes.
structure_of() { printf '%s' "$1" | tr -- '-_*' '+/=' | base64 -d; }

for suite in 0 1 2 3; do
    { selector "$suite"; structure_of "$(token_of "$suite")"; } >"$out/structure-suite-$suite"
done
for suite in 1 2; do
    { selector $((suite | 8 | 6 << 5)); token_of "$suite"; } >"$out/text-suite-$suite"
done
for suite in 0 3; do
    { selector $((suite | 16 | 1 << 5)); printf '%s' "$payload"; } >"$out/payload-suite-$suite"
done

# Verbose logging with hex dumps on a good token.
{ selector $((1 | 4 | 8)); token_of 1; } >"$out/text-suite-1-verbose"
# A token of suite 1 on the instance without a password.
{ selector 8; token_of 1; } >"$out/text-suite-1-no-password"
# An empty payload in the null suite.
empty=$(printf '' | "$tool" encode --suite 0)
{ selector 0; structure_of "$empty"; } >"$out/structure-suite-0-empty"
# Broken: a cut token, a wrong header, a payload length beyond the data.
{ selector $((2 | 8)); token_of 2 | cut -c1-60 | tr -d '\n'; } >"$out/text-cut"
{ selector 1; printf 'NBX\001\001'; head -c 40 /dev/zero; } >"$out/structure-bad-header"
{ selector 0; printf 'NBR\001\000'; head -c 20 /dev/zero; printf '\000\000\377\377xyz'; } >"$out/structure-long-length"
