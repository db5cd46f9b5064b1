// The program's message texts, by string id (resources/resource_ids.h), as the Linux program prints
// them. The Windows program shows the same texts from its string table.
#pragma once

#include <cstdint>
#include <string>

// The text of a string id (UTF-8), or null when the string table has no such id.
const char *message_text(std::int32_t id);
// An English gloss of the same text for the console, or null.
const char *message_gloss(std::int32_t id);

// `text` with its first "%d" replaced by `number`; every other byte as it is (a text is data,
// never a format).
std::string message_fill(const char *text, std::int32_t number);

// The text of a string id with its gloss in brackets, as the Linux programs print a message:
// "TEXT (gloss)", each with its "%d" filled with `number`.
std::string message_line(std::int32_t id, std::int32_t number = 0);
