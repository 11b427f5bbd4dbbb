#include "neutral/sha256.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string hex(const uint8_t digest[sha256_size])
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < sha256_size; ++i) {
        text += digits[digest[i] >> 4];
        text += digits[digest[i] & 15];
    }
    return text;
}

// The message fed in slices of `slice` bytes, the last one shorter.
std::string digest_in_slices(const std::string& message, size_t slice)
{
    sha256_state state;
    sha256_begin(&state);
    for (size_t at = 0; at < message.size(); at += slice) {
        sha256_feed(&state, message.data() + at, message.size() - at < slice ? message.size() - at : slice);
    }
    uint8_t digest[sha256_size];
    sha256_end(&state, digest);
    return hex(digest);
}

// The message in two parts split at `at`, the first fed in two calls, one
// of them empty.
std::string digest_split(const std::string& message, size_t at)
{
    sha256_state state;
    sha256_begin(&state);
    sha256_feed(&state, message.data(), at);
    sha256_feed(&state, message.data() + at, 0);
    sha256_feed(&state, message.data() + at, message.size() - at);
    uint8_t digest[sha256_size];
    sha256_end(&state, digest);
    return hex(digest);
}

// Bytes that differ with their position and the message's length.
std::string patterned(size_t length)
{
    std::string bytes;
    for (size_t i = 0; i < length; ++i) {
        bytes += static_cast<char>((i * 7 + length) & 0xFF);
    }
    return bytes;
}

TEST(sha256, standard_vectors_and_the_padding_boundaries_in_any_slices)
{
    // The standard's examples, and messages whose padding just fits a
    // block (55 bytes), just misses it (56), and fills blocks exactly:
    // expected digests from Python's hashlib.
    const struct {
        const char* label;
        std::string message;
        const char* digest;
    } cases[] = {
        {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"448 bits", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"896 bits",
         "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmn"
         "hijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {"55 bytes", patterned(55), "81afe5b788dc2ce138ff83d9b20164db75a94d75d2b2432eea4a0ef605088c72"},
        {"56 bytes", patterned(56), "2aba54f0ac632420a2b502431408866e40e1d5e430df4cd822642c78ab2eb9c1"},
        {"57 bytes", patterned(57), "903284efbf9100e8ba1614ec65eacacad125e03f857cae7acbf8b73b23e0fdfe"},
        {"63 bytes", patterned(63), "733d3d4ee79ee67145bf73da13588f6f235d37414fc64b14a2f00f1762792f5e"},
        {"64 bytes", patterned(64), "79322907b3e9d013d7dc2c2f256674dbf733045cde01df3539271c6f5605feb8"},
        {"65 bytes", patterned(65), "d85c007c6eb440f085afa2b84f6f2bce4658b240e9f62cb1364bf0485a57e720"},
        {"119 bytes", patterned(119), "6c87eedf096b345de205b702e5223b73b447a3207791ded3ea007ba15ed6736e"},
        {"120 bytes", patterned(120), "42500cf6a1e3936d6b9e0bcfe296d654b63255e525487d3634d0b15fde591c4d"},
    };
    for (const auto& c : cases) {
        for (size_t slice : {size_t{1}, size_t{3}, size_t{63}, size_t{64}, size_t{65}, size_t{1000}}) {
            EXPECT_EQ(digest_in_slices(c.message, slice), c.digest) << c.label << ", slices of " << slice;
        }
        for (size_t at = 0; at <= c.message.size(); ++at) {
            EXPECT_EQ(digest_split(c.message, at), c.digest) << c.label << ", split at " << at;
        }
    }
    // One million 'a', in slices that straddle blocks, and in one piece.
    const std::string million(1000000, 'a');
    for (size_t slice : {size_t{1000000}, size_t{4093}, size_t{1}}) {
        EXPECT_EQ(digest_in_slices(million, slice),
                  "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0")
            << "a million 'a' in slices of " << slice;
    }
}

}  // namespace
