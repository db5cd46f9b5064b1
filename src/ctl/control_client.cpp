// A request to the running gateway over its control socket.
#include "ctl/control_client.h"

#include "control/control_protocol.h"
#include "platform/clock.h"
#include "platform/local_socket.h"

int control_request(const char *request, std::uint32_t timeout_ms, std::vector<std::string> *lines) {
    lines->clear();
    LocalConnection *connection = nullptr;
    // The whole exchange, the connect included, keeps to the one deadline: a gateway that hangs
    // never takes the connection, and its queue fills up.
    std::uint32_t began = clock_tick_ms();
    std::uint32_t connect_ms =
        timeout_ms < CONTROL_CONNECT_WAIT_MS ? timeout_ms : CONTROL_CONNECT_WAIT_MS;
    int connected = local_connect(CONTROL_SOCKET_NAME, connect_ms, &connection);
    if (connected != LOCAL_CONNECTED) return connected;
    std::string line = std::string(request) + "\n";
    std::uint32_t spent = clock_tick_ms() - began;
    // A failed send still leaves the reply to read: a gateway that refuses says why, then closes.
    (void)local_send(connection, line.data(), static_cast<std::uint32_t>(line.size()),
                     spent >= timeout_ms ? 0 : timeout_ms - spent);
    std::string pending;
    bool whole = false;
    while (!whole) {
        std::uint32_t spent = clock_tick_ms() - began;
        if (spent >= timeout_ms) break;
        char buffer[4096];
        std::uint32_t received = 0;
        int got = local_receive(connection, buffer, sizeof buffer, timeout_ms - spent, &received);
        if (got != LOCAL_RECEIVED || received == 0) break;
        pending.append(buffer, received);
        std::size_t end;
        while (!whole && (end = pending.find('\n')) != std::string::npos) {
            lines->push_back(pending.substr(0, end));
            pending.erase(0, end + 1);
            whole = control_reply_ends(lines->back());
        }
    }
    local_close(connection);
    return whole ? LOCAL_CONNECTED : LOCAL_FAILED;
}
