// The settings' names for the command line: comparing records field by field.
#include "app/settings_fields.h"

#include <cstring>

namespace {

// A text's characters: up to its terminator or the whole field.
std::string field_characters(const SettingsField *field, const void *record) {
    const char *at = static_cast<const char *>(record) + field->offset;
    std::size_t length = 0;
    while (length < field->size && at[length] != '\0') ++length;
    return std::string(at, length);
}

}  // namespace

std::string settings_fields_changed(const SettingsField *fields, std::size_t count,
                                    const void *before, const void *after) {
    std::string names;
    for (std::size_t i = 0; i < count; ++i) {
        const SettingsField *field = &fields[i];
        bool differ = field->kind == FIELD_TEXT
                          ? field_characters(field, before) != field_characters(field, after)
                          : std::memcmp(static_cast<const char *>(before) + field->offset,
                                        static_cast<const char *>(after) + field->offset,
                                        field->size) != 0;
        if (differ) names += std::string(names.empty() ? "" : ", ") + field->name;
    }
    return names;
}
