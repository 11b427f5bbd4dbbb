#include "neutral/cache_stamp.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// What a start accepts as the cache this payload made: the whole stamp for
// its digest and its number of entries, not one byte more or less.
TEST(cache_stamp, accepted_only_whole_and_for_this_payload)
{
    uint8_t digest[payload_digest_size];
    for (size_t i = 0; i < payload_digest_size; ++i) {
        digest[i] = static_cast<uint8_t>(0xA0 + i);
    }
    std::vector<uint8_t> stamp(cache_stamp_size(3));
    cache_stamp_begin(stamp.data(), digest, 3);
    for (uint64_t i = 0; i < 3; ++i) {
        cache_stamp_set(stamp.data(), i, 1000 + i, 0x01D0000000000000ull + i);
    }
    EXPECT_TRUE(cache_stamp_matches(stamp.data(), stamp.size(), digest, 3));
    uint64_t size = 0;
    uint64_t time = 0;
    cache_stamp_get(stamp.data(), 2, &size, &time);
    EXPECT_EQ(size, 1002u);
    EXPECT_EQ(time, 0x01D0000000000002ull);

    uint8_t other[payload_digest_size];
    std::copy(digest, digest + payload_digest_size, other);
    other[31] ^= 1;
    EXPECT_FALSE(cache_stamp_matches(stamp.data(), stamp.size(), other, 3)) << "another payload's";
    EXPECT_FALSE(cache_stamp_matches(stamp.data(), stamp.size(), digest, 2)) << "another number of entries";
    EXPECT_FALSE(cache_stamp_matches(stamp.data(), stamp.size() - 1, digest, 3)) << "cut short";
    std::vector<uint8_t> longer = stamp;
    longer.push_back(0);
    EXPECT_FALSE(cache_stamp_matches(longer.data(), longer.size(), digest, 3)) << "with more after it";
    std::vector<uint8_t> damaged = stamp;
    damaged[0] = 'X';
    EXPECT_FALSE(cache_stamp_matches(damaged.data(), damaged.size(), digest, 3)) << "no stamp";
    EXPECT_EQ(cache_stamp_size(~0ull), 0u) << "a count that does not fit";

    char16_t name[cache_digest_name_size];
    cache_digest_name(digest, name);
    EXPECT_EQ(std::u16string(name), u"a0a1a2a3a4a5a6a7");
}

// The names beside a cache directory that a start may act on: other
// payloads' directories, and what first starts and replacements left, by
// identifier and start time; nothing else, however alike.
TEST(cache_stamp, siblings_by_name)
{
    const char16_t* base = u"Rocket";
    const char16_t* own = u"0123456789abcdef";
    struct {
        const char16_t* name;
        cache_sibling kind;
        bool own_digest;
        unsigned long pid;
        unsigned long long time;
    } cases[] = {
        {u"Rocket_0123456789abcdef", cache_sibling_version, true, 0, 0},
        {u"Rocket_fedcba9876543210", cache_sibling_version, false, 0, 0},
        {u"Rocket_0123456789abcdef.staging_4711_134411615842502835", cache_sibling_staging, true, 4711,
         134411615842502835ull},
        {u"Rocket_fedcba9876543210.old_8_0", cache_sibling_replaced, false, 8, 0},
        {u"Rocket_0123456789ABCDEF", cache_sibling_other, false, 0, 0},
        {u"Rocket_0123456789abcde", cache_sibling_other, false, 0, 0},
        {u"Rocket_0123456789abcdef0", cache_sibling_other, false, 0, 0},
        {u"Rocket-0123456789abcdef", cache_sibling_other, false, 0, 0},
        {u"Rockets_0123456789abcdef", cache_sibling_other, false, 0, 0},
        {u"rocket_0123456789abcdef", cache_sibling_other, false, 0, 0},
        {u"Rocket_0123456789abcdef.staging_0_5", cache_sibling_other, false, 0, 0},
        {u"Rocket_0123456789abcdef.staging_4294967296_5", cache_sibling_other, false, 0, 0},
        {u"Rocket_0123456789abcdef.staging_12_", cache_sibling_other, false, 0, 0},
        {u"Rocket_0123456789abcdef.staging_12_5.x", cache_sibling_other, false, 0, 0},
        {u"Rocket_0123456789abcdef.stage_12_5", cache_sibling_other, false, 0, 0},
        {u"Rocket_0123456789abcdef.old_12_18446744073709551616", cache_sibling_other, false, 0, 0},
    };
    for (const auto& c : cases) {
        cache_sibling_name seen = cache_classify_sibling(c.name, base, own);
        std::string label(c.name, c.name + std::char_traits<char16_t>::length(c.name));
        EXPECT_EQ(seen.kind, c.kind) << label;
        EXPECT_EQ(seen.own_digest, c.own_digest) << label;
        EXPECT_EQ(seen.pid, c.pid) << label;
        EXPECT_EQ(seen.time, c.time) << label;
    }
}

}  // namespace
