// What the agent does with the library on every protected request: decode a
// session token, then encode it again after renewing it.
#include "nubrel.h"

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// Every allocation of the process, the library's and OpenSSL's included,
// passes through these (the executable's definitions take precedence over
// the C library's for every shared object), so a benchmark can report how
// many allocations one operation makes.
extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *pointer, size_t size);
}

namespace {
std::atomic<long> g_allocations{0};
}  // namespace

extern "C" void *malloc(size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}

extern "C" void *calloc(size_t count, size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}

extern "C" void *realloc(void *pointer, size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(pointer, size);
}

namespace {

// Reports the allocations per iteration made while the benchmark ran.
struct AllocationCounter {
    benchmark::State &state;
    long start = g_allocations.load(std::memory_order_relaxed);
    ~AllocationCounter() {
        state.counters["allocs/op"] = benchmark::Counter(
            static_cast<double>(g_allocations.load(std::memory_order_relaxed) - start),
            benchmark::Counter::kAvgIterations);
    }
};

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
        if (set_nubrel_password(handle, "Y29ycmVjdCBob3JzZSBiYXR0ZXJ5IHN0YXBsZQ==") != 0) std::abort();
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
    AllocationCounter counter{state};
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
    AllocationCounter counter{state};
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
    AllocationCounter counter{state};
    int64_t now = 1796889600;
    for (auto _ : state) {
        nubrel_tokendata data{};
        if (nubrel_decode(setup.handle, setup.token.c_str(), &data, nullptr, nullptr, nullptr) != 0) std::abort();
        if (nubrel_set_payload_time(&data.payload, "not-on-or-after", now + 3600) != 0) std::abort();
        data.payload_length = static_cast<uint32_t>(std::strlen(data.payload));
        char *text = nubrel_encode(setup.handle, &data, nullptr, nullptr, nullptr);
        if (text == nullptr) std::abort();
        benchmark::DoNotOptimize(text);
        nubrel_free(text);
        nubrel_free_tokendata(&data);
        ++now;
    }
}

// The format's own floor: what zlib alone costs for the same work as the
// round above, the streams reused as the library reuses its own. Deflate at
// level 9 with zlib's default window and memory level, inflate on a reused
// stream. Like the round, it inflates one payload again and again and
// deflates a payload whose time differs on every iteration: deflating one
// unchanged text over and over lets the processor learn its every branch and
// runs a fifth faster than any real renewal does.
void BM_ZlibRound(benchmark::State &state) {
    z_stream deflater{};
    z_stream inflater{};
    if (deflateInit(&deflater, 9) != Z_OK || inflateInit(&inflater) != Z_OK) std::abort();
    std::string compressed(deflateBound(&deflater, kPayload.size()), '\0');
    std::string text(kPayload.size() * 2, '\0');
    // The payload to inflate, compressed once.
    deflater.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(kPayload.data()));
    deflater.avail_in = static_cast<uInt>(kPayload.size());
    deflater.next_out = reinterpret_cast<Bytef *>(compressed.data());
    deflater.avail_out = static_cast<uInt>(compressed.size());
    if (deflate(&deflater, Z_FINISH) != Z_STREAM_END) std::abort();
    const uInt stored = static_cast<uInt>(compressed.size()) - deflater.avail_out;
    std::string renewed_out(compressed.size(), '\0');
    // The renewed payloads, made beforehand with the round's own times.
    std::vector<std::string> renewed;
    for (int64_t i = 0; i < 4096; ++i) {
        char *payload = static_cast<char *>(nubrel_malloc(kPayload.size() + 1));
        std::memcpy(payload, kPayload.c_str(), kPayload.size() + 1);
        if (nubrel_set_payload_time(&payload, "not-on-or-after", 1796889600 + i + 3600) != 0) std::abort();
        renewed.emplace_back(payload);
        nubrel_free(payload);
    }
    AllocationCounter counter{state};
    size_t next = 0;
    for (auto _ : state) {
        if (inflateReset(&inflater) != Z_OK) std::abort();
        inflater.next_in = reinterpret_cast<Bytef *>(compressed.data());
        inflater.avail_in = stored;
        inflater.next_out = reinterpret_cast<Bytef *>(text.data());
        inflater.avail_out = static_cast<uInt>(text.size());
        if (inflate(&inflater, Z_FINISH) != Z_STREAM_END) std::abort();
        benchmark::DoNotOptimize(text.data());
        const std::string &payload = renewed[next++ % renewed.size()];
        if (deflateReset(&deflater) != Z_OK) std::abort();
        deflater.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(payload.data()));
        deflater.avail_in = static_cast<uInt>(payload.size());
        deflater.next_out = reinterpret_cast<Bytef *>(renewed_out.data());
        deflater.avail_out = static_cast<uInt>(renewed_out.size());
        if (deflate(&deflater, Z_FINISH) != Z_STREAM_END) std::abort();
        benchmark::DoNotOptimize(renewed_out.data());
    }
    deflateEnd(&deflater);
    inflateEnd(&inflater);
}

}  // namespace

BENCHMARK(BM_Decode)->Arg(1)->Arg(2)->Arg(3);
BENCHMARK(BM_Encode)->Arg(1)->Arg(2)->Arg(3);
BENCHMARK(BM_DecodeRenewEncode)->Arg(1)->Arg(2)->Arg(3);
BENCHMARK(BM_ZlibRound);

BENCHMARK_MAIN();
