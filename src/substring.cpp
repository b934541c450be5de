#include "substring.h"

#include <cstdint>
#include <cstring>

// TOVALISE_NO_SIMD and TOVALISE_NO_AVX2 let the tests run the narrower
// searches on any machine.
#if !defined(TOVALISE_NO_SIMD) && \
    (defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2))
#define TOVALISE_SSE2 1
#define TOVALISE_SSE2_CODE
#include <emmintrin.h>
#elif !defined(TOVALISE_NO_SIMD) && defined(__i386__) && (defined(__GNUC__) || defined(__clang__))
// A 32-bit build for any x86 processor: SSE2 is chosen at run time where
// the processor has it. The stack is realigned for the wide values: 32-bit
// Windows keeps it aligned to 4 bytes only.
#define TOVALISE_SSE2 1
#define TOVALISE_SSE2_AT_RUN_TIME 1
#define TOVALISE_SSE2_CODE __attribute__((target("sse2"), force_align_arg_pointer))
#include <emmintrin.h>
#endif

// With GCC and Clang on x86, a wider search is chosen at run time where the
// processor has AVX2.
#if defined(TOVALISE_SSE2) && !defined(TOVALISE_NO_AVX2) && (defined(__GNUC__) || defined(__clang__)) && \
    (defined(__x86_64__) || defined(__i386__))
#define TOVALISE_AVX2 1
#include <immintrin.h>
#ifdef __i386__
#define TOVALISE_AVX2_CODE __attribute__((target("avx2"), force_align_arg_pointer))
#else
#define TOVALISE_AVX2_CODE __attribute__((target("avx2")))
#endif
#endif

namespace {

constexpr size_t short_needle = 16;

// Compares the needle's inner bytes, once its first and last bytes agree;
// short needles, the common case, without a call.
bool inner_matches(const char* data, size_t at, std::string_view needle) {
    size_t last = needle.size() - 1;
    if (needle.size() > short_needle)
        return std::memcmp(data + at + 1, needle.data() + 1, last - 1) == 0;
    for (size_t i = 1; i < last; ++i) {
        if (data[at + i] != needle[i])
            return false;
    }
    return true;
}

bool matches_at(const char* data, size_t at, std::string_view needle) {
    return data[at + needle.size() - 1] == needle.back() && inner_matches(data, at, needle);
}

size_t find_byte(const char* data, size_t from, size_t limit, char byte) {
    const void* hit = std::memchr(data + from, byte, limit - from);
    return hit ? static_cast<const char*>(hit) - data : limit;
}

size_t find_plain(const char* data, size_t from, size_t limit, std::string_view needle) {
    for (size_t at = from; at < limit; ++at) {
        at = find_byte(data, at, limit, needle[0]);
        if (at == limit || matches_at(data, at, needle))
            return at;
    }
    return limit;
}

#ifdef TOVALISE_SSE2
#ifdef TOVALISE_SSE2_AT_RUN_TIME
bool has_sse2() {
    static const bool available = __builtin_cpu_supports("sse2");
    return available;
}
#endif

unsigned lowest_bit(unsigned mask) {
#if defined(_MSC_VER)
    unsigned long index;
    _BitScanForward(&index, mask);
    return index;
#else
    return __builtin_ctz(mask);
#endif
}

// Tests sixteen starting positions at a time on the needle's first and last
// bytes; only positions where both agree are compared in full.
TOVALISE_SSE2_CODE size_t find_wide(const char* data, size_t from, size_t limit,
                                     std::string_view needle) {
    const size_t last = needle.size() - 1;
    const __m128i first_byte = _mm_set1_epi8(needle[0]);
    const __m128i last_byte = _mm_set1_epi8(needle[last]);
    size_t at = from;
    for (; at + 16 <= limit; at += 16) {
        __m128i head = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at));
        __m128i tail = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at + last));
        unsigned mask = _mm_movemask_epi8(
            _mm_and_si128(_mm_cmpeq_epi8(head, first_byte), _mm_cmpeq_epi8(tail, last_byte)));
        for (; mask != 0; mask &= mask - 1) {
            size_t candidate = at + lowest_bit(mask);
            if (inner_matches(data, candidate, needle))
                return candidate;
        }
    }
    return find_plain(data, at, limit, needle);
}
#endif

// The search that needs no AVX2: a single byte through the library, else
// sixteen positions at a time where there is SSE2.
size_t find_narrow(const char* data, size_t from, size_t limit, std::string_view needle) {
    if (from >= limit)
        return limit;
    if (needle.size() == 1)
        return find_byte(data, from, limit, needle[0]);
#ifdef TOVALISE_SSE2
#ifdef TOVALISE_SSE2_AT_RUN_TIME
    if (!has_sse2())
        return find_plain(data, from, limit, needle);
#endif
    return find_wide(data, from, limit, needle);
#else
    return find_plain(data, from, limit, needle);
#endif
}

// Adds successive occurrences from `from` on to found[count, capacity) with
// the narrow search; returns the new count.
size_t find_each_narrow(const char* data, size_t from, size_t limit, std::string_view needle,
                        size_t* found, size_t count, size_t capacity) {
    for (size_t next = from; count < capacity; next = found[count - 1] + needle.size()) {
        size_t hit = find_narrow(data, next, limit, needle);
        if (hit >= limit)
            break;
        found[count++] = hit;
    }
    return count;
}

#ifdef TOVALISE_AVX2
// The same filter as find_wide, 64 positions at a time; every candidate of a
// step is taken, instead of starting a new search behind each occurrence.
TOVALISE_AVX2_CODE size_t find_each_wider(const char* data, size_t from, size_t limit,
                                          std::string_view needle, size_t* found,
                                          size_t capacity) {
    const size_t last = needle.size() - 1;
    const __m256i first_byte = _mm256_set1_epi8(needle[0]);
    const __m256i last_byte = _mm256_set1_epi8(needle[last]);
    size_t count = 0;
    size_t next = from; // where the next occurrence may start
    size_t at = from;
    for (; at + 64 <= limit; at += 64) {
        const char* head = data + at;
        const char* tail = data + at + last;
        __m256i low = _mm256_and_si256(
            _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(head)), first_byte),
            _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(tail)), last_byte));
        __m256i high = _mm256_and_si256(
            _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(head + 32)), first_byte),
            _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(tail + 32)), last_byte));
        if (_mm256_testz_si256(_mm256_or_si256(low, high), _mm256_or_si256(low, high)))
            continue;
        uint64_t mask = static_cast<uint32_t>(_mm256_movemask_epi8(low)) |
                        static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(high))) << 32;
        for (; mask != 0; mask &= mask - 1) {
            size_t candidate = at + __builtin_ctzll(mask);
            if (candidate < next || !inner_matches(data, candidate, needle))
                continue;
            found[count++] = candidate;
            next = candidate + needle.size();
            if (count == capacity)
                return count;
        }
    }
    return find_each_narrow(data, next > at ? next : at, limit, needle, found, count, capacity);
}

bool has_avx2() {
    static const bool available = __builtin_cpu_supports("avx2");
    return available;
}
#endif

} // namespace

size_t find_substring(const char* data, size_t from, size_t limit, std::string_view needle) {
#ifdef TOVALISE_AVX2
    size_t found;
    if (from < limit && needle.size() > 1 && has_avx2())
        return find_each_wider(data, from, limit, needle, &found, 1) == 1 ? found : limit;
#endif
    return find_narrow(data, from, limit, needle);
}

size_t find_each(const char* data, size_t from, size_t limit, std::string_view needle,
                 size_t* found, size_t capacity) {
#ifdef TOVALISE_AVX2
    if (needle.size() > 1 && has_avx2())
        return find_each_wider(data, from, limit, needle, found, capacity);
#endif
    return find_each_narrow(data, from, limit, needle, found, 0, capacity);
}
