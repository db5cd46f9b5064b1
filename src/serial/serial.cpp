// The serial port driver over the platform's serial handles.
#include "serial/serial.h"

namespace {

constexpr std::uint8_t XON_CHAR = 17;   // DC1
constexpr std::uint8_t XOFF_CHAR = 19;  // DC3

}  // namespace

void serial_build_dcb(SerialDcb *dcb, const PortSettings *settings) {
    std::int32_t flow = settings->flow_control;
    dcb->dcb_length = COM_DCB_LENGTH;
    dcb->baud_rate = static_cast<std::uint32_t>(settings->baud_rate);
    dcb->f_binary = 1;
    dcb->f_parity = settings->parity != 0 ? 1 : 0;
    dcb->f_outx_cts_flow = (flow & FLOW_RTS_CTS) ? 1 : 0;
    dcb->f_outx_dsr_flow = (flow & FLOW_DTR_DSR) ? 1 : 0;
    dcb->f_dtr_control =
        (flow & FLOW_DTR_DSR) ? COM_LINE_CONTROL_HANDSHAKE : COM_LINE_CONTROL_ENABLE;
    dcb->f_dsr_sensitivity = 1;
    dcb->f_tx_continue_on_xoff = 1;
    dcb->f_out_x = (flow & FLOW_XON_XOFF) ? 1 : 0;
    dcb->f_in_x = (flow & FLOW_XON_XOFF) ? 1 : 0;
    dcb->f_error_char = 0;
    dcb->f_null = 0;
    dcb->f_rts_control =
        (flow & FLOW_RTS_CTS) ? COM_LINE_CONTROL_HANDSHAKE : COM_LINE_CONTROL_ENABLE;
    dcb->f_abort_on_error = 0;
    dcb->byte_size = settings->data_bits;
    dcb->parity = settings->parity;
    dcb->stop_bits = settings->stop_bits;
    dcb->xon_char = XON_CHAR;
    dcb->xoff_char = XOFF_CHAR;
    dcb->error_char = 0;
    dcb->eof_char = 0;
    dcb->evt_char = 0;
}

ComHandle serial_open(const PortSettings *settings) {
    // The name comes from the settings file and may fill its field without a terminator.
    char name[sizeof settings->port_name + 1];
    std::size_t length = text_length(settings->port_name);
    for (std::size_t i = 0; i < length; ++i) name[i] = settings->port_name[i];
    name[length] = '\0';

    ComHandle handle = com_open(name);
    if (handle == COM_INVALID_HANDLE) return COM_INVALID_HANDLE;

    // A block that could not be read is not written back: one built on an unknown base would set
    // more than the settings ask for.
    SerialDcb dcb{};
    if (com_get_state(handle, &dcb) == 0) {
        serial_build_dcb(&dcb, settings);
        (void)com_set_state(handle, &dcb);
    }
    SerialTimeouts timeouts{};
    (void)com_get_timeouts(handle, &timeouts);
    timeouts.read_interval_timeout = COM_MAXDWORD;
    timeouts.read_total_timeout_multiplier = 0;
    timeouts.read_total_timeout_constant = SERIAL_READ_WAIT_MS;
    timeouts.write_total_timeout_multiplier = 0;
    timeouts.write_total_timeout_constant = 0;
    (void)com_set_timeouts(handle, &timeouts);
    return handle;
}

int serial_close(ComHandle handle) {
    if (handle == COM_INVALID_HANDLE) return 0;
    (void)com_purge(handle, COM_PURGE_TXABORT | COM_PURGE_RXABORT | COM_PURGE_TXCLEAR |
                                COM_PURGE_RXCLEAR);
    com_close(handle);
    return 0;
}

int serial_read(PortRecord *port, void *buffer, std::uint32_t maximum, std::uint32_t *count) {
    return com_read(port->com_handle.load(), buffer, maximum, count) == 0 ? 1 : 0;
}

int serial_write(PortRecord *port, const void *data, std::int32_t length) {
    if (length <= 0) return 1;
    // One handle for the whole block: a port closed and opened again meanwhile is another port.
    ComHandle handle = port->com_handle.load();
    const std::uint8_t *bytes = static_cast<const std::uint8_t *>(data);
    std::uint32_t total = static_cast<std::uint32_t>(length);
    std::uint32_t done = 0;
    while (done < total) {
        std::uint32_t written = 0;
        if (com_write(handle, bytes + done, total - done, &written) != 0) return 0;
        done += written;
    }
    return 1;
}

int serial_write_watched(PortRecord *port, const void *data, std::int32_t length,
                         int (*give_up)(void *context), void *context) {
    if (length <= 0) return 1;
    ComHandle handle = port->com_handle.load();
    SerialTimeouts saved{};
    if (com_get_timeouts(handle, &saved) != 0) return 0;
    // A write that cannot finish within the slice returns with what went; the rest is written
    // again after a look at give_up. Without a time-out of its own it could wait for ever.
    SerialTimeouts sliced = saved;
    sliced.write_total_timeout_multiplier = 0;
    sliced.write_total_timeout_constant = SERIAL_WRITE_SLICE_MS;
    if (com_set_timeouts(handle, &sliced) != 0) return 0;
    const std::uint8_t *bytes = static_cast<const std::uint8_t *>(data);
    std::uint32_t total = static_cast<std::uint32_t>(length);
    std::uint32_t done = 0;
    int result = 1;
    while (done < total) {
        std::uint32_t written = 0;
        if (com_write(handle, bytes + done, total - done, &written) != 0) {
            result = 0;
            break;
        }
        done += written;
        if (done < total && give_up(context) != 0) {
            result = 0;
            break;
        }
    }
    // The port's other writers (the relay's reader, the modem emulator) rely on no time-out.
    if (com_set_timeouts(handle, &saved) != 0) result = 0;
    return result;
}
