// Boost.Beast parses the requests and writes the answers, Boost.URL takes
// the targets apart; a thread per connection, as many as the limit allows.
// Asio wants the Windows 10 API; the build's default is older.
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0A00
#include "ribexweb_http.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/url.hpp>

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "ribexweb_api.h"
#include "ribexweb_page.h"
#include "ribexweb_polled_socket.h"

namespace net = boost::asio;
namespace http = boost::beast::http;
using tcp = net::ip::tcp;

struct WebHttp {
    WebHttpConfig config;
    net::io_context ioc;
    tcp::acceptor acceptor{ioc};
    std::thread acceptThread;
    WebHttpCounts counts = {};
    volatile LONG stopping = 0;
    std::mutex lock;                  // guards open
    std::map<unsigned long long, SOCKET> open;  // connections being served, by number
    unsigned long long nextNumber = 0;
    std::condition_variable allGone;  // open became empty
};

namespace {

const DWORD kIdleTimeoutMs = 5000;   // a connection that sends nothing this long is closed
const DWORD kWriteTimeoutMs = 30000; // one that takes nothing of an answer this long, likewise
const unsigned kHeaderLimit = 8192;
const unsigned kBodyLimit = 4096;  // GET only: nothing to upload

typedef http::response<http::string_body> Answer;

Answer MakeAnswer(const http::request<http::empty_body> &req, int status, const std::string &type,
                  std::string body) {
    Answer res{(http::status)status, req.version()};
    res.set(http::field::server, "ribexweb");
    res.set(http::field::content_type, type);
    res.set(http::field::cache_control, "no-store");
    res.keep_alive(req.keep_alive());
    res.body() = std::move(body);
    res.prepare_payload();
    return res;
}

Answer JsonAnswer(WebHttp *w, const http::request<http::empty_body> &req, const WebAnswer &a) {
    if (a.status >= 400) InterlockedIncrement(&w->counts.refused);
    return MakeAnswer(req, a.status, "application/json", a.body);
}

WebSeriesQuery SeriesQuery(const boost::urls::url_view &url) {
    WebSeriesQuery q;
    for (auto p : url.params()) {
        std::string key(p.key), value(p.value);
        if (key == "signal") {
            q.signals.push_back(value);
        } else if (key == "from") {
            q.from = value;
            q.hasFrom = true;
        } else if (key == "to") {
            q.to = value;
            q.hasTo = true;
        } else if (key == "points") {
            q.points = value;
            q.hasPoints = true;
        }
    }
    return q;
}

// The answer to every request but the live stream.
Answer Route(WebHttp *w, const http::request<http::empty_body> &req, const boost::urls::url_view &url) {
    std::string path(url.path());
    ULONGLONG now = GetTickCount64();
    if (path == "/api/snapshot")
        return JsonAnswer(w, req, WebSnapshotAnswer(w->config.store, w->config.bitRate, now));
    if (path == "/api/signals") return JsonAnswer(w, req, WebSignalsAnswer(w->config.store));
    if (path == "/api/series") return JsonAnswer(w, req, WebSeriesAnswer(w->config.store, SeriesQuery(url), now));
    WebPageFile file;
    if (WebPageFind(path.c_str(), &file))
        return MakeAnswer(req, 200, file.contentType, std::string(file.data, file.size));
    return JsonAnswer(w, req,
                      WebErrorAnswer(404, "no such path: GET /, /api/snapshot, /api/series, /api/signals "
                                          "or /api/events"));
}

// One open page: a snapshot every WEB_STREAM_PERIOD_MS as a Server-Sent
// Event until the page goes or the server stops. The body ends with the
// connection.
void Stream(WebHttp *w, PolledSocket &sock, const http::request<http::empty_body> &req) {
    if ((DWORD)InterlockedIncrement(&w->counts.streams) > w->config.maxStreams) {
        InterlockedDecrement(&w->counts.streams);
        Answer res = JsonAnswer(w, req, WebErrorAnswer(503, "too many open pages (-c)"));
        res.keep_alive(false);
        boost::system::error_code ec;
        http::write(sock, res, ec);
        return;
    }
    http::response<http::empty_body> head{http::status::ok, req.version()};
    head.set(http::field::content_type, "text/event-stream");
    head.set(http::field::cache_control, "no-store");
    head.keep_alive(false);
    http::response_serializer<http::empty_body> serializer{head};
    boost::system::error_code ec;
    http::write_header(sock, serializer, ec);
    while (!ec && !w->stopping) {
        WebAnswer a = WebSnapshotAnswer(w->config.store, w->config.bitRate, GetTickCount64());
        std::string event = "data: " + a.body + "\n\n";
        net::write(sock, net::buffer(event), ec);
        for (DWORD waited = 0; waited < WEB_STREAM_PERIOD_MS && !w->stopping; waited += 20) Sleep(20);
    }
    InterlockedDecrement(&w->counts.streams);
}

int ParseErrorStatus(const boost::system::error_code &ec) {
    if (ec == http::error::header_limit) return 431;
    if (ec == http::error::body_limit) return 413;
    return 400;
}

// Requests of one connection until it closes, errs or idles.
void Serve(WebHttp *w, tcp::socket socket) {
    PolledSocket sock{socket, &w->stopping, kIdleTimeoutMs, kWriteTimeoutMs};
    boost::beast::flat_buffer buffer;
    for (;;) {
        http::request_parser<http::empty_body> parser;
        parser.header_limit(kHeaderLimit);
        parser.body_limit(kBodyLimit);
        boost::system::error_code ec;
        http::read(sock, buffer, parser, ec);
        if (w->stopping || ec == http::error::end_of_stream || ec == http::error::partial_message) return;
        bool malformed = ec && ec.category() == http::make_error_code(http::error::bad_target).category();
        if (ec && !malformed) return;  // closed, reset, idle too long
        InterlockedIncrement(&w->counts.requests);
        http::request<http::empty_body> req = ec ? http::request<http::empty_body>() : parser.release();
        Answer res;
        bool stream = false;
        if (ec) {
            InterlockedIncrement(&w->counts.refused);
            int status = ParseErrorStatus(ec);
            res = MakeAnswer(req, status, "application/json", WebErrorAnswer(status, ec.message()).body);
            res.keep_alive(false);
        } else if (req.method() != http::verb::get && req.method() != http::verb::head) {
            res = JsonAnswer(w, req, WebErrorAnswer(405, "only GET is served"));
            res.set(http::field::allow, "GET, HEAD");
        } else {
            std::string target(req.target());  // the view below points into it
            auto url = boost::urls::parse_origin_form(target);
            if (!url)
                res = JsonAnswer(w, req, WebErrorAnswer(400, "malformed request target"));
            else if (url->path() == "/api/events")
                stream = true;
            else
                res = Route(w, req, *url);
        }
        if (stream) {
            Stream(w, sock, req);
            return;
        }
        if (req.method() == http::verb::head) res.body().clear();
        http::write(sock, res, ec);
        if (ec || !res.keep_alive()) return;
    }
}

void Connection(WebHttp *w, tcp::socket sock, unsigned long long number) {
    Serve(w, std::move(sock));  // closes it
    std::lock_guard<std::mutex> guard(w->lock);
    w->open.erase(number);
    if (w->open.empty()) w->allGone.notify_all();
}

// Connections beyond the limit get a 503 at once and are closed.
void Refuse(WebHttp *w, tcp::socket &socket) {
    PolledSocket sock{socket, &w->stopping, kIdleTimeoutMs, kWriteTimeoutMs};
    InterlockedIncrement(&w->counts.refused);
    Answer res{http::status::service_unavailable, 11};
    res.set(http::field::content_type, "application/json");
    res.body() = WebErrorAnswer(503, "too many connections").body;
    res.keep_alive(false);
    res.prepare_payload();
    boost::system::error_code ec;
    http::write(sock, res, ec);
    socket.shutdown(tcp::socket::shutdown_both, ec);
}

// Waits until a connection is there to accept (true) or a stop is asked
// (false). The wait is renewed every 200 ms instead of an accept that
// blocks: under load Wine can miss the wake-up of a waiting accept, and
// the connection then sits in the backlog, unanswered, until another one
// comes.
bool WaitForConnection(WebHttp *w) {
    while (!w->stopping) {
        WSAPOLLFD fd = {};
        fd.fd = w->acceptor.native_handle();
        fd.events = POLLRDNORM;
        int n = WSAPoll(&fd, 1, 200);
        if (n > 0) return true;
        if (n < 0) Sleep(10);  // out of resources, say: try again
    }
    return false;
}

void AcceptLoop(WebHttp *w) {
    size_t limit = w->config.maxStreams + WEB_CONNECTIONS_BESIDE_STREAMS;
    while (WaitForConnection(w)) {
        boost::system::error_code ec;
        tcp::socket sock{w->ioc};
        w->acceptor.accept(sock, ec);
        if (ec) {
            if (w->stopping) return;
            Sleep(10);  // out of handles, say: try again
            continue;
        }
        std::unique_lock<std::mutex> guard(w->lock);
        if (w->open.size() >= limit) {
            guard.unlock();
            Refuse(w, sock);
            continue;
        }
        unsigned long long number = w->nextNumber++;
        w->open.emplace(number, sock.native_handle());
        guard.unlock();
        std::thread(Connection, w, std::move(sock), number).detach();
    }
}

}  // namespace

bool WebHttpStart(const WebHttpConfig *config, WebHttp **http, int *boundPort, std::string *error) {
    WebHttp *w = new WebHttp();
    w->config = *config;
    boost::system::error_code ec;
    net::ip::address address = net::ip::make_address(config->address, ec);
    tcp::endpoint endpoint{address, (unsigned short)config->port};
    if (!ec) w->acceptor.open(endpoint.protocol(), ec);
    // Exclusive: a second ribexweb on the port fails instead of sharing it.
    if (!ec) {
        BOOL on = TRUE;
        setsockopt(w->acceptor.native_handle(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, (const char *)&on, sizeof(on));
        w->acceptor.bind(endpoint, ec);
    }
    if (!ec) w->acceptor.listen(net::socket_base::max_listen_connections, ec);
    if (ec) {
        *error = "cannot listen on " + config->address + ":" + std::to_string(config->port) + ": " + ec.message();
        delete w;
        return false;
    }
    *boundPort = w->acceptor.local_endpoint().port();
    w->acceptThread = std::thread(AcceptLoop, w);
    *http = w;
    return true;
}

const WebHttpCounts *WebHttpGetCounts(const WebHttp *http) { return &http->counts; }

void WebHttpStop(WebHttp *w) {
    InterlockedExchange(&w->stopping, 1);
    boost::system::error_code ec;
    // A connection of our own wakes the accept that waits.
    tcp::endpoint self = w->acceptor.local_endpoint(ec);
    if (self.address().is_unspecified()) self.address(net::ip::make_address("127.0.0.1"));
    {
        tcp::socket wake{w->ioc};
        wake.connect(self, ec);
    }
    if (w->acceptThread.joinable()) w->acceptThread.join();
    w->acceptor.close(ec);
    std::unique_lock<std::mutex> guard(w->lock);
    for (auto &open : w->open) shutdown(open.second, SD_BOTH);  // wakes the reads that wait
    w->allGone.wait(guard, [w] { return w->open.empty(); });
    guard.unlock();
    delete w;
}
