// What the agent does with the library on every protected request: decode a
// session token, then encode it again after renewing it.
#include "nubrel.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// A typical session: a dozen attributes, about 600 bytes.
const std::string kPayload =
    "subject=joe.smith@example.com\n"
    "not-before=2026-12-10T08:00:00Z\n"
    "not-on-or-after=2026-12-10T09:00:00Z\n"
    "renew-until=2026-12-10T16:00:00Z\n"
    "authn-instant=2026-12-10T08:00:00Z\n"
    "authn-context=urn:oasis:names:tc:SAML:2.0:ac:classes:PasswordProtectedTransport\n"
    "given-name=Joe\n"
    "family-name=Smith\n"
    "display-name='Joe Smith'\n"
    "mail=joe.smith@example.com\n"
    "employee-number=0042917\n"
    "department='Research and Development'\n"
    "title='Senior Engineer'\n"
    "groups=staff,engineering,vpn-users,build-admins\n"
    "locale=en-GB\n"
    "qv_attribute_list=given-name,family-name,display-name,mail,employee-number,department,title,groups,locale\n";

struct Setup {
    nubrel_instance *handle = nullptr;
    std::string token;

    explicit Setup(uint8_t suite) {
        handle = nubrel_create_instance();
        set_nubrel_password(handle, "Y29ycmVjdCBob3JzZSBiYXR0ZXJ5IHN0YXBsZQ==");
        nubrel_tokendata data{};
        data.version = 1;
        data.cipher_suite = suite;
        data.payload = const_cast<char *>(kPayload.c_str());
        data.payload_length = static_cast<uint32_t>(kPayload.size());
        char *text = nubrel_encode(handle, &data, nullptr, nullptr, nullptr);
        if (text == nullptr) std::abort();
        token = text;
        nubrel_free(text);
    }
    ~Setup() { nubrel_release_instance(handle); }
};

void BM_Decode(benchmark::State &state) {
    Setup setup(static_cast<uint8_t>(state.range(0)));
    for (auto _ : state) {
        nubrel_tokendata data{};
        if (nubrel_decode(setup.handle, setup.token.c_str(), &data, nullptr, nullptr, nullptr) != 0) std::abort();
        benchmark::DoNotOptimize(data.payload);
        nubrel_free_tokendata(&data);
    }
    state.SetLabel("payload " + std::to_string(kPayload.size()) + " B");
}

void BM_Encode(benchmark::State &state) {
    Setup setup(static_cast<uint8_t>(state.range(0)));
    nubrel_tokendata data{};
    data.version = 1;
    data.cipher_suite = static_cast<uint8_t>(state.range(0));
    data.payload = const_cast<char *>(kPayload.c_str());
    data.payload_length = static_cast<uint32_t>(kPayload.size());
    for (auto _ : state) {
        char *text = nubrel_encode(setup.handle, &data, nullptr, nullptr, nullptr);
        if (text == nullptr) std::abort();
        benchmark::DoNotOptimize(text);
        nubrel_free(text);
    }
}

// Decode, renew the session's not-before and not-on-or-after, encode again.
void BM_DecodeRenewEncode(benchmark::State &state) {
    Setup setup(static_cast<uint8_t>(state.range(0)));
    int64_t now = 1796889600;
    for (auto _ : state) {
        nubrel_tokendata data{};
        if (nubrel_decode(setup.handle, setup.token.c_str(), &data, nullptr, nullptr, nullptr) != 0) std::abort();
        nubrel_set_payload_time(&data.payload, "not-on-or-after", now + 3600);
        data.payload_length = static_cast<uint32_t>(std::strlen(data.payload));
        char *text = nubrel_encode(setup.handle, &data, nullptr, nullptr, nullptr);
        if (text == nullptr) std::abort();
        benchmark::DoNotOptimize(text);
        nubrel_free(text);
        nubrel_free_tokendata(&data);
        ++now;
    }
}

}  // namespace

BENCHMARK(BM_Decode)->Arg(1)->Arg(2)->Arg(3);
BENCHMARK(BM_Encode)->Arg(1)->Arg(2)->Arg(3);
BENCHMARK(BM_DecodeRenewEncode)->Arg(1)->Arg(2)->Arg(3);

BENCHMARK_MAIN();
