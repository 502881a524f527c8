#include "platform/sjis.h"

#include <cstdint>

namespace diffmark::platform {
namespace {

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

bool IsLeadByte(uint8_t b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }

struct Pair {
  uint16_t sjis;
  uint16_t unicode;
};

// Kanji and punctuation that the messages use, sorted by code.
constexpr Pair kSingles[] = {
    {0x8140, 0x3000}, {0x8141, 0x3001}, {0x8142, 0x3002}, {0x8148, 0xFF1F}, {0x8149, 0xFF01},
    {0x8c78, 0x8B66},  // 警
    {0x8ca9, 0x898B},  // 見
    {0x8d90, 0x544A},  // 告
    {0x8dec, 0x4F5C},  // 作
    {0x8f49, 0x7D42},  // 終
    {0x926d, 0x77E5},  // 知
    {0x92ca, 0x901A},  // 通
    {0x97b9, 0x4E86},  // 了
};

uint32_t DoubleByte(uint16_t code) {
  if (code >= 0x824F && code <= 0x8258) return 0xFF10u + (code - 0x824Fu);  // digits
  if (code >= 0x8260 && code <= 0x8279) return 0xFF21u + (code - 0x8260u);  // A-Z
  if (code >= 0x8281 && code <= 0x829A) return 0xFF41u + (code - 0x8281u);  // a-z
  if (code >= 0x829F && code <= 0x82F1) return 0x3041u + (code - 0x829Fu);  // hiragana
  if (code >= 0x8340 && code <= 0x837E) return 0x30A1u + (code - 0x8340u);  // katakana
  if (code >= 0x8380 && code <= 0x8396) return 0x30E0u + (code - 0x8380u);
  for (const Pair& p : kSingles) {
    if (p.sjis == code) return p.unicode;
  }
  return 0xFFFD;
}

}  // namespace

std::string ShiftJisToUtf8(const char* text) {
  std::string out;
  const auto* p = reinterpret_cast<const uint8_t*>(text);
  while (*p != 0) {
    const uint8_t b = *p++;
    if (b < 0x80) {
      out.push_back(static_cast<char>(b));
    } else if (b >= 0xA1 && b <= 0xDF) {
      AppendUtf8(out, 0xFF61u + (b - 0xA1u));
    } else if (IsLeadByte(b) && *p >= 0x40 && *p != 0x7F && *p <= 0xFC) {
      AppendUtf8(out, DoubleByte(static_cast<uint16_t>((b << 8) | *p++)));
    } else {
      AppendUtf8(out, 0xFFFD);
    }
  }
  return out;
}

}  // namespace diffmark::platform
