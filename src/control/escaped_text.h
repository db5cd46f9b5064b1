// Texts typed on a command line and shown on a terminal: the settings' texts hold any byte (CR LF
// in messages, Shift-JIS from the Windows program), so they are typed and shown with backslash
// escapes. The same escapes carry names and callers over the control channel.
#pragma once

#include <cstddef>
#include <string>

// Reads a typed text: \r, \n, \\ and \xHH (two hex digits) stand for CR, LF, a backslash and the
// byte HH; every other byte stands for itself. 0 with the bytes in *bytes; -1 with *problem telling
// what is wrong (another escape, a lone backslash at the end, \x00: a text cannot hold a NUL).
int escaped_text_read(const char *typed, std::string *bytes, std::string *problem);

// Writes bytes so that a terminal shows them safely and escaped_text_read gives them back: a
// backslash as \\, CR and LF as \r and \n, a double quote and every other control byte as \xHH,
// UTF-8 sequences as they are, any other byte from 0x80 up as \xHH. With escape_space, a space is
// \x20 too, so that the text is one word.
std::string escaped_text_show(const char *bytes, std::size_t length, bool escape_space = false);
