// The string table's texts with an English gloss for the console.
#include "app/messages.h"

#include "resources/resource_ids.h"
#include "resources/string_texts.h"

namespace {

struct Message {
    std::int32_t id;
    const char *text;
    const char *gloss;
};

constexpr Message MESSAGES[] = {
    {STR_FORCE_DISCONNECT_QUESTION, TEXT_1001, "force-disconnect %s?"},
    {STR_SETTINGS_READ_FAILED, TEXT_1002, "reading the settings file failed"},
    {STR_DATA_WRITE_FAILED, TEXT_1003, "writing the data failed"},
    {STR_NO_FREE_RULE, TEXT_1004, "no free slot to add a condition"},
    {STR_NO_PORT_TO_ADD, TEXT_1005, "no COM port left to add"},
    {STR_PORT_REMOVE_FAILED, TEXT_1006, "removing the port failed"},
    {STR_PORT_ADD_FAILED, TEXT_1007, "adding the port failed"},
    {STR_PORT_UPDATE_FAILED, TEXT_1008, "updating the port failed"},
    {STR_TELNET_PORT_NEXT_START, TEXT_1009, "the telnet port takes effect at the next start"},
    {STR_CLASS_REGISTER_FAILED, TEXT_1011, "registering the window class failed"},
    {STR_WINDOW_CREATE_FAILED, TEXT_1012, "creating the window failed"},
    {STR_SERVER_START_FAILED, TEXT_1013, "creating the server thread failed"},
    {STR_SERVER_FORCED_STOP, TEXT_1014, "the server thread was ended by force"},
    {STR_EXIT_QUESTION, TEXT_1015, "really exit?"},
    {STR_LISTEN_FAILED, TEXT_1016,
     "cannot listen on telnet port %d (in use, no permission, or not 1-65535)"},
    {STR_PERM_COLUMN_ADDRESS, TEXT_1101, "address"},
    {STR_PERM_COLUMN_PERMIT, TEXT_1102, "permit/deny"},
    {STR_PERMIT, TEXT_1103, "permit"},
    {STR_DENY, TEXT_1104, "deny"},
    {STR_TITLE_ADD_PORT, TEXT_1105, "add port"},
    {STR_TITLE_PORT_SETTINGS, TEXT_1106, "port settings"},
    {STR_STATUS_COLUMN_PORT, TEXT_1107, "port"},
    {STR_STATUS_COLUMN_ADDRESS, TEXT_1108, "address"},
};

const Message *find(std::int32_t id) {
    for (const Message &message : MESSAGES) {
        if (message.id == id) return &message;
    }
    return nullptr;
}

}  // namespace

const char *message_text(std::int32_t id) {
    const Message *message = find(id);
    return message == nullptr ? nullptr : message->text;
}

const char *message_gloss(std::int32_t id) {
    const Message *message = find(id);
    return message == nullptr ? nullptr : message->gloss;
}

std::string message_fill(const char *text, std::int32_t number) {
    std::string filled = text == nullptr ? "" : text;
    std::size_t place = filled.find("%d");
    if (place != std::string::npos) filled.replace(place, 2, std::to_string(number));
    return filled;
}

std::string message_line(std::int32_t id, std::int32_t number) {
    return message_fill(message_text(id), number) + " (" + message_fill(message_gloss(id), number) +
           ")";
}
