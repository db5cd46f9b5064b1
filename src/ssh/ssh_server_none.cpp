// A program built without libssh (the Windows program) has no SSH server: every call fails.
#include "ssh/ssh_server.h"

int ssh_supported() { return 0; }

SshServer *ssh_server_open(std::string *, std::string *problem) {
    *problem = "this program is built without an SSH server";
    return nullptr;
}

void ssh_server_close(SshServer *) {}

int ssh_host_key_fingerprint(std::string *) { return -1; }

SshSession *ssh_session_create(SshServer *, NetSocket) { return nullptr; }

int ssh_session_login(SshSession *, const std::atomic<std::int32_t> *, SshLogin *) { return -1; }

int ssh_session_send(SshSession *, const std::uint8_t *, std::int32_t, SshGiveUp, void *,
                     const std::atomic<std::int32_t> *) {
    return -1;
}

int ssh_session_wait(SshSession *, std::uint32_t, std::int32_t *readable) {
    *readable = 0;
    return -1;
}

int ssh_session_receive(SshSession *, std::uint8_t *, std::int32_t, SshInput *input) {
    *input = SshInput{};
    return -1;
}

int ssh_session_discard_one(SshSession *) { return -1; }

void ssh_session_cancel_receive(SshSession *) {}

void ssh_session_cancel(SshSession *) {}

void ssh_session_close(SshSession *) {}
