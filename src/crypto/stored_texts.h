// The program's own texts, kept enciphered with decipher_stored_text's key
// order. The arrays are written at build time by gen/stored_text_gen.cc from
// stored_texts.txt; banner_line() and split_template() decipher them.
#pragma once

#include <cstddef>

namespace rowvane {

constexpr size_t kBannerLineBytes = 128;     // 8 units of 16 bytes
constexpr size_t kSplitTemplateBytes = 512;  // 32 units of 16 bytes
constexpr size_t kStoredUnitBytes = 16;

// Banner lines 1 to 3 (product and version; description; copyright).
extern const unsigned char kStoredBanner[3][kBannerLineBytes];
// Split statement templates by [which][partition][embedded]: which 0 is the
// total-weight statement, 1 the piece statement; partition 1 is the variant
// with three placeholders (owner, table, partition), 0 the one with two
// (owner, table); embedded 1 is the wording for the embedded engine.
extern const unsigned char kStoredSplit[2][2][2][kSplitTemplateBytes];

}  // namespace rowvane
