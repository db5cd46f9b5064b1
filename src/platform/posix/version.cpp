// The product version on Linux: an ELF file has no version block, so the build compiles it in.
#include "platform/version.h"

#include <cstddef>

char version_text[32];

bool read_product_version() {
    const char *text = NORVEX_PRODUCT_VERSION;
    std::size_t i = 0;
    for (; i + 1 < sizeof version_text && text[i] != '\0'; ++i) version_text[i] = text[i];
    version_text[i] = '\0';
    return true;
}
