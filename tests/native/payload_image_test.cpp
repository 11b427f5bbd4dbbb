#include "neutral/payload_image.h"

#include <gtest/gtest.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

bytes concat(std::initializer_list<bytes> parts)
{
    bytes out;
    for (const bytes& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

bytes text(const char* ascii)
{
    return bytes(ascii, ascii + strlen(ascii));
}

// UTF-16LE units and the terminating zero unit.
bytes name(const std::u16string& units)
{
    bytes out;
    for (char16_t unit : units) {
        out.push_back(static_cast<uint8_t>(unit));
        out.push_back(static_cast<uint8_t>(unit >> 8));
    }
    out.push_back(0);
    out.push_back(0);
    return out;
}

bytes u64(uint64_t value)
{
    bytes out;
    for (int i = 0; i < 8; ++i) {
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
    return out;
}

const bytes end_marker = {0, 0};

// An exactly sized heap copy, so that AddressSanitizer sees any read past it.
payload_problem validate_exact(const bytes& image, size_t size, payload_summary* summary)
{
    std::unique_ptr<uint8_t[]> copy(new uint8_t[size == 0 ? 1 : size]);
    if (size != 0) {
        memcpy(copy.get(), image.data(), size);
    }
    return payload_validate(size == 0 ? nullptr : copy.get(), size, summary);
}

bool append_to_vector(void* context, const void* data, size_t size)
{
    bytes* out = static_cast<bytes*>(context);
    const uint8_t* in = static_cast<const uint8_t*>(data);
    out->insert(out->end(), in, in + size);
    return true;
}

struct entry {
    std::u16string name;
    bytes data;
};

bytes write_image(const std::vector<entry>& entries)
{
    bytes image;
    payload_writer writer;
    payload_writer_init(&writer, append_to_vector, &image);
    EXPECT_TRUE(payload_write_magic(&writer));
    for (const entry& e : entries) {
        const uint16_t* units = reinterpret_cast<const uint16_t*>(e.name.data());
        EXPECT_TRUE(payload_write_entry_header(&writer, units, e.name.size(), e.data.size()));
        EXPECT_TRUE(payload_write_data(&writer, e.data.data(), e.data.size()));
    }
    EXPECT_TRUE(payload_write_end(&writer));
    EXPECT_EQ(writer.position, image.size());
    return image;
}

// Odd data sizes put the following names at odd offsets; 256 units fill the
// writer's name chunk exactly, 1023 is the longest name the launcher takes.
std::vector<entry> sample_entries()
{
    return {
        {u"main.dll", text("MZ\x90")},
        {u"empty", {}},
        {u"sub\\dir\\\u00e9\u4e2d.txt", text("odd")},
        {std::u16string(255, u'a'), text("x")},
        {std::u16string(256, u'b'), text("yz")},
        {std::u16string(257, u'c'), {}},
        {std::u16string(1023, u'd'), text("last")},
    };
}

TEST(payload_image, written_image_validates_and_walks_back_to_the_same_entries)
{
    std::vector<entry> entries = sample_entries();
    bytes image = write_image(entries);

    payload_summary summary;
    ASSERT_EQ(payload_validate(image.data(), image.size(), &summary), payload_ok);
    EXPECT_EQ(summary.entry_count, entries.size());
    EXPECT_EQ(summary.data_bytes, 3u + 0 + 3 + 1 + 2 + 0 + 4);
    // Trailer: two zero bytes, then the count of every byte before the count.
    ASSERT_EQ(summary.end_offset + 10, image.size());
    EXPECT_EQ(image[summary.end_offset], 0);
    EXPECT_EQ(image[summary.end_offset + 1], 0);
    EXPECT_EQ(payload_load_u64(image.data() + image.size() - 8), image.size() - 8);

    const uint8_t* cursor = image.data() + 3;
    const uint8_t* end = image.data() + image.size();
    uint16_t units[payload_name_capacity];
    for (const entry& e : entries) {
        bool is_end = true;
        ASSERT_TRUE(payload_span_read_name(&cursor, end, units, payload_name_capacity, &is_end));
        EXPECT_FALSE(is_end);
        EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(units)), e.name);
        uint64_t size = 0;
        const uint8_t* data = nullptr;
        ASSERT_TRUE(payload_span_read_size(&cursor, end, &size));
        ASSERT_TRUE(payload_span_take(&cursor, end, size, &data));
        EXPECT_EQ(bytes(data, data + size), e.data);
    }
    bool is_end = false;
    ASSERT_TRUE(payload_span_read_name(&cursor, end, units, payload_name_capacity, &is_end));
    EXPECT_TRUE(is_end);
    EXPECT_EQ(cursor, image.data() + summary.end_offset);
}

TEST(payload_image, every_cut_before_the_end_marker_is_refused_and_the_trailer_is_optional)
{
    bytes image = write_image(sample_entries());
    payload_summary full;
    ASSERT_EQ(payload_validate(image.data(), image.size(), &full), payload_ok);
    for (size_t size = 0; size < image.size(); ++size) {
        payload_summary summary;
        payload_problem problem = validate_exact(image, size, &summary);
        if (size < 3) {
            EXPECT_EQ(problem, payload_bad_magic) << size;
        } else if (size < full.end_offset) {
            EXPECT_EQ(problem, payload_truncated) << size;
            EXPECT_LE(summary.problem_offset, size);
        } else {
            EXPECT_EQ(problem, payload_ok) << size;
            EXPECT_EQ(summary.end_offset, full.end_offset);
        }
    }
}

TEST(payload_image, hand_made_images)
{
    const std::u16string long_1023(1023, u'n');
    const std::u16string long_1024(1024, u'n');
    bytes unterminated_1024 = name(long_1024);
    unterminated_1024.resize(unterminated_1024.size() - 2);
    struct {
        const char* what;
        bytes image;
        payload_problem expected;
        uint64_t entries;
        uint64_t end_offset;
    } cases[] = {
        {"end marker straight after the magic", concat({text("KAX"), end_marker}), payload_ok, 0, 5},
        {"bytes after the end marker are ignored", concat({text("KAX"), end_marker, text("\xff\xff\x01")}),
         payload_ok, 0, 5},
        {"size 0 entry", concat({text("KAX"), name(u"a"), u64(0), end_marker}), payload_ok, 1, 17},
        {"1023-unit name fits", concat({text("KAX"), name(long_1023), u64(0), end_marker}), payload_ok, 1,
         3 + 2048 + 8 + 2},
        {"empty", {}, payload_bad_magic, 0, 0},
        {"two bytes", text("KA"), payload_bad_magic, 0, 0},
        {"KAY", concat({text("KAY"), end_marker}), payload_bad_magic, 0, 0},
        {"kax", concat({text("kax"), end_marker}), payload_bad_magic, 0, 0},
        {"magic only", text("KAX"), payload_truncated, 0, 0},
        {"half an end marker", concat({text("KAX"), bytes{0}}), payload_truncated, 0, 0},
        {"1024-unit name", concat({text("KAX"), name(long_1024), u64(0), end_marker}), payload_name_too_long, 0,
         0},
        {"1024 units cut off by the end", concat({text("KAX"), unterminated_1024}), payload_truncated, 0, 0},
        {"size field one byte short", concat({text("KAX"), name(u"a"), bytes(7, 0)}), payload_truncated, 0, 0},
        {"data one byte short", concat({text("KAX"), name(u"a"), u64(5), text("abcd")}), payload_truncated, 0, 0},
        {"size near 2^64", concat({text("KAX"), name(u"a"), u64(~0ull), text("abcd"), end_marker}),
         payload_truncated, 0, 0},
        {"no end marker after an entry", concat({text("KAX"), name(u"a"), u64(1), text("z")}), payload_truncated,
         1, 0},
        {"parent component", concat({text("KAX"), name(u"a\\..\\b"), u64(0), end_marker}), payload_unsafe_name, 0,
         0},
        {"drive", concat({text("KAX"), name(u"C:x"), u64(0), end_marker}), payload_unsafe_name, 0, 0},
        {"leading backslash", concat({text("KAX"), name(u"\\x"), u64(0), end_marker}), payload_unsafe_name, 0, 0},
    };
    for (const auto& c : cases) {
        payload_summary summary;
        EXPECT_EQ(validate_exact(c.image, c.image.size(), &summary), c.expected) << c.what;
        EXPECT_EQ(summary.entry_count, c.entries) << c.what;
        EXPECT_EQ(summary.end_offset, c.end_offset) << c.what;
    }
}

TEST(payload_image, problem_points_at_the_entry_that_has_it)
{
    bytes image = concat({text("KAX"), name(u"ok"), u64(1), text("z"), name(u"bad/name"), u64(0), end_marker});
    payload_summary summary;
    EXPECT_EQ(payload_validate(image.data(), image.size(), &summary), payload_unsafe_name);
    EXPECT_EQ(summary.problem_entry, 1u);
    EXPECT_EQ(summary.problem_offset, 3u + 6 + 8 + 1);
}

TEST(payload_image, failed_span_reads_leave_the_cursor_alone)
{
    bytes image = concat({name(u"abc"), u64(3)});
    const uint8_t* begin = image.data();
    const uint8_t* end = image.data() + image.size();

    const uint8_t* cursor = begin;
    uint16_t units[4];
    bool is_end = false;
    EXPECT_FALSE(payload_span_read_name(&cursor, end, units, 3, &is_end));  // needs 4 with its terminator
    EXPECT_EQ(cursor, begin);
    EXPECT_TRUE(payload_span_read_name(&cursor, end, units, 4, &is_end));
    EXPECT_EQ(cursor, begin + 8);

    uint64_t size = 0;
    const uint8_t* short_end = end - 1;
    EXPECT_FALSE(payload_span_read_size(&cursor, short_end, &size));
    EXPECT_EQ(cursor, begin + 8);

    const uint8_t* data = nullptr;
    EXPECT_FALSE(payload_span_take(&cursor, end, 9, &data));
    EXPECT_FALSE(payload_span_take(&cursor, end, ~0ull, &data));
    EXPECT_EQ(cursor, begin + 8);
    EXPECT_TRUE(payload_span_take(&cursor, end, 8, &data));
    EXPECT_EQ(cursor, end);
}

bool fail_after_three_calls(void* context, const void*, size_t)
{
    int* calls = static_cast<int*>(context);
    return ++*calls <= 3;
}

TEST(payload_writer, refuses_bad_names_and_a_failed_sink_sticks)
{
    bytes image;
    payload_writer writer;
    const uint16_t with_zero[] = {'a', 0, 'b'};
    payload_writer_init(&writer, append_to_vector, &image);
    EXPECT_FALSE(payload_write_entry_header(&writer, with_zero, 0, 0));
    EXPECT_TRUE(writer.failed);
    payload_writer_init(&writer, append_to_vector, &image);
    EXPECT_FALSE(payload_write_entry_header(&writer, with_zero, 3, 0));
    EXPECT_FALSE(payload_write_end(&writer));

    int calls = 0;
    const uint16_t plain[] = {'a'};
    payload_writer_init(&writer, fail_after_three_calls, &calls);
    EXPECT_TRUE(payload_write_magic(&writer));
    EXPECT_TRUE(payload_write_entry_header(&writer, plain, 1, 2));  // name, size
    EXPECT_FALSE(payload_write_data(&writer, "xy", 2));
    uint64_t position = writer.position;
    EXPECT_FALSE(payload_write_end(&writer));
    EXPECT_EQ(writer.position, position);
    EXPECT_EQ(calls, 4);  // nothing more reached the sink after the failure
}

}  // namespace
