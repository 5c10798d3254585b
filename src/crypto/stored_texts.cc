// Deciphering the program's own stored texts on demand.

#include <cstring>

#include "crypto/login_cipher.h"
#include "crypto/stored_texts.h"

namespace rowvane {

const char* banner_line(int index) {
  struct Banners {
    char line[3][kBannerLineBytes];
  };
  // Deciphered once, on first use; a function-local static is initialised
  // thread-safely should a host call this from several threads.
  static const Banners banners = [] {
    Banners b;
    for (int i = 0; i < 3; ++i) {
      unsigned char work[kBannerLineBytes];
      std::memcpy(work, kStoredBanner[i], sizeof work);
      decipher_stored_text(work, sizeof work / kStoredUnitBytes);
      std::memcpy(b.line[i], work, sizeof work);
      b.line[i][kBannerLineBytes - 1] = '\0';
    }
    return b;
  }();
  if (index < 0 || index > 2) return "";
  return banners.line[index];
}

void split_template(int which, bool partition, bool embedded, char out[512]) {
  if (which != 0 && which != 1) {
    std::memset(out, 0, kSplitTemplateBytes);
    return;
  }
  unsigned char work[kSplitTemplateBytes];
  std::memcpy(work, kStoredSplit[which][partition ? 1 : 0][embedded ? 1 : 0], sizeof work);
  decipher_stored_text(work, sizeof work / kStoredUnitBytes);
  std::memcpy(out, work, sizeof work);
  out[kSplitTemplateBytes - 1] = '\0';
}

}  // namespace rowvane
