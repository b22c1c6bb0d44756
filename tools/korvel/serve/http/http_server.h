// A small HTTP/1.1 server on Boost.Beast for the live page and /metrics.
// One thread moves bytes for every connection (Beast's parser, Asio's
// sockets); handlers run on a pool of their own, so a handler that waits
// for the meter never holds up another connection's bytes, and a client
// that sends slowly holds no thread at all.
//
// Every connection is bounded in time and the server in connections: an
// idle connection (keep-alive, or nothing sent yet) has kIdleDeadline, a
// request from its first byte has kRequestDeadline to arrive whole, and
// each write kWriteDeadline to be taken. At the connection cap a newcomer
// takes the place of the connection that has waited longest for its
// request. The listen queue is as long as the kernel allows, like the SCPI
// port's. Out of descriptors, accepting rests a moment and a descriptor kept
// in reserve answers each newcomer 503 "too many clients".
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace korvel::cli::serve::http {

struct Request {
    std::string method;
    std::string path;                           // without the query
    std::map<std::string, std::string> params;  // the query's and a form body's fields, decoded
    std::map<std::string, std::string> headers; // names in lower case
    std::string header(const std::string& lowerName) const;
    bool has(const std::string& name) const { return params.contains(name); }
    std::string param(const std::string& name) const;
};

struct Reply {
    int status = 200;
    std::string type = "text/plain; charset=utf-8";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    // When set, the body goes out in chunks instead: each call (on a
    // handler thread; it may wait) gives the next piece, false at the end.
    std::function<bool(std::string* piece)> stream;
    // Called once a stream ended, however it ended.
    std::function<void()> finished;

    void set(std::string text, std::string contentType) {
        body = std::move(text);
        type = std::move(contentType);
    }
};

using Handler = std::function<void(const Request&, Reply&)>;

struct HttpLimits {
    std::chrono::milliseconds idleDeadline{5000};
    std::chrono::milliseconds requestDeadline{2000};
    std::chrono::milliseconds writeDeadline{10000};
    std::size_t maxConnections = 1024;
    int threads = 48;
    std::size_t maxHeader = 8 * 1024;
    std::size_t maxBody = 64 * 1024;
};

// Decodes application/x-www-form-urlencoded fields into *out; false when
// the text is not well formed (a bad percent escape).
bool decodeForm(std::string_view text, std::map<std::string, std::string>* out);

class HttpServer {
public:
    explicit HttpServer(HttpLimits limits);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    void get(const std::string& path, Handler handler) { route("GET", path, std::move(handler)); }
    void post(const std::string& path, Handler handler) { route("POST", path, std::move(handler)); }
    // Runs before routing; returning false answers with the reply it made.
    void setGate(std::function<bool(const Request&, Reply&)> gate);
    void setDefaultHeaders(std::vector<std::pair<std::string, std::string>> headers);

    // Listens on host (a name or an address; "" for every address) and port
    // (0: any free one). Returns the port, or -1 when it cannot.
    int bind(const std::string& host, int port);
    void start();
    void stop();

    struct Impl;

private:
    void route(const std::string& method, const std::string& path, Handler handler);
    std::unique_ptr<Impl> impl_;
};

}  // namespace korvel::cli::serve::http
