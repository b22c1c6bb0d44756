#include "serve/http/http_server.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <cctype>
#include <condition_variable>
#include <deque>
#include <list>
#include <mutex>
#include <optional>
#include <thread>

#include "serve/http/task_pool.h"
#include "serve/allow_from.h"
#include "serve/log.h"

namespace korvel::cli::serve::http {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

// Out of descriptors: accepting rests this long, turning away this many at most each time.
constexpr auto kDescriptorRest = std::chrono::milliseconds(100);
constexpr int kTurnAwayPerRound = 64;
constexpr char kTooMany[] =
    "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\nContent-Length: 29\r\n"
    "Connection: close\r\nRetry-After: 1\r\n\r\n{\"error\":\"too many clients\"}\n";

int openReserve() { return ::open("/dev/null", O_RDONLY | O_CLOEXEC); }

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool decodePart(std::string_view text, std::string* out) {
    out->clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            *out += ' ';
        } else if (text[i] == '%') {
            if (i + 2 >= text.size()) return false;
            const int high = hexDigit(text[i + 1]);
            const int low = hexDigit(text[i + 2]);
            if (high < 0 || low < 0) return false;
            *out += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            *out += text[i];
        }
    }
    return true;
}

}  // namespace

std::string Request::header(const std::string& lowerName) const {
    const auto found = headers.find(lowerName);
    return found == headers.end() ? std::string() : found->second;
}

std::string Request::param(const std::string& name) const {
    const auto found = params.find(name);
    return found == params.end() ? std::string() : found->second;
}

bool decodeForm(std::string_view text, std::map<std::string, std::string>* out) {
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('&'), text.size());
        const std::string_view field = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        if (field.empty()) continue;
        const std::size_t equals = field.find('=');
        std::string name;
        std::string value;
        if (!decodePart(field.substr(0, equals), &name)) return false;
        if (equals != std::string_view::npos && !decodePart(field.substr(equals + 1), &value)) return false;
        out->emplace(std::move(name), std::move(value));  // the first of a repeated field counts
    }
    return true;
}

class Connection;

struct HttpServer::Impl {
    explicit Impl(HttpLimits l) : limits(l), pool(l.threads) {}

    HttpLimits limits;
    asio::io_context io{1};
    tcp::acceptor acceptor{io};
    asio::steady_timer rest{io};
    TaskPool pool;
    std::thread thread;
    std::map<std::pair<std::string, std::string>, Handler> routes;
    std::function<bool(const Request&, Reply&)> gate;
    std::vector<std::pair<std::string, std::string>> defaultHeaders;
    std::list<Connection*> open;  // the I/O thread's
    int reserve = openReserve();
    bool exhausted = false;
    std::uint64_t turnedAway = 0;

    void accept();
    void admit(tcp::socket socket);
    void outOfDescriptors(const boost::system::error_code& error);
    void handle(const Request& request, Reply& reply) const;
};

// One client connection, driven on the I/O thread; its handlers run on the pool.
class Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(HttpServer::Impl& server, tcp::socket socket)
        : server_(server), socket_(std::move(socket)), deadline_(server.io) {}

    void begin() {
        self_ = server_.open.insert(server_.open.end(), this);
        waitForRequest();
    }
    // Waiting for a request (idle, or one arriving slowly): may be closed for a newcomer.
    bool waiting() const { return waiting_; }
    Clock::time_point waitingSince() const { return waitingSince_; }
    void close() {
        if (closed_) return;
        closed_ = true;
        waiting_ = false;
        boost::system::error_code ignored;
        socket_.shutdown(tcp::socket::shutdown_both, ignored);
        socket_.close(ignored);
        deadline_.cancel();
        server_.open.erase(self_);
        if (stream_ && stream_->finished) {
            auto finished = std::move(stream_->finished);
            stream_->finished = nullptr;
            finished();
        }
    }

private:
    // The connection closes unless the next step comes first.
    void arm(std::chrono::milliseconds limit) {
        const std::uint64_t generation = ++generation_;
        deadline_.expires_after(limit);
        deadline_.async_wait([self = shared_from_this(), generation](const boost::system::error_code& error) {
            if (!error && generation == self->generation_) self->close();
        });
    }

    void waitForRequest() {
        waiting_ = true;
        waitingSince_ = Clock::now();
        arm(server_.limits.idleDeadline);
        if (buffer_.size() > 0) return readRequest();
        socket_.async_wait(tcp::socket::wait_read, [self = shared_from_this()](const boost::system::error_code& error) {
            if (error || self->closed_) return self->close();
            self->readRequest();
        });
    }

    // From its first byte a request must arrive whole within the deadline.
    void readRequest() {
        arm(server_.limits.requestDeadline);
        parser_.emplace();
        parser_->header_limit(static_cast<std::uint32_t>(server_.limits.maxHeader));
        parser_->body_limit(server_.limits.maxBody);
        bhttp::async_read(socket_, buffer_, *parser_,
                          [self = shared_from_this()](const boost::system::error_code& error, std::size_t) {
                              self->onRequest(error);
                          });
    }

    void onRequest(const boost::system::error_code& error) {
        if (closed_) return;
        waiting_ = false;
        if (error == bhttp::error::body_limit || error == bhttp::error::header_limit) {
            auto reply = std::make_shared<Reply>();
            reply->status = error == bhttp::error::body_limit ? 413 : 431;
            reply->set("{\"error\":\"request too large\"}\n", "application/json");
            keepAlive_ = false;
            return respond(reply);
        }
        if (error) return close();
        ++generation_;
        deadline_.cancel();
        const auto& message = parser_->get();
        keepAlive_ = message.keep_alive();
        auto request = std::make_shared<Request>();
        request->method = std::string(message.method_string());
        const std::string_view target = message.target();
        const std::size_t query = target.find('?');
        request->path = std::string(target.substr(0, query));
        bool wellFormed = query == std::string_view::npos || decodeForm(target.substr(query + 1), &request->params);
        for (const auto& field : message) {
            std::string name(field.name_string());
            for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            request->headers.emplace(std::move(name), std::string(field.value()));
        }
        if (request->header("content-type").starts_with("application/x-www-form-urlencoded"))
            wellFormed = wellFormed && decodeForm(message.body(), &request->params);
        server_.pool.run([self = shared_from_this(), request, wellFormed] {
            auto reply = std::make_shared<Reply>();
            if (!wellFormed) {
                reply->status = 400;
                reply->set("{\"error\":\"malformed form or query\"}\n", "application/json");
            } else {
                self->server_.handle(*request, *reply);
            }
            asio::post(self->server_.io, [self, reply] { self->respond(reply); });
        });
    }

    void addHeaders(bhttp::fields& fields, const Reply& reply) const {
        for (const auto& [name, value] : server_.defaultHeaders) fields.set(name, value);
        for (const auto& [name, value] : reply.headers) fields.set(name, value);
        fields.set(bhttp::field::content_type, reply.type);
    }

    void respond(const std::shared_ptr<Reply>& reply) {
        if (closed_) {
            if (reply->finished) reply->finished();
            return;
        }
        if (reply->stream) return beginStream(reply);
        response_.emplace(static_cast<bhttp::status>(reply->status), 11);
        addHeaders(response_->base(), *reply);
        response_->keep_alive(keepAlive_);
        response_->body() = std::move(reply->body);
        response_->prepare_payload();
        arm(server_.limits.writeDeadline);
        bhttp::async_write(socket_, *response_,
                           [self = shared_from_this()](const boost::system::error_code& error, std::size_t) {
                               if (error || !self->keepAlive_ || self->closed_) return self->close();
                               self->response_.reset();
                               self->waitForRequest();
                           });
    }

    // A chunked body, pieces made on the pool; the connection ends with it.
    void beginStream(const std::shared_ptr<Reply>& reply) {
        stream_ = reply;
        head_.emplace(static_cast<bhttp::status>(reply->status), 11);
        addHeaders(head_->base(), *reply);
        head_->keep_alive(false);
        head_->chunked(true);
        serializer_.emplace(*head_);
        arm(server_.limits.writeDeadline);
        bhttp::async_write_header(socket_, *serializer_,
                                  [self = shared_from_this()](const boost::system::error_code& error, std::size_t) {
                                      if (error || self->closed_) return self->close();
                                      self->nextPiece();
                                  });
    }

    void nextPiece() {
        ++generation_;  // making a piece may take its time (a stream waits for the next reading)
        deadline_.cancel();
        server_.pool.run([self = shared_from_this()] {
            auto piece = std::make_shared<std::string>();
            const bool more = self->stream_->stream(piece.get());
            asio::post(self->server_.io, [self, piece, more] { self->writePiece(piece, more); });
        });
    }

    void writePiece(const std::shared_ptr<std::string>& piece, bool more) {
        if (closed_) return;
        arm(server_.limits.writeDeadline);
        const auto done = [self = shared_from_this(), more](const boost::system::error_code& error, std::size_t) {
            if (error || !more || self->closed_) return self->close();
            self->nextPiece();
        };
        if (!more) return asio::async_write(socket_, bhttp::make_chunk_last(), done);
        if (piece->empty()) return nextPiece();
        asio::async_write(socket_, bhttp::make_chunk(asio::buffer(*piece)), [piece, done](auto error, auto n) {
            done(error, n);
        });
    }

    HttpServer::Impl& server_;
    tcp::socket socket_;
    asio::steady_timer deadline_;
    std::list<Connection*>::iterator self_;
    beast::flat_buffer buffer_;
    std::optional<bhttp::request_parser<bhttp::string_body>> parser_;
    std::optional<bhttp::response<bhttp::string_body>> response_;
    std::shared_ptr<Reply> stream_;
    std::optional<bhttp::response<bhttp::empty_body>> head_;
    std::optional<bhttp::response_serializer<bhttp::empty_body>> serializer_;
    std::uint64_t generation_ = 0;
    Clock::time_point waitingSince_{};
    bool waiting_ = false;
    bool keepAlive_ = false;
    bool closed_ = false;
};

void HttpServer::Impl::accept() {
    acceptor.async_accept([this](const boost::system::error_code& error, tcp::socket socket) {
        if (error == asio::error::operation_aborted || !acceptor.is_open()) return;
        if (error.value() == EMFILE || error.value() == ENFILE) return outOfDescriptors(error);
        if (!error) {
            if (exhausted) {
                log("page: descriptors free again; " + std::to_string(turnedAway) +
                    " newcomers were answered \"too many clients\"");
                exhausted = false;
                turnedAway = 0;
            }
            if (allowFrom().admit(socket.native_handle(), "page")) admit(std::move(socket));
        }
        accept();
    });
}

void HttpServer::Impl::admit(tcp::socket socket) {
    if (open.size() >= limits.maxConnections) {
        Connection* oldest = nullptr;
        for (Connection* c : open) {
            if (c->waiting() && (oldest == nullptr || c->waitingSince() < oldest->waitingSince())) oldest = c;
        }
        if (oldest == nullptr) {
            // Every connection is being answered: the newcomer is the one turned away.
            [[maybe_unused]] const ssize_t sent =
                ::send(socket.native_handle(), kTooMany, sizeof kTooMany - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            return;
        }
        oldest->close();
    }
    boost::system::error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    std::make_shared<Connection>(*this, std::move(socket))->begin();
}

// accept keeps failing while the process has no descriptor left: rest a
// moment instead of trying again at once, and answer who waits meanwhile
// with the descriptor kept in reserve.
void HttpServer::Impl::outOfDescriptors(const boost::system::error_code& error) {
    if (!exhausted)
        log("page: out of file descriptors (" + error.message() +
            "): newcomers are answered \"too many clients\" until some are free");
    exhausted = true;
    for (int i = 0; i < kTurnAwayPerRound && reserve >= 0; ++i) {
        ::close(reserve);
        const int fd = ::accept4(acceptor.native_handle(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            [[maybe_unused]] const ssize_t sent = ::send(fd, kTooMany, sizeof kTooMany - 1, MSG_NOSIGNAL);
            ::close(fd);
            ++turnedAway;
        }
        reserve = openReserve();
        if (fd < 0) break;
    }
    rest.expires_after(kDescriptorRest);
    rest.async_wait([this](const boost::system::error_code& waited) {
        if (!waited) accept();
    });
}

void HttpServer::Impl::handle(const Request& request, Reply& reply) const {
    if (gate && !gate(request, reply)) return;
    const auto found = routes.find({request.method, request.path});
    if (found == routes.end()) {
        reply.status = 404;
        reply.set("{\"error\":\"not found\"}\n", "application/json");
        return;
    }
    found->second(request, reply);
}

HttpServer::HttpServer(HttpLimits limits) : impl_(std::make_unique<Impl>(limits)) {}

HttpServer::~HttpServer() {
    stop();
    if (impl_->reserve >= 0) ::close(impl_->reserve);
}

void HttpServer::route(const std::string& method, const std::string& path, Handler handler) {
    impl_->routes[{method, path}] = std::move(handler);
}

void HttpServer::setGate(std::function<bool(const Request&, Reply&)> gate) { impl_->gate = std::move(gate); }

void HttpServer::setDefaultHeaders(std::vector<std::pair<std::string, std::string>> headers) {
    impl_->defaultHeaders = std::move(headers);
}

int HttpServer::bind(const std::string& host, int port) {
    boost::system::error_code error;
    tcp::resolver resolver(impl_->io);
    const auto found = resolver.resolve(host.empty() ? "0.0.0.0" : host, std::to_string(port),
                                        tcp::resolver::passive | tcp::resolver::numeric_service, error);
    if (error) return -1;
    for (const auto& entry : found) {
        tcp::acceptor& acceptor = impl_->acceptor;
        boost::system::error_code step;
        acceptor.open(entry.endpoint().protocol(), step);
        if (!step) acceptor.set_option(tcp::acceptor::reuse_address(true), step);
        if (!step) acceptor.bind(entry.endpoint(), step);
        // As long a queue as the kernel allows (net.core.somaxconn), like the SCPI port's.
        if (!step) acceptor.listen(asio::socket_base::max_listen_connections, step);
        if (!step) acceptor.native_non_blocking(true, step);
        if (!step) return acceptor.local_endpoint().port();
        acceptor.close(step);
    }
    return -1;
}

void HttpServer::start() {
    impl_->accept();
    impl_->thread = std::thread([this] { impl_->io.run(); });
}

void HttpServer::stop() {
    Impl& s = *impl_;
    if (s.thread.joinable()) {
        asio::post(s.io, [&s] {
            boost::system::error_code ignored;
            s.acceptor.close(ignored);
            s.rest.cancel();
            while (!s.open.empty()) s.open.front()->close();
        });
        // Handlers still running finish; their answers find their connections closed.
        s.pool.stop();
        asio::post(s.io, [&s] { s.io.stop(); });
        s.thread.join();
    }
}

}  // namespace korvel::cli::serve::http
