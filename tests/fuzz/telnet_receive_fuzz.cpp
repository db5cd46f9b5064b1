// telnet_receive on any bytes, cut anywhere: the data it hands back, the answers it sends and the
// state it ends in do not depend on where the bytes were cut, and it never leaves its buffer.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "telnet/telnet.h"

namespace {

// Runs the stream through a fresh channel in pieces of the cut sizes (cycled; none: whole).
// Returns the data; *answers is what the peer received.
std::string parse(NetSocket gateway, NetSocket peer, const std::uint8_t *stream, std::size_t size,
                  const std::uint8_t *cuts, std::size_t cut_count, TelnetChannel *channel,
                  std::string *answers) {
    telnet_channel_init(channel, gateway, nullptr, 9600, 300);
    std::string data;
    std::size_t at = 0;
    std::size_t cut = 0;
    while (at < size) {
        std::size_t piece = cut_count == 0 ? size - at : 1 + cuts[cut++ % cut_count] % 64;
        if (piece > size - at) piece = size - at;
        // A buffer of exactly the piece, so that a read or write past it is caught.
        std::vector<std::uint8_t> buffer(stream + at, stream + at + piece);
        int count = telnet_receive(channel, buffer.data(), static_cast<std::int32_t>(piece));
        if (count < 0 || static_cast<std::size_t>(count) > piece) std::abort();  // sends succeed
        data.append(reinterpret_cast<char *>(buffer.data()), static_cast<std::size_t>(count));
        at += piece;
    }
    *answers = fuzz_drain(peer);
    return data;
}

bool same_state(const TelnetChannel &a, const TelnetChannel &b) {
    return a.parse_state == b.parse_state && a.in_subnegotiation == b.in_subnegotiation &&
           a.pending_verb == b.pending_verb && a.break_received == b.break_received &&
           a.subneg_length == b.subneg_length &&
           std::memcmp(a.subneg_buffer, b.subneg_buffer, sizeof a.subneg_buffer) == 0 &&
           std::memcmp(a.option_state, b.option_state, sizeof a.option_state) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    FuzzInput input{data, size};
    std::size_t cut_count = 0;
    const std::uint8_t *cuts = input.bytes(input.byte() % 16, &cut_count);
    NetSocket gateway = NET_NO_SOCKET, peer = NET_NO_SOCKET;
    fuzz_socket_pair(&gateway, &peer);

    TelnetChannel whole, pieces;
    std::string whole_answers, piece_answers;
    std::string whole_data =
        parse(gateway, peer, input.data, input.size, nullptr, 0, &whole, &whole_answers);
    std::string piece_data =
        parse(gateway, peer, input.data, input.size, cuts, cut_count, &pieces, &piece_answers);
    if (whole_data != piece_data || whole_answers != piece_answers ||
        !same_state(whole, pieces)) {
        std::abort();
    }
    if (whole.parse_state < TELNET_STATE_DATA || whole.parse_state > TELNET_STATE_VERB ||
        whole.subneg_length < 0 || whole.subneg_length > TELNET_SUBNEG_SIZE ||
        whole_data.size() > input.size) {
        std::abort();
    }
    return 0;
}
