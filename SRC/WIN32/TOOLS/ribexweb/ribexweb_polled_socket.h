// A connection's socket as Beast reads and writes it, waiting for it in
// slices of 200 ms (WSAPoll) instead of in a blocking receive or send:
// under load Wine can miss the wake-up of a blocking call on a socket,
// and the request then hangs until its client gives up. Each slice also
// looks whether the server stops.
#pragma once

#include <boost/asio/error.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/system/system_error.hpp>

#include <windows.h>

struct PolledSocket {
    boost::asio::ip::tcp::socket &sock;
    volatile LONG *stopping;
    DWORD readLimitMs;   // a client that sends nothing this long is closed
    DWORD writeLimitMs;  // one that takes nothing this long, likewise

    // True once the socket is ready for events; false with ec set when the
    // limit passed (timed_out), the server stops (operation_aborted) or
    // the poll failed.
    bool WaitReady(short events, DWORD limitMs, boost::system::error_code &ec) {
        const DWORD sliceMs = 200;
        for (DWORD waited = 0;; waited += sliceMs) {
            if (*stopping) {
                ec = boost::asio::error::operation_aborted;
                return false;
            }
            WSAPOLLFD fd = {};
            fd.fd = sock.native_handle();
            fd.events = events;
            int n = WSAPoll(&fd, 1, (INT)sliceMs);
            if (n > 0) return true;  // ready, or closed/failed: the call says which
            if (n < 0) {
                ec = boost::system::error_code(WSAGetLastError(), boost::asio::error::get_system_category());
                return false;
            }
            if (waited >= limitMs) {
                ec = boost::asio::error::timed_out;
                return false;
            }
        }
    }

    template <typename Buffers>
    size_t read_some(const Buffers &buffers, boost::system::error_code &ec) {
        ec = {};
        if (!WaitReady(POLLRDNORM, readLimitMs, ec)) return 0;
        return sock.read_some(buffers, ec);
    }
    template <typename Buffers>
    size_t read_some(const Buffers &buffers) {
        return OrThrow([&](boost::system::error_code &ec) { return read_some(buffers, ec); });
    }
    template <typename Buffers>
    size_t write_some(const Buffers &buffers, boost::system::error_code &ec) {
        ec = {};
        if (!WaitReady(POLLWRNORM, writeLimitMs, ec)) return 0;
        return sock.write_some(buffers, ec);
    }
    template <typename Buffers>
    size_t write_some(const Buffers &buffers) {
        return OrThrow([&](boost::system::error_code &ec) { return write_some(buffers, ec); });
    }

    // The throwing forms Beast's stream concepts ask for.
    template <typename Call>
    static size_t OrThrow(Call call) {
        boost::system::error_code ec;
        size_t n = call(ec);
        if (ec) throw boost::system::system_error(ec);
        return n;
    }
};
