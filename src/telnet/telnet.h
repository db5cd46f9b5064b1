// The telnet side of one gateway connection: the start-up option negotiation, the receive parser
// that turns socket bytes into plain data (answering requests, collecting subnegotiations, noting
// BREAK), and guarded sends, so that the connection thread and the relay's socket reader never mix
// the bytes of two messages on the socket.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/net.h"
#include "platform/sync.h"
#include "telnet/com_port.h"

// Telnet codes (RFC 854).
constexpr std::uint8_t TELNET_IAC = 255;
constexpr std::uint8_t TELNET_DONT = 254;
constexpr std::uint8_t TELNET_DO = 253;
constexpr std::uint8_t TELNET_WONT = 252;
constexpr std::uint8_t TELNET_WILL = 251;
constexpr std::uint8_t TELNET_SB = 250;
constexpr std::uint8_t TELNET_BRK = 243;
constexpr std::uint8_t TELNET_SE = 240;

// Options with a behaviour of their own; every other option is refused.
constexpr std::uint8_t TELOPT_BINARY = 0;   // RFC 856
constexpr std::uint8_t TELOPT_ECHO = 1;     // RFC 857
constexpr std::uint8_t TELOPT_SGA = 3;      // RFC 858, suppress go-ahead
constexpr std::uint8_t TELOPT_TTYPE = 24;   // RFC 1091, terminal type
constexpr std::uint8_t TELOPT_TSPEED = 32;  // RFC 1079, terminal speed

// parse_state values.
constexpr std::int32_t TELNET_STATE_DATA = 0;
constexpr std::int32_t TELNET_STATE_IAC = 1;   // after IAC
constexpr std::int32_t TELNET_STATE_VERB = 2;  // after IAC and an option verb

// Bits of an option_state word.
constexpr std::int32_t TELNET_LOCAL_ON = 1;    // this side does the option
constexpr std::int32_t TELNET_REMOTE_ON = 2;   // the peer does the option
constexpr std::int32_t TELNET_WILL_SENT = 16;  // this side sent WILL, awaits DO or DONT
constexpr std::int32_t TELNET_DO_SENT = 32;    // this side sent DO or DONT, awaits WILL or WONT

constexpr std::int32_t TELNET_SUBNEG_SIZE = 256;

// A send of the channel that cannot progress (the peer does not read, or the other thread of the
// connection holds the send guard) asks this every TELNET_SEND_WAIT_MS; non-zero makes the send
// fail. Called on whichever thread of the connection is sending.
using TelnetGiveUp = int (*)(void *context);
constexpr std::uint32_t TELNET_SEND_WAIT_MS = 100;

// One connection's telnet state. Owned by the connection thread for the life of the connection.
// The parser fields (parse_state to option_state, break_received) are used by one thread at a
// time: the connection thread during telnet_negotiate, then only the relay's socket reader. The
// speeds are written by the connection thread before the relay starts.
struct TelnetChannel {
    NetSocket socket;           // the accepted connection, blocking; never closed by the channel
    Semaphore *send_guard;      // every send of the connection goes through it; null: unguarded
    std::int32_t parse_state;   // TELNET_STATE_*
    std::int32_t in_subnegotiation;  // 1 between IAC SB and IAC SE
    std::uint8_t pending_verb;  // the verb being parsed; after the answer, the answer's verb or 0
    std::int32_t break_received;  // 1 after IAC BRK; read and reset by the relay's socket reader
    std::int32_t receive_speed;   // second value of the terminal-speed report
    std::int32_t transmit_speed;  // first value of the terminal-speed report
    std::int32_t subneg_length;   // parameter bytes in subneg_buffer, 0-256
    std::uint8_t subneg_buffer[TELNET_SUBNEG_SIZE];  // option code first; zeroed at each IAC SB
    std::int32_t option_state[256];                  // TELNET_*_ON / *_SENT bits per option
    // A flag whose non-zero value ends telnet_negotiate with -1 (the server is stopping) and makes
    // a send that cannot progress fail; null: none. The flag is written by the server's stop and
    // read here by the threads of the connection.
    const std::atomic<std::int32_t> *stop_flag;
    // The connection's own reasons for a send that cannot progress to give up (see TelnetGiveUp);
    // null: none. Set by the connection thread while no other thread of the connection sends.
    TelnetGiveUp give_up;
    void *give_up_context;
    // Non-null: the COM-PORT-OPTION (44) is accepted and its commands are served there (a direct
    // port that allows it); null: option 44 is refused like every option without a behaviour.
    // Set by the connection thread before the negotiation.
    ComPortServer *com_port;
};

// Clears the whole channel (every option word, no stop flag), then stores the socket, the send
// guard and the speeds. The connection thread, before any other use of the channel.
void telnet_channel_init(TelnetChannel *channel, NetSocket socket, Semaphore *send_guard,
                         std::int32_t transmit_speed, std::int32_t receive_speed);

// Lets a set *stop_flag end telnet_negotiate with -1 within one 100 ms wait, so that a peer that
// never pauses cannot hold up a server stop, and end a send of the channel that cannot progress.
// Null: no flag. The connection thread, after init.
void telnet_set_stop_flag(TelnetChannel *channel, const std::atomic<std::int32_t> *stop_flag);

// Sets what a send of the channel that cannot progress asks before it waits on (null: nothing; it
// then waits until the peer reads, the stop flag is set or the connection fails). The connection
// thread, while no other thread of the connection sends.
void telnet_set_give_up(TelnetChannel *channel, TelnetGiveUp give_up, void *context);

// Serves the COM-PORT-OPTION with `server` (see TelnetChannel::com_port). The connection thread,
// after init and before the negotiation.
void telnet_set_com_port(TelnetChannel *channel, ComPortServer *server);

// Hands the COM-PORT-OPTION's server the call's line and sends what that brings: the answers to the
// commands kept until now and the first NOTIFY-MODEMSTATE. -1 when the send failed or gave up.
// The connection thread, before the relay; nothing to do without a server or an agreed option.
[[nodiscard]] int telnet_com_port_attach(TelnetChannel *channel, const ComPortLineOps *ops,
                                         void *line);

// Sends the COM-PORT-OPTION's notices of the line's changes (com_port_notice), as one message that
// gives up as the data sends do. -1 when the send failed or gave up. The relay's loop.
[[nodiscard]] int telnet_com_port_notice(TelnetChannel *channel);

// Stores the two values of the terminal-speed report. The connection thread, before the relay.
void telnet_set_speed(TelnetChannel *channel, std::int32_t transmit_speed,
                      std::int32_t receive_speed);

// The start-up negotiation: waits for the peer to be quiet, offers binary mode both ways, echo
// and suppress-go-ahead both ways, and ends when the peer is quiet again. Data received meanwhile
// is discarded. -1 when the socket failed or closed, a send failed or the stop flag was set.
// The connection thread, once, before anything else is sent.
[[nodiscard]] int telnet_negotiate(TelnetChannel *channel);

// Runs length received bytes through the parser: answers option requests, collects
// subnegotiations, notes BREAK, and moves the data bytes in order to the start of the same buffer.
// Parser state carries over, so a command may be split across any two calls. The count of data
// bytes (never more than length), or -1 when sending an answer failed (the rest is then dropped).
// The thread that owns the parser (see TelnetChannel).
[[nodiscard]] int telnet_receive(TelnetChannel *channel, std::uint8_t *buffer,
                                 std::int32_t length);

// Sends length bytes of data with every byte 255 doubled, as one message under the send guard.
// A length of 0 or less sends nothing. -1 when a send failed or gave up (the stop flag, the give-up
// function): a part of the message may have gone. Any thread of the connection.
[[nodiscard]] int telnet_send_data(TelnetChannel *channel, const std::uint8_t *data,
                                   std::int32_t length);

// Sends length bytes as they are, as one message: takes the send guard (without limit) when it is
// not null, sends until every byte went (without limit: the channel's reasons to give up are not
// known here), releases the guard. -1 at the first failed send (what was sent stays sent). Any
// thread of the connection. The channel's own answers and reports give up as telnet_send_data
// does.
[[nodiscard]] int telnet_send_raw(Semaphore *send_guard, NetSocket socket,
                                  const std::uint8_t *bytes, std::int32_t length);

// Sends IAC verb option. -1 when the send failed. Any thread of the connection.
[[nodiscard]] int telnet_send_command(Semaphore *send_guard, NetSocket socket, std::uint8_t verb,
                                      std::uint8_t option);

// Sends the terminal-type report IAC SB 24 0 "ANSI" IAC SE. -1 when the send failed.
// Any thread of the connection.
[[nodiscard]] int telnet_send_terminal_type(Semaphore *send_guard, NetSocket socket);

// Sends the terminal-speed report IAC SB 32 0 "<transmit>,<receive>" IAC SE. -1 when the send
// failed. Any thread of the connection.
[[nodiscard]] int telnet_send_terminal_speed(Semaphore *send_guard, NetSocket socket,
                                             std::int32_t transmit_speed,
                                             std::int32_t receive_speed);
