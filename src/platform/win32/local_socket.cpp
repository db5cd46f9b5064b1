// The Windows program has no control channel: its operator has the main window and the dialogs.
#include "platform/local_socket.h"

bool local_socket_supported() { return false; }

LocalServer *local_server_open(const char *) { return nullptr; }

int local_server_accept(LocalServer *, std::uint32_t, LocalConnection **connection, int *trusted) {
    *connection = nullptr;
    *trusted = 0;
    return -1;
}

int local_server_wait(LocalServer *, LocalConnection *const *, std::uint32_t, std::uint32_t,
                      int *accept_ready, int *) {
    *accept_ready = 0;
    return -1;
}

void local_server_wake(LocalServer *) {}

void local_server_close(LocalServer *) {}

int local_connect(const char *, std::uint32_t, LocalConnection **connection) {
    *connection = nullptr;
    return LOCAL_NOBODY;  // no gateway can listen here
}

int local_send(LocalConnection *, const void *, std::uint32_t, std::uint32_t) { return -1; }

int local_receive(LocalConnection *, void *, std::uint32_t, std::uint32_t, std::uint32_t *received) {
    *received = 0;
    return -1;
}

void local_close(LocalConnection *) {}
