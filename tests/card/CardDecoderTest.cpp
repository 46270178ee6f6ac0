#include "card/CardDecoder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <iostream>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace quillon {
namespace {

struct Typed {
  size_t afterByte;  // 1-based index of the byte after which text was yielded
  std::string text;
};

struct DecoderCase {
  const char* name;
  std::vector<uintptr_t> bytes;
  std::vector<Typed> typed;
  std::string bufferAfter;
};

std::string Bytes(std::initializer_list<int> b) {
  std::string s;
  for (int v : b) s.push_back(static_cast<char>(v));
  return s;
}

class DecoderTable : public ::testing::TestWithParam<DecoderCase> {};

TEST_P(DecoderTable, YieldsExactlyTheExpectedNumbers) {
  const DecoderCase& c = GetParam();
  std::string buffer;
  std::vector<Typed> got;
  for (size_t i = 0; i < c.bytes.size(); ++i) {
    std::string text = "unchanged";
    if (DecodeRxByte(buffer, c.bytes[i], text)) got.push_back({i + 1, text});
    ASSERT_LE(buffer.size(), kRxWindow);
  }
  ASSERT_EQ(got.size(), c.typed.size());
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].afterByte, c.typed[i].afterByte) << "frame " << i;
    EXPECT_EQ(got[i].text, c.typed[i].text) << "frame " << i;
  }
  EXPECT_EQ(buffer, c.bufferAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, DecoderTable,
    ::testing::Values(
        DecoderCase{"five_byte", {0x12, 0x34, 0x56, 0x78, 0x08}, {{5, "305419896"}}, ""},
        DecoderCase{"nine_byte",
                    {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x08},
                    {{9, "72623859790382856"}},
                    ""},
        DecoderCase{"nine_byte_wins_over_its_tail",
                    {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00},
                    {{9, "18446744073709551615"}},
                    ""},
        DecoderCase{"five_byte_max", {0xFF, 0xFF, 0xFF, 0xFF, 0x00}, {{5, "4294967295"}}, ""},
        DecoderCase{"no_leading_zeros", {0x00, 0x00, 0x30, 0x39, 0x09}, {{5, "12345"}}, ""},
        DecoderCase{"leading_garbage_dropped", {0xAA, 0x12, 0x34, 0x56, 0x78, 0x08}, {{6, "305419896"}}, ""},
        DecoderCase{"zero_frame_types_nothing", {0, 0, 0, 0, 0}, {{5, ""}}, ""},
        DecoderCase{
            "twelve_zero_bytes", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {{5, ""}, {10, ""}}, Bytes({0, 0})},
        DecoderCase{"wrong_check_byte_stays",
                    {0x12, 0x34, 0x56, 0x78, 0xF7},
                    {},
                    Bytes({0x12, 0x34, 0x56, 0x78, 0xF7})},
        DecoderCase{"wrong_nine_byte_check_keeps_window",
                    {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09},
                    {},
                    Bytes({1, 2, 3, 4, 5, 6, 7, 8, 9})},
        DecoderCase{"tenth_byte_pushes_oldest_out",
                    {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A},
                    {},
                    Bytes({2, 3, 4, 5, 6, 7, 8, 9, 0x0A})},
        DecoderCase{"nine_byte_preempted_by_inner_five",
                    {0x00, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x01},
                    {{6, "258"}},
                    Bytes({0x04, 0x05, 0x01})},
        DecoderCase{"two_frames_back_to_back",
                    {0x12, 0x34, 0x56, 0x78, 0x08, 0xDE, 0xAD, 0xBE, 0xEF, 0x22},
                    {{5, "305419896"}, {10, "3735928559"}},
                    ""},
        DecoderCase{"only_low_eight_bits_of_wparam",
                    {0x112, 0x234, 0xFF56, 0x12345678, 0x7FFFFF08},
                    {{5, "305419896"}},
                    ""},
        DecoderCase{
            "zero_bytes_inside_a_frame_are_data", {0x00, 0x12, 0x00, 0x34, 0x26}, {{5, "1179700"}}, ""}),
    [](const ::testing::TestParamInfo<DecoderCase>& info) { return info.param.name; });

TEST(Decoder, PartialFrameCombinesWithLaterBytes) {
  // 77 does not start a frame; 11 22 33 44 44 (after it) does, and takes 77 with it.
  std::string buffer;
  std::string text;
  const int stream[] = {0x77, 0x11, 0x22, 0x33, 0x44, 0x44};
  int frames = 0;
  for (int b : stream) frames += DecodeRxByte(buffer, b, text);
  EXPECT_EQ(frames, 1);
  EXPECT_EQ(text, "287454020");  // 0x11223344
  EXPECT_TRUE(buffer.empty());
}

// Reference model: the plain reading of the frame rules, written independently
// of the decoder's window bookkeeping, and used to check a long random stream.
struct Model {
  std::string window;
  bool Feed(unsigned char b, std::string* text) {
    window.push_back(static_cast<char>(b));
    if (window.size() > 9) window.erase(window.begin());
    auto at = [&](size_t i) { return static_cast<unsigned char>(window[i]); };
    if (window.size() == 9) {
      unsigned char x = 0;
      uint64_t v = 0;
      for (size_t i = 0; i < 8; ++i) x ^= at(i), v = v * 256 + at(i);
      if (x == at(8)) {
        window.clear();
        *text = v ? std::to_string(v) : "";
        return true;
      }
    }
    for (size_t i = 0; i + 5 <= window.size(); ++i) {
      if ((at(i) ^ at(i + 1) ^ at(i + 2) ^ at(i + 3)) == at(i + 4)) {
        uint64_t v = (uint64_t(at(i)) << 24) | (at(i + 1) << 16) | (at(i + 2) << 8) | at(i + 3);
        window.erase(0, i + 5);
        *text = v ? std::to_string(v) : "";
        return true;
      }
    }
    return false;
  }
};

TEST(Decoder, LongRandomStreamMatchesModelAndYieldsOnlyCheckedNumbers) {
  std::mt19937 rng(20261208);
  std::uniform_int_distribution<int> byteDist(0, 255);
  std::uniform_int_distribution<int> kindDist(0, 9);
  std::string buffer;
  std::string seen;  // every byte so far, to check each yielded frame really passed its check
  Model model;
  size_t frames = 0;
  const size_t total = 1000000;
  std::vector<unsigned char> pending;
  for (size_t i = 0; i < total; ++i) {
    // Mostly noise, sometimes a well-formed frame of either kind.
    if (pending.empty() && kindDist(rng) == 0) {
      size_t len = kindDist(rng) < 5 ? 4 : 8;
      unsigned char x = 0;
      for (size_t k = 0; k < len; ++k) {
        pending.push_back(static_cast<unsigned char>(byteDist(rng)));
        x ^= pending.back();
      }
      pending.push_back(x);
    }
    unsigned char b;
    if (!pending.empty()) {
      b = pending.front();
      pending.erase(pending.begin());
    } else {
      b = static_cast<unsigned char>(byteDist(rng));
    }
    seen.push_back(static_cast<char>(b));

    std::string text, expected;
    const bool got = DecodeRxByte(buffer, b | (static_cast<uintptr_t>(byteDist(rng)) << 8), text);
    const bool want = model.Feed(b, &expected);
    ASSERT_EQ(got, want) << "at byte " << i;
    ASSERT_LE(buffer.size(), kRxWindow);
    if (!got) continue;
    ++frames;
    ASSERT_EQ(text, expected) << "at byte " << i;
    ASSERT_EQ(text.find_first_not_of("0123456789"), std::string::npos);
    ASSERT_TRUE(text.empty() || text[0] != '0');
    // The yielded number is the data of a window of the real stream that ends
    // here and whose last byte is the XOR of the ones before it.
    bool found = false;
    for (size_t len : {9u, 5u}) {
      if (seen.size() < len) continue;
      std::string w = seen.substr(seen.size() - len);
      unsigned char x = 0;
      uint64_t v = 0;
      for (size_t k = 0; k + 1 < len; ++k) {
        x ^= static_cast<unsigned char>(w[k]);
        v = v * 256 + static_cast<unsigned char>(w[k]);
      }
      if (x == static_cast<unsigned char>(w[len - 1]) && text == (v ? std::to_string(v) : "")) found = true;
    }
    ASSERT_TRUE(found) << "at byte " << i << ": " << text;
  }
  EXPECT_GT(frames, total / 40);  // the generator really produced frames
}

// Held bytes expire: a 9-byte card whose first five bytes pass the 5-byte check
// leaves its last four bytes, whose XOR is 0, so together with the next 5-byte card
// they form a 9-byte frame no card carried, unless the pause between them drops them.
TEST(DecoderExpiry, LeftoversCombineWithTheNextCardOnlyWithinTheBound) {
  const std::vector<int> nineByteCard = {0x12, 0x34, 0x56, 0x78, 0x08, 0xAA, 0xBB, 0xCC, 0xDD};
  const std::vector<int> fiveByteCard = {0xDE, 0xAD, 0xBE, 0xEF, 0x22};
  const std::string combined = "12302652060388409071";  // 0xAABBCCDDDEADBEEF
  const std::string alone = "3735928559";               // 0xDEADBEEF
  struct Case {
    const char* name;
    uint32_t startMs;
    uint32_t gapMs;
    std::string second;
  } cases[] = {
      {"gap_just_over_bound", 5000, kStaleAfterMs + 1, alone},
      {"gap_of_an_hour", 5000, 3600000, alone},
      {"gap_at_bound", 5000, kStaleAfterMs, combined},
      {"gap_short", 5000, 20, combined},
      {"over_bound_across_tick_wrap", 0xFFFFFF00u, kStaleAfterMs + 1, alone},
      {"short_across_tick_wrap", 0xFFFFFF00u, 500, combined},
      {"short_before_tick_wrap", 0xFFFFFC00u, 20, combined},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string buffer;
    uint32_t lastMs = 0;
    uint32_t nowMs = c.startMs;
    std::vector<std::string> typed;
    auto feed = [&](const std::vector<int>& burst) {
      for (int b : burst) {
        std::string text;
        if (DecodeRxByte(buffer, lastMs, nowMs, b, text)) typed.push_back(text);
        nowMs += 1;
      }
    };
    feed(nineByteCard);
    ASSERT_EQ(buffer, Bytes({0xAA, 0xBB, 0xCC, 0xDD}));
    nowMs += c.gapMs - 1;
    feed(fiveByteCard);
    EXPECT_EQ(typed, (std::vector<std::string>{"305419896", c.second}));
    EXPECT_TRUE(buffer.empty());
  }
}

// Cards of both forms, noise and cut frames arrive as bursts whose bytes are at most
// the bound apart; bursts are further apart than that, and the tick wraps many times.
// Each burst must decode exactly as it would on an empty buffer.
TEST(DecoderExpiry, BurstsAfterAPauseDecodeAsOnAnEmptyBuffer) {
  std::mt19937 rng(20261209);
  std::uniform_int_distribution<int> byteDist(0, 255);
  std::uniform_int_distribution<int> percent(0, 99);
  std::uniform_int_distribution<uint32_t> quickByte(0, 20);
  std::uniform_int_distribution<uint32_t> slowByte(0, kStaleAfterMs);
  std::uniform_int_distribution<uint32_t> shortPause(kStaleAfterMs + 1, 3 * kStaleAfterMs);
  std::uniform_int_distribution<uint32_t> longPause(kStaleAfterMs + 1, 24u * 3600 * 1000);
  auto frame = [&](size_t dataBytes) {
    std::string f;
    unsigned char x = 0;
    for (size_t k = 0; k < dataBytes; ++k) {
      f.push_back(static_cast<char>(byteDist(rng)));
      x ^= static_cast<unsigned char>(f.back());
    }
    f.push_back(static_cast<char>(x));
    return f;
  };

  std::string buffer, untimedBuffer;
  uint32_t lastMs = 0;
  uint32_t nowMs = 0xFFF00000u;
  const size_t totalCards = 100000;
  size_t cards = 0, others = 0, wrongWithoutExpiry = 0, numbers = 0, numbersWithoutExpiry = 0;
  while (cards < totalCards) {
    const int kind = percent(rng);
    const bool isCard = kind >= 20;
    std::string burst;
    if (isCard) {
      burst = frame(percent(rng) < 50 ? 4 : 8);
    } else if (kind < 10) {
      for (int k = 1 + percent(rng) % 8; k > 0; --k) burst.push_back(static_cast<char>(byteDist(rng)));
    } else {
      burst = frame(percent(rng) < 50 ? 4 : 8);
      burst.resize(1 + static_cast<size_t>(percent(rng)) % (burst.size() - 1));
    }

    nowMs += percent(rng) < 90 ? shortPause(rng) : longPause(rng);
    Model fresh;
    std::vector<std::string> expected, got, gotWithoutExpiry;
    for (size_t i = 0; i < burst.size(); ++i) {
      const unsigned char b = static_cast<unsigned char>(burst[i]);
      if (i > 0) nowMs += percent(rng) < 5 ? slowByte(rng) : quickByte(rng);
      std::string text;
      if (fresh.Feed(b, &text)) expected.push_back(text);
      if (DecodeRxByte(buffer, lastMs, nowMs, b, text)) got.push_back(text);
      if (DecodeRxByte(untimedBuffer, b, text)) gotWithoutExpiry.push_back(text);
    }
    ASSERT_EQ(got, expected) << "after " << cards << " cards";
    numbers += got.size();
    numbersWithoutExpiry += gotWithoutExpiry.size();
    if (!isCard) {
      ++others;
      continue;
    }
    ++cards;
    wrongWithoutExpiry += gotWithoutExpiry != expected;
  }
  std::cout << cards << " cards and " << others << " noise or cut bursts, " << numbers
            << " numbers typed, each burst as on an empty buffer; without expiry " << wrongWithoutExpiry
            << " cards typed wrong and " << numbersWithoutExpiry << " numbers typed\n";
  EXPECT_GT(wrongWithoutExpiry, 0u);  // the stream really exercises stale bytes
}

TEST(FormatString, FormatsWideIntegersAndLongText) {
  EXPECT_EQ(FormatString("%llu", 18446744073709551615ULL), "18446744073709551615");
  EXPECT_EQ(FormatString("%lu", 4294967295UL), "4294967295");
  EXPECT_EQ(FormatString("%s", ""), "");
  std::string longText(5000, 'x');
  EXPECT_EQ(FormatString("<%s>", longText.c_str()), "<" + longText + ">");
}

}  // namespace
}  // namespace quillon
