// The product version on Windows: the ProductVersion text of the program file's own version block.
#include "platform/version.h"

#include <windows.h>

#include <cstddef>
#include <new>

char version_text[32];

namespace {

// Copies up to 31 characters and the terminator; a longer value is cut.
void set_version_text(const char *text, std::size_t length) {
    std::size_t i = 0;
    for (; i < length && i + 1 < sizeof version_text && text[i] != '\0'; ++i) {
        version_text[i] = text[i];
    }
    version_text[i] = '\0';
}

// The ProductVersion of the Japanese (code page 932) string block of the named file. False when
// the file, its block or the value is missing.
bool read_block_version(const char *path) {
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(path, &ignored);
    if (size == 0) return false;
    char *block = new (std::nothrow) char[size];
    if (block == nullptr) return false;
    bool found = false;
    if (GetFileVersionInfoA(path, 0, size, block)) {
        char *value = nullptr;
        UINT length = 0;
        if (VerQueryValueA(block, "\\StringFileInfo\\041103A4\\ProductVersion",
                           reinterpret_cast<void **>(&value), &length) &&
            value != nullptr) {
            set_version_text(value, length);
            found = true;
        }
    }
    delete[] block;
    return found;
}

}  // namespace

bool read_product_version() {
    version_text[0] = '\0';
    char path[MAX_PATH + 1];
    DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
        path[length] = '\0';
        if (read_block_version(path)) return true;
    }
    // A build without its version block (the test programs) still shows the version it was built
    // as.
    const char *built = NORVEX_PRODUCT_VERSION;
    set_version_text(built, sizeof NORVEX_PRODUCT_VERSION);
    return false;
}
