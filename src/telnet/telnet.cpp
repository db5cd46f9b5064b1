// Telnet channel: start-up negotiation, receive parser, answers and reports, guarded sends.
#include "telnet/telnet.h"

#include <cstdio>
#include <cstring>

#include "platform/clock.h"
#include "platform/thread.h"

namespace {

constexpr std::int32_t RECEIVE_BUFFER_SIZE = 1024;
constexpr std::uint32_t SETTLE_SLEEP_MS = 200;  // before each look at the peer's input
constexpr std::uint32_t QUIET_WAIT_MS = 100;    // a peer silent this long has said its piece

// Escaped data goes out in pieces of this size, all under one hold of the send guard. A relay
// block (1024 bytes) goes in one piece even when every byte is 255 and doubled: each send is a
// segment of its own and a wake-up of the caller's side.
constexpr std::int32_t SEND_CHUNK_SIZE = 2048 + 2;

// The answer to a peer's request, by option. NO_VERB: no option command is sent.
constexpr std::uint8_t NO_VERB = 0;
struct OptionAnswers {
    std::uint8_t option;
    std::uint8_t to_will;  // what the peer's WILL draws
    std::uint8_t to_do;    // what the peer's DO draws
};
constexpr OptionAnswers OPTION_ANSWERS[] = {
    {TELOPT_BINARY, TELNET_DO, TELNET_WILL},
    {TELOPT_ECHO, TELNET_DONT, TELNET_WILL},  // the gateway echoes; the peer must not
    {TELOPT_SGA, TELNET_DO, TELNET_WILL},
    // WILL TERMINAL-SPEED draws the speed report itself rather than DO (and then SB SEND).
    {TELOPT_TSPEED, NO_VERB, TELNET_WONT},
};
constexpr OptionAnswers REFUSE = {0, TELNET_DONT, TELNET_WONT};
// On a channel that serves it: the client will send its commands, and may ask us to do the option.
constexpr OptionAnswers COM_PORT_ANSWERS = {TELOPT_COM_PORT, TELNET_DO, TELNET_WILL};

// The start-up offers, in the order they go out: each only when the option's `state_bit` is
// set (send_when_set 1) or clear (0), marking `awaiting_bit` once sent.
struct Offer {
    std::uint8_t verb;
    std::uint8_t option;
    std::int32_t state_bit;
    std::int32_t send_when_set;
    std::int32_t awaiting_bit;
};
constexpr Offer OFFERS[] = {
    {TELNET_WILL, TELOPT_BINARY, TELNET_LOCAL_ON, 0, TELNET_WILL_SENT},
    {TELNET_DO, TELOPT_BINARY, TELNET_REMOTE_ON, 0, TELNET_DO_SENT},
    {TELNET_WILL, TELOPT_ECHO, TELNET_LOCAL_ON, 0, TELNET_WILL_SENT},
    {TELNET_DONT, TELOPT_ECHO, TELNET_REMOTE_ON, 1, TELNET_DO_SENT},
    {TELNET_WILL, TELOPT_SGA, TELNET_LOCAL_ON, 0, TELNET_WILL_SENT},
    {TELNET_DO, TELOPT_SGA, TELNET_REMOTE_ON, 0, TELNET_DO_SENT},
};

constexpr std::uint8_t TERMINAL_TYPE_REPORT[] = {TELNET_IAC, TELNET_SB, TELOPT_TTYPE, 0,   'A',
                                                 'N',        'S',       'I',          TELNET_IAC,
                                                 TELNET_SE};
static_assert(sizeof TERMINAL_TYPE_REPORT == 10);

// True when a send of the channel that cannot progress is to give up. A send made without a
// channel (watch null) never gives up.
bool gives_up(const TelnetChannel *watch) {
    if (watch == nullptr) return false;
    if (watch->stop_flag != nullptr && watch->stop_flag->load() != 0) return true;
    return watch->give_up != nullptr && watch->give_up(watch->give_up_context) != 0;
}

// Sends every byte, in as many socket sends as it takes; the caller holds the guard. Waiting for a
// peer that does not read is done in slices, between which the channel may give up.
int send_all(const TelnetChannel *watch, NetSocket socket, const std::uint8_t *bytes,
             std::int32_t length) {
    while (length > 0) {
        std::int32_t sent = 0;
        if (net_send_within(socket, bytes, length, TELNET_SEND_WAIT_MS, &sent) != 0) return -1;
        if (sent == 0 && gives_up(watch)) return -1;
        bytes += sent;
        length -= sent;
    }
    return 0;
}

// Takes the send guard; the other thread may hold it in a send that cannot progress, so the wait
// is sliced like the send. -1 when the channel gave up.
int take_guard(const TelnetChannel *watch, Semaphore *send_guard) {
    if (send_guard == nullptr) return 0;
    while (semaphore_wait(send_guard, TELNET_SEND_WAIT_MS) != 0) {
        if (gives_up(watch)) return -1;
    }
    return 0;
}

void give_guard(Semaphore *send_guard) {
    if (send_guard != nullptr) semaphore_release(send_guard);
}

// One message under the guard, as telnet_send_raw, giving up as the channel says.
int send_message(const TelnetChannel *watch, Semaphore *send_guard, NetSocket socket,
                 const std::uint8_t *bytes, std::int32_t length) {
    if (take_guard(watch, send_guard) != 0) return -1;
    int result = send_all(watch, socket, bytes, length);
    give_guard(send_guard);
    return result;
}

int send_command(const TelnetChannel *watch, Semaphore *send_guard, NetSocket socket,
                 std::uint8_t verb, std::uint8_t option) {
    const std::uint8_t command[3] = {TELNET_IAC, verb, option};
    return send_message(watch, send_guard, socket, command, sizeof command);
}

int send_terminal_speed(const TelnetChannel *watch, Semaphore *send_guard, NetSocket socket,
                        std::int32_t transmit_speed, std::int32_t receive_speed) {
    std::uint8_t report[256] = {TELNET_IAC, TELNET_SB, TELOPT_TSPEED, 0};
    std::int32_t used = 4;
    // Two 32-bit numbers take at most 23 characters: the text always fits, with room for IAC SE.
    int text_length = std::snprintf(reinterpret_cast<char *>(report + used),
                                    sizeof report - used - 2, "%d,%d",
                                    static_cast<int>(transmit_speed),
                                    static_cast<int>(receive_speed));
    if (text_length < 0) return -1;
    used += text_length;
    report[used++] = TELNET_IAC;
    report[used++] = TELNET_SE;
    return send_message(watch, send_guard, socket, report, used);
}

const OptionAnswers &answers_for(const TelnetChannel *channel, std::uint8_t option) {
    if (option == TELOPT_COM_PORT && channel->com_port != nullptr) return COM_PORT_ANSWERS;
    for (const OptionAnswers &answers : OPTION_ANSWERS) {
        if (answers.option == option) return answers;
    }
    return REFUSE;
}

// A data byte: collected while in a subnegotiation (the first 256 only), else moved to the data
// output. The output never overtakes the byte being parsed, so the move is in place.
void take_data_byte(TelnetChannel *channel, std::uint8_t byte, std::uint8_t *output,
                    std::int32_t *output_length) {
    if (channel->in_subnegotiation != 0) {
        if (channel->subneg_length < TELNET_SUBNEG_SIZE) {
            channel->subneg_buffer[channel->subneg_length++] = byte;
        }
        return;
    }
    output[(*output_length)++] = byte;
}

// IAC SE: answers a request for our terminal type or speed ("SEND", whose code is 1 in RFC 1091
// and RFC 1079, is answered only as 0). The buffer is emptied only by IAC SB, so a stray IAC SE
// evaluates the last subnegotiation again; a COM-PORT-OPTION command is served only once, at the
// IAC SE that ends it (whole), and only once the option is agreed.
int evaluate_subnegotiation(TelnetChannel *channel, bool whole) {
    const std::uint8_t *parameters = channel->subneg_buffer;
    if (parameters[0] == TELOPT_COM_PORT && channel->subneg_length > 0) {
        ComPortServer *server = channel->com_port;
        if (!whole || server == nullptr || server->agreed.load() == 0) return 0;
        std::uint8_t answer[COMPORT_MESSAGE_MAX];
        std::int32_t length = com_port_serve(server, parameters + 1, channel->subneg_length - 1,
                                             answer, sizeof answer);
        if (length <= 0) return 0;
        return send_message(channel, channel->send_guard, channel->socket, answer, length);
    }
    if (parameters[0] == TELOPT_TSPEED && parameters[1] == 0) {
        return send_terminal_speed(channel, channel->send_guard, channel->socket,
                                   channel->transmit_speed, channel->receive_speed);
    }
    if (parameters[0] == TELOPT_TTYPE && parameters[1] == 0) {
        return send_message(channel, channel->send_guard, channel->socket, TERMINAL_TYPE_REPORT,
                            sizeof TERMINAL_TYPE_REPORT);
    }
    return 0;
}

// The option code after IAC and a verb: either the reply to one of our offers, which is noted
// silently, or the peer's request, which is always answered, also when it repeats the state in
// force. -1 when the answer could not be sent.
int answer_option(TelnetChannel *channel, std::uint8_t option) {
    std::uint8_t verb = channel->pending_verb;
    std::int32_t *word = &channel->option_state[option];
    bool verb_is_do = verb == TELNET_DO || verb == TELNET_DONT;

    if ((*word & TELNET_WILL_SENT) && verb_is_do) {
        *word &= ~TELNET_WILL_SENT;
        if (verb == TELNET_DO) {
            *word |= TELNET_LOCAL_ON;
        } else {
            *word &= ~TELNET_LOCAL_ON;
        }
        channel->pending_verb = NO_VERB;
        return 0;
    }
    if ((*word & TELNET_DO_SENT) && !verb_is_do) {
        *word &= ~TELNET_DO_SENT;
        if (verb == TELNET_WILL) {
            *word |= TELNET_REMOTE_ON;
        } else {
            *word &= ~TELNET_REMOTE_ON;
        }
        channel->pending_verb = NO_VERB;
        return 0;
    }

    std::uint8_t answer = NO_VERB;
    switch (verb) {
    case TELNET_WONT: answer = TELNET_DONT; break;
    case TELNET_DONT: answer = TELNET_WONT; break;
    case TELNET_WILL: answer = answers_for(channel, option).to_will; break;
    case TELNET_DO: answer = answers_for(channel, option).to_do; break;
    default: break;
    }
    channel->pending_verb = answer;

    switch (answer) {
    case TELNET_WONT: *word &= ~TELNET_LOCAL_ON; break;
    case TELNET_WILL: *word |= TELNET_LOCAL_ON; break;
    case TELNET_DONT: *word &= ~TELNET_REMOTE_ON; break;
    case TELNET_DO: *word |= TELNET_REMOTE_ON; break;
    default: break;
    }
    // A client that agreed to the option once is a program for the rest of its call.
    if (option == TELOPT_COM_PORT && channel->com_port != nullptr &&
        (*word & (TELNET_LOCAL_ON | TELNET_REMOTE_ON)) != 0) {
        channel->com_port->agreed.store(1);
    }

    if (answer == NO_VERB) {
        // WILL TERMINAL-SPEED: the report is a courtesy; a failed send shows at the next one.
        if (verb == TELNET_WILL && option == TELOPT_TSPEED) {
            (void)send_terminal_speed(channel, channel->send_guard, channel->socket,
                                      channel->transmit_speed, channel->receive_speed);
        }
        return 0;
    }
    return send_command(channel, channel->send_guard, channel->socket, answer, option);
}

// Reads and parses what the peer sends, discarding the data, until it has been quiet for 100 ms
// (0). -1 when the socket failed or closed, an answer failed, or the server is stopping.
int wait_for_quiet(TelnetChannel *channel) {
    std::uint8_t buffer[RECEIVE_BUFFER_SIZE];
    for (;;) {
        if (channel->stop_flag != nullptr && channel->stop_flag->load() != 0) return -1;
        std::int32_t ready = 0;
        if (net_wait(channel->socket, NET_READABLE, QUIET_WAIT_MS, &ready) != 0) return -1;
        if (ready == 0) return 0;
        std::int32_t received = 0;
        if (net_receive(channel->socket, buffer, RECEIVE_BUFFER_SIZE, &received) != 0 ||
            received == 0) {
            return -1;
        }
        if (telnet_receive(channel, buffer, received) < 0) return -1;
    }
}

}  // namespace

void telnet_channel_init(TelnetChannel *channel, NetSocket socket, Semaphore *send_guard,
                         std::int32_t transmit_speed, std::int32_t receive_speed) {
    *channel = TelnetChannel{};
    channel->socket = socket;
    channel->send_guard = send_guard;
    channel->transmit_speed = transmit_speed;
    channel->receive_speed = receive_speed;
}

void telnet_set_stop_flag(TelnetChannel *channel, const std::atomic<std::int32_t> *stop_flag) {
    channel->stop_flag = stop_flag;
}

void telnet_set_give_up(TelnetChannel *channel, TelnetGiveUp give_up, void *context) {
    channel->give_up = give_up;
    channel->give_up_context = context;
}

void telnet_set_com_port(TelnetChannel *channel, ComPortServer *server) {
    channel->com_port = server;
}

int telnet_com_port_attach(TelnetChannel *channel, const ComPortLineOps *ops, void *line) {
    ComPortServer *server = channel->com_port;
    if (server == nullptr) return 0;
    std::uint8_t answers[(COMPORT_PENDING_MAX + 1) * COMPORT_MESSAGE_MAX];
    std::int32_t length = com_port_attach(server, ops, line, answers, sizeof answers);
    if (length <= 0) return 0;
    return send_message(channel, channel->send_guard, channel->socket, answers, length);
}

int telnet_com_port_notice(TelnetChannel *channel) {
    ComPortServer *server = channel->com_port;
    if (server == nullptr) return 0;
    std::uint8_t notices[2 * COMPORT_MESSAGE_MAX];
    std::int32_t length = com_port_notice(server, notices, sizeof notices);
    if (length <= 0) return 0;
    return send_message(channel, channel->send_guard, channel->socket, notices, length);
}

void telnet_set_speed(TelnetChannel *channel, std::int32_t transmit_speed,
                      std::int32_t receive_speed) {
    channel->transmit_speed = transmit_speed;
    channel->receive_speed = receive_speed;
}

int telnet_negotiate(TelnetChannel *channel) {
    // Let the peer speak first: a client that opens with its own requests has them answered
    // before our offers, which then skip what is already agreed.
    clock_sleep_ms(SETTLE_SLEEP_MS);
    if (wait_for_quiet(channel) != 0) return -1;

    for (const Offer &offer : OFFERS) {
        std::int32_t *word = &channel->option_state[offer.option];
        if (((*word & offer.state_bit) != 0) != (offer.send_when_set != 0)) continue;
        if (send_command(channel, channel->send_guard, channel->socket, offer.verb,
                         offer.option) != 0) {
            return -1;
        }
        *word |= offer.awaiting_bit;
    }

    clock_sleep_ms(SETTLE_SLEEP_MS);
    return wait_for_quiet(channel);
}

int telnet_receive(TelnetChannel *channel, std::uint8_t *buffer, std::int32_t length) {
    std::int32_t output_length = 0;
    for (std::int32_t i = 0; i < length; ++i) {
        std::uint8_t byte = buffer[i];
        switch (channel->parse_state) {
        case TELNET_STATE_DATA:
            if (byte == TELNET_IAC) {
                channel->parse_state = TELNET_STATE_IAC;
            } else if (channel->in_subnegotiation != 0) {
                take_data_byte(channel, byte, buffer, &output_length);
            } else {
                // A run of plain data up to the next IAC moves at once: most reads are nothing
                // else, and the relay passes them through at the line's full speed.
                const void *iac = std::memchr(buffer + i, TELNET_IAC,
                                              static_cast<std::size_t>(length - i));
                std::int32_t end = iac == nullptr
                                       ? length
                                       : static_cast<std::int32_t>(
                                             static_cast<const std::uint8_t *>(iac) - buffer);
                if (output_length != i) {
                    std::memmove(buffer + output_length, buffer + i,
                                 static_cast<std::size_t>(end - i));
                }
                output_length += end - i;
                i = end - 1;
            }
            break;

        case TELNET_STATE_IAC:
            channel->parse_state = TELNET_STATE_DATA;
            switch (byte) {
            case TELNET_IAC:  // RFC 854: IAC IAC is one data byte 255
                take_data_byte(channel, byte, buffer, &output_length);
                break;
            case TELNET_SB:
                channel->in_subnegotiation = 1;
                channel->subneg_length = 0;
                std::memset(channel->subneg_buffer, 0, sizeof channel->subneg_buffer);
                break;
            case TELNET_SE: {
                bool whole = channel->in_subnegotiation != 0;
                channel->in_subnegotiation = 0;
                if (evaluate_subnegotiation(channel, whole) != 0) return -1;
                break;
            }
            case TELNET_BRK:
                channel->break_received = 1;
                break;
            case TELNET_WILL:
            case TELNET_WONT:
            case TELNET_DO:
            case TELNET_DONT:
                channel->pending_verb = byte;
                channel->parse_state = TELNET_STATE_VERB;
                break;
            default:  // NOP, DM, IP, AO, AYT, EC, EL, GA and unknown commands
                break;
            }
            break;

        case TELNET_STATE_VERB:
            channel->parse_state = TELNET_STATE_DATA;
            if (answer_option(channel, byte) != 0) return -1;
            break;

        default:  // never set by the parser; start over in data
            channel->parse_state = TELNET_STATE_DATA;
            break;
        }
    }
    return output_length;
}

int telnet_send_raw(Semaphore *send_guard, NetSocket socket, const std::uint8_t *bytes,
                    std::int32_t length) {
    return send_message(nullptr, send_guard, socket, bytes, length);
}

int telnet_send_data(TelnetChannel *channel, const std::uint8_t *data, std::int32_t length) {
    if (length <= 0) return 0;
    // One message under one hold of the guard, so that no answer of the socket reader can come
    // between the two bytes of a doubled 255, nor between two pieces of the data.
    std::uint8_t chunk[SEND_CHUNK_SIZE];
    std::int32_t used = 0;
    if (take_guard(channel, channel->send_guard) != 0) return -1;
    int result = 0;
    // Copied in runs that end after each 255, which is then doubled.
    for (std::int32_t i = 0; i < length && result == 0;) {
        if (used > SEND_CHUNK_SIZE - 2) {
            result = send_all(channel, channel->socket, chunk, used);
            used = 0;
            continue;
        }
        std::int32_t room = SEND_CHUNK_SIZE - 1 - used;  // one place kept for a doubling
        std::int32_t run = length - i < room ? length - i : room;
        const void *iac = std::memchr(data + i, TELNET_IAC, static_cast<std::size_t>(run));
        if (iac != nullptr) {
            run = static_cast<std::int32_t>(static_cast<const std::uint8_t *>(iac) - (data + i)) + 1;
        }
        std::memcpy(chunk + used, data + i, static_cast<std::size_t>(run));
        used += run;
        i += run;
        if (iac != nullptr) chunk[used++] = TELNET_IAC;
    }
    if (result == 0) result = send_all(channel, channel->socket, chunk, used);
    give_guard(channel->send_guard);
    return result;
}

int telnet_send_command(Semaphore *send_guard, NetSocket socket, std::uint8_t verb,
                        std::uint8_t option) {
    return send_command(nullptr, send_guard, socket, verb, option);
}

int telnet_send_terminal_type(Semaphore *send_guard, NetSocket socket) {
    return telnet_send_raw(send_guard, socket, TERMINAL_TYPE_REPORT, sizeof TERMINAL_TYPE_REPORT);
}

int telnet_send_terminal_speed(Semaphore *send_guard, NetSocket socket,
                               std::int32_t transmit_speed, std::int32_t receive_speed) {
    return send_terminal_speed(nullptr, send_guard, socket, transmit_speed, receive_speed);
}
