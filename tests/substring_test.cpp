// The substring search against the standard library's, on random text over
// a small alphabet so that partial matches abound. The same test is built
// for each width of search the machine may use.
#include "substring.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

std::string random_text(std::mt19937& random, size_t size, const std::string& alphabet) {
    std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
    std::string text(size, ' ');
    for (char& c : text) c = alphabet[pick(random)];
    return text;
}

// Successive non-overlapping occurrences starting in [from, limit).
std::vector<size_t> expected_each(const std::string& text, size_t from, size_t limit,
                                  const std::string& needle) {
    std::vector<size_t> found;
    for (size_t at = text.find(needle, from); at != std::string::npos && at < limit;
         at = text.find(needle, at + needle.size()))
        found.push_back(at);
    return found;
}

TEST(Substring, AgreesWithTheStandardSearch) {
    std::mt19937 random(12345);
    for (int round = 0; round < 3000; ++round) {
        std::string alphabet = round % 3 == 0 ? "ab" : "abc\r";
        std::string text = random_text(random, 1 + random() % 400, alphabet);
        std::string needle = random_text(random, 1 + random() % 20, alphabet);
        if (needle.size() > text.size()) continue;
        size_t last_start = text.size() - needle.size() + 1;
        size_t limit = random() % (last_start + 1);
        size_t from = limit == 0 ? 0 : random() % (limit + 1);
        SCOPED_TRACE("round " + std::to_string(round) + ", text " + text + ", needle " + needle +
                     ", from " + std::to_string(from) + ", limit " + std::to_string(limit));

        std::vector<size_t> all = expected_each(text, from, limit, needle);
        size_t first = text.find(needle, from);
        EXPECT_EQ(find_substring(text.data(), from, limit, needle),
                  first != std::string::npos && first < limit ? first : limit);

        for (size_t capacity : {size_t{1}, size_t{3}, size_t{256}}) {
            std::vector<size_t> found(capacity);
            size_t count = find_each(text.data(), from, limit, needle, found.data(), capacity);
            found.resize(count);
            std::vector<size_t> want(all.begin(), all.begin() + std::min(capacity, all.size()));
            EXPECT_EQ(found, want) << "capacity " << capacity;
        }
    }
}

} // namespace
