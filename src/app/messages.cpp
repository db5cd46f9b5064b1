// The message texts the console program prints.
#include "app/messages.h"

namespace {

struct Message {
    std::int32_t id;
    const char *text;
    const char *gloss;
};

constexpr Message MESSAGES[] = {
    {1001, "%s を強制切断しますか？", "force-disconnect %s?"},
    {1002, "設定ファイルの読み込みに失敗しました", "reading the settings file failed"},
    {1003, "ﾃﾞｰﾀの書き込みに失敗しました", "writing the data failed"},
    {1013, "サーバスレッドの作成に失敗しました", "creating the server thread failed"},
    {1014, "サーバスレッドは強制終了されました", "the server thread was ended by force"},
    {1016, "TELNETﾎﾟｰﾄ %d で待ち受けできません",
     "cannot listen on telnet port %d (in use, no permission, or not 1-65535)"},
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
