// The caller's operations, through its implementation's table.
#include "gateway/caller.h"

int caller_start(Caller *caller) { return caller->ops->start(caller); }

void caller_set_speed(Caller *caller, std::int32_t speed) { caller->ops->set_speed(caller, speed); }

int caller_send(Caller *caller, const std::uint8_t *data, std::int32_t length) {
    if (length <= 0) return 0;
    return caller->ops->send(caller, data, length);
}

int caller_wait(Caller *caller, std::int32_t events, std::uint32_t timeout_ms, std::int32_t *ready) {
    return caller->ops->wait(caller, events, timeout_ms, ready);
}

int caller_receive(Caller *caller, std::uint8_t *buffer, std::int32_t size, CallerInput *input) {
    *input = CallerInput{};
    return caller->ops->receive(caller, buffer, size, input);
}

int caller_discard_one(Caller *caller) { return caller->ops->discard_one(caller); }

void caller_cancel_receive(Caller *caller) { caller->ops->cancel_receive(caller); }

void caller_cancel(Caller *caller) { caller->ops->cancel(caller); }

void caller_set_give_up(Caller *caller, CallerGiveUp give_up, void *context) {
    caller->give_up = give_up;
    caller->give_up_context = context;
    caller->ops->set_give_up(caller, give_up, context);
}

void caller_set_stop_flag(Caller *caller, const std::atomic<std::int32_t> *stop_flag) {
    caller->ops->set_stop_flag(caller, stop_flag);
}

int caller_send_text(Caller *caller, const std::uint8_t *data, std::int32_t length) {
    if (caller->line_ops != nullptr && caller->line_ops->takes_texts(caller) == 0) return 0;
    return caller_send(caller, data, length);
}

int caller_attach_line(Caller *caller, PortRecord *port) {
    return caller->line_ops == nullptr ? 0 : caller->line_ops->attach_line(caller, port);
}

int caller_watches_lines(Caller *caller) {
    return caller->line_ops == nullptr ? 0 : caller->line_ops->watches_lines(caller);
}

int caller_tend_lines(Caller *caller) {
    return caller->line_ops == nullptr ? 0 : caller->line_ops->tend_lines(caller);
}

void caller_detach_line(Caller *caller) {
    if (caller->line_ops != nullptr) caller->line_ops->detach_line(caller);
}
int caller_hold_sends(Caller *caller, std::int32_t hold) { return caller->ops->hold_sends(caller, hold); }
