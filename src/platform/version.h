// The program's product version text, shown by the about box and by the modem emulator's
// information line.
#pragma once

// NUL-terminated; empty until read_product_version has run. Written only by read_product_version
// on the UI thread (at start-up, or by the first modem emulator start); read by anyone afterwards.
extern char version_text[32];

// Fills version_text with the program's product version. Linux: the version compiled into the
// program. Windows: the ProductVersion of the program file's own version block (string block
// 041103A4), cut to 31 characters; while the file has no version block, the compiled-in text.
// True when the text came from where it belongs (on Windows: the version block). UI thread.
bool read_product_version();
