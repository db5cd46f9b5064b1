// The program's message texts, by string id (resources/resource_ids.h), as the Linux program prints
// them. The Windows program shows the same texts from its string table.
#pragma once

#include <cstdint>

// The text of a string id (UTF-8), or null when the string table has no such id.
const char *message_text(std::int32_t id);
// An English gloss of the same text for the console, or null.
const char *message_gloss(std::int32_t id);
