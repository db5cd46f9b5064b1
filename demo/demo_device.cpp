// norvex-demo-device: a small piece of "equipment" for trying NORVEX without a serial cable. It makes
// a pty pair, links ./COM1 (or the name given) to the pty's device so the gateway opens it like a
// serial port, and answers on the other end: a CR on an empty line draws a prompt, typed
// characters are echoed, and a few commands are answered. No answer but BYE's may contain the
// demo's disconnect keyword, "*** BYE ***": the gateway would end the call on seeing it.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <string>

static volatile sig_atomic_t stopping = 0;

static void on_signal(int) { stopping = 1; }

static void put(int fd, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // nobody has the port open: the text is lost, like on a real line
        done += static_cast<size_t>(n);
    }
}

static std::string upper(std::string text) {
    for (char &c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

static std::string answer(const std::string &line) {
    std::string command = upper(line);
    if (command.empty()) return "";  // an empty line only draws the prompt
    if (command == "HELP") {
        return "HELP         this list\r\n"
               "TIME         the device's clock\r\n"
               "ECHO <text>  says the text back\r\n"
               "BYE          ends the call: the device says the gateway's disconnect keyword\r\n";
    }
    if (command == "TIME") {
        char text[64];
        time_t now = time(nullptr);
        strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S\r\n", localtime(&now));
        return text;
    }
    if (command.rfind("ECHO ", 0) == 0) return line.substr(5) + "\r\n";
    if (command == "BYE") return "*** BYE ***\r\n";
    return "?\r\n";
}

int main(int argc, char **argv) {
    const char *link_name = argc > 1 ? argv[1] : "COM1";
    int master = -1, slave = -1;
    char slave_name[128];
    if (openpty(&master, &slave, slave_name, nullptr, nullptr) != 0) {
        perror("norvex-demo-device: openpty");
        return 1;
    }
    termios mode;
    tcgetattr(slave, &mode);
    cfmakeraw(&mode);
    tcsetattr(slave, TCSANOW, &mode);
    // Keeping our own slave descriptor open keeps the master readable between calls.
    unlink(link_name);
    if (symlink(slave_name, link_name) != 0) {
        perror("norvex-demo-device: symlink");
        return 1;
    }
    fprintf(stderr, "norvex-demo-device: %s -> %s\n", link_name, slave_name);

    signal(SIGINT, on_signal);
    signal(SIGTERM, on_signal);
    std::string line;
    while (!stopping) {
        pollfd ready{master, POLLIN, 0};
        if (poll(&ready, 1, 200) <= 0) continue;
        char buffer[256];
        ssize_t n = read(master, buffer, sizeof buffer);
        if (n <= 0) {
            usleep(100000);
            continue;
        }
        for (ssize_t i = 0; i < n; ++i) {
            char c = buffer[i];
            if (c == '\r' || c == '\n') {
                if (c == '\n' && line.empty()) continue;  // the LF of a CR LF
                put(master, "\r\n" + answer(line) + "> ");
                line.clear();
            } else if (c == 0x08 || c == 0x7F) {
                if (!line.empty()) {
                    line.pop_back();
                    put(master, "\b \b");
                }
            } else if (static_cast<unsigned char>(c) >= 0x20 && line.size() < 200) {
                line += c;
                put(master, std::string(1, c));
            }
        }
    }
    unlink(link_name);
    close(slave);
    close(master);
    return 0;
}
