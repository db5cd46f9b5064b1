// The caller as the connection flow, the auto-pilot and the relay see it: who it is, its start-up,
// sends of data, what it sends (data, a break, its leaving), and the ways to end its waits. The
// telnet channel is one implementation (caller_telnet.cpp), an SSH channel another
// (caller_ssh.cpp); the code above knows no protocol.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/net.h"

struct Caller;
struct PortRecord;

// What a caller's send that cannot progress asks every so often (the peer does not read, or the
// other thread of the connection holds the send); non-zero makes the send fail. Called on the
// sending thread.
using CallerGiveUp = int (*)(void *context);

// Conditions of caller_wait (bits).
constexpr std::int32_t CALLER_READABLE = 1;   // something to receive: data, a break, the end
constexpr std::int32_t CALLER_EXCEPTION = 2;  // an exceptional condition (telnet: urgent data)

// What one receive brought.
struct CallerInput {
    std::int32_t count;   // data bytes, now at the start of the buffer (0..size)
    std::int32_t breaks;  // non-zero: the caller asked for a break, after these bytes
    std::int32_t closed;  // non-zero: the caller has left; nothing more will come
    std::int32_t full;    // non-zero: the read filled the buffer, so more is probably waiting
};

struct CallerOps {
    // The start-up before the greeting (telnet's option negotiation). 0, or -1 when the caller
    // failed or the stop flag was set.
    int (*start)(Caller *caller);
    // The line speed the caller may be told (telnet's terminal speed).
    void (*set_speed)(Caller *caller, std::int32_t speed);
    // length bytes of data as one message, whole or -1 (a part may have gone).
    int (*send)(Caller *caller, const std::uint8_t *data, std::int32_t length);
    // Waits up to timeout_ms for conditions in `events`; *ready receives those found.
    int (*wait)(Caller *caller, std::int32_t events, std::uint32_t timeout_ms, std::int32_t *ready);
    // Receives into buffer, blocking until something comes (or cancel_receive).
    int (*receive)(Caller *caller, std::uint8_t *buffer, std::int32_t size, CallerInput *input);
    // Takes one byte the caller sent and drops it, without waiting: 0 (also when there was none),
    // or -1 when the caller has left or failed.
    int (*discard_one)(Caller *caller);
    void (*cancel_receive)(Caller *caller);
    void (*cancel)(Caller *caller);
    void (*set_give_up)(Caller *caller, CallerGiveUp give_up, void *context);
    void (*set_stop_flag)(Caller *caller, const std::atomic<std::int32_t> *stop_flag);
    // Holds back (non-zero) or lets go (0) what the sends put out, so that a stream of blocks
    // leaves in full segments; -1 where the caller cannot hold (then each send goes at once).
    int (*hold_sends)(Caller *caller, std::int32_t hold);
};

// What a caller that drives the line itself (a program speaking the telnet COM-PORT-OPTION) does
// besides; a caller without these (line_ops null) takes the gateway's texts and leaves the line as
// the port's settings make it.
struct CallerLineOps {
    // Non-zero when the gateway's texts (greeting, busy and error messages, connect and disconnect
    // messages) go to the caller; a program takes only the equipment's bytes.
    int (*takes_texts)(Caller *caller);
    // The call has its line (connected): the caller may drive it from now on.
    int (*attach_line)(Caller *caller, PortRecord *port);
    // Non-zero while the caller wants to hear of changes of the input lines: the relay then watches
    // them and calls tend_lines as it goes round.
    int (*watches_lines)(Caller *caller);
    // Tells the caller what became of the line since the last look. -1 when a send failed or gave
    // up.
    int (*tend_lines)(Caller *caller);
    // The call lets the line go: what the caller changed on it is put back.
    void (*detach_line)(Caller *caller);
};

// Size of a caller's user name (SSH), its NUL included.
constexpr int CALLER_USER_SIZE = 32;

struct Caller {
    const CallerOps *ops;
    void *channel;            // the implementation's own state
    std::uint32_t address;    // host byte order
    char host_name[NET_HOST_NAME_SIZE];  // forward-confirmed name, empty when none
    char user[CALLER_USER_SIZE];         // the name an SSH caller logged in with; empty otherwise
    int cancel_ends_waits;    // non-zero: caller_cancel_receive also ends a wait in progress
    CallerGiveUp give_up;     // as last set through caller_set_give_up
    void *give_up_context;
    const CallerLineOps *line_ops;  // null: none (see CallerLineOps)
    // Bytes the relay moves per read in each direction; 0: RELAY_BLOCK_SIZE. A caller whose every
    // send is a costly message of its own (an SSH packet) moves more at a time.
    std::int32_t block_size;
    void *line_state;               // the line operations' own state
};

// The operations, each through the caller's table. Threads: start, set_speed, set_give_up and
// set_stop_flag the connection thread while no other thread of the connection sends; send from
// either thread of the connection; wait, receive and discard_one from the one thread that reads
// (the connection thread before the relay, the relay's reader during it); the cancels from any
// thread of the connection.
[[nodiscard]] int caller_start(Caller *caller);
void caller_set_speed(Caller *caller, std::int32_t speed);
[[nodiscard]] int caller_send(Caller *caller, const std::uint8_t *data, std::int32_t length);
[[nodiscard]] int caller_wait(Caller *caller, std::int32_t events, std::uint32_t timeout_ms,
                              std::int32_t *ready);
[[nodiscard]] int caller_receive(Caller *caller, std::uint8_t *buffer, std::int32_t size,
                                 CallerInput *input);
[[nodiscard]] int caller_discard_one(Caller *caller);
// Ends the receiving side only: a wait or receive in progress returns (where cancel_ends_waits)
// and later receives see the end; sends still work, for the disconnect message.
void caller_cancel_receive(Caller *caller);
// Makes every call of the connection return and fail from now on.
void caller_cancel(Caller *caller);
void caller_set_give_up(Caller *caller, CallerGiveUp give_up, void *context);
// A set *stop_flag ends the start-up with -1 and makes a send that cannot progress fail.
void caller_set_stop_flag(Caller *caller, const std::atomic<std::int32_t> *stop_flag);

// The line operations (CallerLineOps), each with what a caller without them does. Threads: the
// connection thread, which runs the flow and the relay's loop; takes_texts also once the relay's
// reader has ended.
// A text of the gateway's: sent as caller_send does, or dropped (0) for a caller that takes none.
[[nodiscard]] int caller_send_text(Caller *caller, const std::uint8_t *data, std::int32_t length);
// 0, or -1 when the caller could not be told what the line is now (a send failed or gave up).
[[nodiscard]] int caller_attach_line(Caller *caller, PortRecord *port);
[[nodiscard]] int caller_watches_lines(Caller *caller);
[[nodiscard]] int caller_tend_lines(Caller *caller);
void caller_detach_line(Caller *caller);
// While more follows at once, the relay holds its sends back to fill segments; it lets them go with
// the send after which nothing more waits. -1 where the caller cannot hold. The sending thread.
int caller_hold_sends(Caller *caller, std::int32_t hold);
