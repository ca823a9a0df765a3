#include "station/dashboard_server.h"

#include <array>
#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <cstdio>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include "station/web_assets.h"

namespace quelmar::station {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

constexpr char kTokenHeader[] = "X-Quelmar-Token";
// Only this server's own files run in the page, and no other site frames it.
constexpr char kPolicy[] = "default-src 'self'; frame-ancestors 'none'";

// Same length and bytes, in time that does not depend on where they differ.
bool SameSecret(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i)
    diff = static_cast<unsigned char>(
        diff | (static_cast<unsigned char>(a[i]) ^ static_cast<unsigned char>(b[i])));
  return diff == 0;
}

bool IsLoopback(const asio::ip::address& a) {
  return a.is_loopback();
}

void SetCommonHeaders(http::response<http::string_body>& res) {
  res.set(http::field::server, "quelmar-station");
  res.set("Content-Security-Policy", kPolicy);
  res.set("X-Content-Type-Options", "nosniff");
  res.set(http::field::cache_control, "no-store");
  res.set("Referrer-Policy", "no-referrer");
}

}  // namespace

struct DashboardServer::Impl {
  class Session;

  Impl(StationState& s, ServerOptions o, std::function<void(Control)> c)
      : state(s), options(std::move(o)), on_control(std::move(c)) {}

  StationState& state;
  ServerOptions options;
  std::function<void(Control)> on_control;
  std::optional<asio::io_context> ioc;
  std::optional<tcp::acceptor> acceptor;
  std::optional<asio::steady_timer> ticker;
  std::thread thread;
  std::atomic<uint16_t> bound_port{0};
  std::atomic<size_t> connections{0};
  std::atomic<size_t> streams{0};
  bool loopback = true;
  // Event streams, touched on the server's thread only.
  std::vector<std::weak_ptr<Session>> listeners;
  uint64_t sent_version = 0;
  std::shared_ptr<const std::string> last_event;

  void Accept();
  void Tick();
  std::shared_ptr<const std::string> CurrentEvent();
};

class DashboardServer::Impl::Session : public std::enable_shared_from_this<Session> {
 public:
  Session(Impl& server, tcp::socket socket) : server_(server), stream_(std::move(socket)) {
    server_.connections.fetch_add(1);
  }
  ~Session() {
    server_.connections.fetch_sub(1);
    if (streaming_) server_.streams.fetch_sub(1);
  }

  void Start() { ReadRequest(); }

  // The newest event for this stream; it replaces one not yet written.
  void Offer(std::shared_ptr<const std::string> event) {
    pending_ = std::move(event);
    if (!writing_) WriteEvent();
  }
  bool Idle(std::chrono::steady_clock::time_point now) const {
    return !writing_ && !pending_ && now - last_write_ >= server_.options.keepalive;
  }

 private:
  void ReadRequest() {
    parser_.emplace();
    parser_->header_limit(static_cast<uint32_t>(server_.options.header_limit));
    parser_->body_limit(server_.options.body_limit);
    stream_.expires_after(server_.options.read_timeout);
    http::async_read(
        stream_, buffer_, *parser_,
        [self = shared_from_this()](beast::error_code ec, size_t) { self->OnRequest(ec); });
  }

  void OnRequest(beast::error_code ec) {
    if (ec == http::error::end_of_stream || ec == beast::error::timeout ||
        ec == asio::error::operation_aborted || ec == asio::error::eof ||
        ec == asio::error::connection_reset) {
      Close();
      return;
    }
    if (ec == http::error::header_limit)
      return Refuse(http::status::request_header_fields_too_large);
    if (ec == http::error::body_limit) return Refuse(http::status::payload_too_large);
    if (ec) return Refuse(http::status::bad_request);
    Route(parser_->get());
  }

  void Refuse(http::status status, std::string why = {}) {
    auto res =
        MakeResponse(status, "text/plain; charset=utf-8",
                     why.empty() ? std::string(http::obsolete_reason(status)) + "\n" : why + "\n");
    res.keep_alive(false);
    Send(std::move(res));
  }

  http::response<http::string_body> MakeResponse(http::status status, std::string_view type,
                                                 std::string body) {
    http::response<http::string_body> res{status, 11};
    SetCommonHeaders(res);
    res.set(http::field::content_type, type);
    res.body() = std::move(body);
    res.prepare_payload();
    return res;
  }

  // Whether Host names this server as the page would: on a loopback
  // address only the loopback names are accepted, so a page of another
  // site reached through a rebound DNS name cannot read the state.
  bool HostAllowed(std::string_view host) const {
    if (!server_.loopback) return !host.empty();
    const std::string port = std::to_string(server_.bound_port.load());
    for (const char* name : {"127.0.0.1", "localhost", "[::1]"}) {
      if (host == std::string(name) + ":" + port) return true;
      if (port == "80" && host == name) return true;
    }
    return false;
  }

  void Route(const http::request<http::string_body>& req) {
    std::string_view target = req.target();
    if (const size_t q = target.find('?'); q != std::string_view::npos)
      target = target.substr(0, q);
    const std::string_view host = req[http::field::host];
    if (req.version() != 11 && req.version() != 10) return Refuse(http::status::bad_request);
    if (!HostAllowed(host)) return Refuse(http::status::forbidden, "unknown host");
    // A page of another site may send requests here; none is answered.
    const std::string_view origin = req[http::field::origin];
    if (!origin.empty() && origin != "http://" + std::string(host))
      return Refuse(http::status::forbidden, "foreign origin");
    if (req["Sec-Fetch-Site"] == "cross-site")
      return Refuse(http::status::forbidden, "foreign origin");

    std::optional<Control> control;
    if (target == "/api/pause") control = Control::kPause;
    if (target == "/api/resume") control = Control::kResume;
    if (target == "/api/stop") control = Control::kStop;
    if (control) {
      if (req.method() != http::verb::post) return NotAllowed("POST");
      const std::string_view token = req[kTokenHeader];
      if (token.empty()) return Refuse(http::status::unauthorized, "token missing");
      if (!SameSecret(token, server_.options.token))
        return Refuse(http::status::forbidden, "wrong token");
      if (server_.on_control) server_.on_control(*control);
      return Reply(req, MakeResponse(http::status::ok, "application/json",
                                     std::string("{\"run\":\"") +
                                         RunStateWord(server_.state.Run()) + "\"}"));
    }

    const WebAsset* asset = FindWebAsset(target);
    const bool state = target == "/api/state";
    const bool events = target == "/events";
    std::optional<size_t> log_slot;
    constexpr std::string_view kLog = "/api/log/";
    if (target.substr(0, kLog.size()) == kLog) {
      const std::string_view digits = target.substr(kLog.size());
      size_t n = 0;
      bool ok = !digits.empty() && digits.size() <= 6;
      for (char c : digits) {
        ok = ok && c >= '0' && c <= '9';
        n = n * 10 + static_cast<size_t>(c - '0');
      }
      if (ok && n < server_.state.SlotCount()) log_slot = n;
    }
    if (!asset && !state && !events && !log_slot) return Refuse(http::status::not_found);
    if (req.method() != http::verb::get) return NotAllowed("GET");

    if (asset)
      return Reply(req,
                   MakeResponse(http::status::ok, asset->content_type, std::string(asset->body)));
    if (state) {
      return Reply(req, MakeResponse(http::status::ok, "application/json",
                                     SnapshotJson(server_.state.Snapshot())));
    }
    if (log_slot) {
      const StationSnapshot s = server_.state.Snapshot();
      const std::string port = *log_slot < s.slots.size() ? s.slots[*log_slot].port : "";
      return Reply(req, MakeResponse(http::status::ok, "application/json",
                                     SlotLogsJson(port, server_.state.SlotLogs(*log_slot))));
    }
    StartStream();
  }

  void NotAllowed(const char* allow) {
    auto res = MakeResponse(http::status::method_not_allowed, "text/plain; charset=utf-8",
                            "Method Not Allowed\n");
    res.set(http::field::allow, allow);
    res.keep_alive(false);
    Send(std::move(res));
  }

  void Reply(const http::request<http::string_body>& req, http::response<http::string_body> res) {
    res.keep_alive(req.keep_alive());
    Send(std::move(res));
  }

  void Send(http::response<http::string_body> res) {
    response_.emplace(std::move(res));
    stream_.expires_after(server_.options.write_timeout);
    http::async_write(stream_, *response_,
                      [self = shared_from_this()](beast::error_code ec, size_t) {
                        const bool again = !ec && self->response_->keep_alive();
                        self->response_.reset();
                        if (again) {
                          self->ReadRequest();
                        } else if (!ec) {
                          self->Linger();
                        } else {
                          self->Close();
                        }
                      });
  }

  // After the last answer: stop sending, then read and drop what the
  // client still sends (the rest of an oversized body), bounded in time
  // and bytes, so that closing does not reset the line before the client
  // has read the answer.
  void Linger() {
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    stream_.expires_after(server_.options.read_timeout);
    DrainSome();
  }
  void DrainSome() {
    stream_.async_read_some(asio::buffer(discard_),
                            [self = shared_from_this()](beast::error_code ec, size_t n) {
                              self->drained_ += n;
                              if (ec || self->drained_ > kMaxDrain) return self->Close();
                              self->DrainSome();
                            });
  }
  static constexpr size_t kMaxDrain = 1 << 20;

  // The event stream: headers, then one event per state the server's
  // ticker offers; never more than one in flight and one waiting.
  void StartStream() {
    streaming_ = true;
    server_.streams.fetch_add(1);
    std::string head =
        "HTTP/1.1 200 OK\r\n"
        "Content-Type: text/event-stream\r\n"
        "Cache-Control: no-store\r\n"
        "Content-Security-Policy: " +
        std::string(kPolicy) +
        "\r\n"
        "X-Content-Type-Options: nosniff\r\n"
        "Connection: close\r\n\r\n"
        "retry: 1000\n\n";
    pending_ = std::make_shared<const std::string>(std::move(head));
    server_.listeners.push_back(weak_from_this());
    WriteEvent();
    // The client only ever closes: reading tells that at once.
    stream_.socket().async_read_some(
        asio::buffer(discard_),
        [self = shared_from_this()](beast::error_code ec, size_t) { self->OnStreamRead(ec); });
    Offer(server_.CurrentEvent());
  }

  void OnStreamRead(beast::error_code ec) {
    if (ec) return Close();
    stream_.socket().async_read_some(
        asio::buffer(discard_),
        [self = shared_from_this()](beast::error_code e, size_t) { self->OnStreamRead(e); });
  }

  void WriteEvent() {
    if (!pending_ || closed_) return;
    writing_ = true;
    current_ = std::move(pending_);
    pending_.reset();
    stream_.expires_after(server_.options.write_timeout);
    asio::async_write(stream_, asio::buffer(*current_),
                      [self = shared_from_this()](beast::error_code ec, size_t) {
                        self->writing_ = false;
                        self->current_.reset();
                        self->last_write_ = std::chrono::steady_clock::now();
                        if (ec) return self->Close();
                        self->stream_.expires_never();
                        self->WriteEvent();
                      });
  }

  void Close() {
    if (closed_) return;
    closed_ = true;
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
    stream_.close();
  }

  Impl& server_;
  beast::tcp_stream stream_;
  beast::flat_buffer buffer_{16 * 1024};
  std::optional<http::request_parser<http::string_body>> parser_;
  std::optional<http::response<http::string_body>> response_;
  std::shared_ptr<const std::string> current_;
  std::shared_ptr<const std::string> pending_;
  std::array<char, 4096> discard_{};
  size_t drained_ = 0;
  std::chrono::steady_clock::time_point last_write_ = std::chrono::steady_clock::now();
  bool streaming_ = false;
  bool writing_ = false;
  bool closed_ = false;
};

std::shared_ptr<const std::string> DashboardServer::Impl::CurrentEvent() {
  const uint64_t version = state.Version();
  if (!last_event || version != sent_version) {
    const StationSnapshot s = state.Snapshot();
    sent_version = s.version;
    last_event =
        std::make_shared<const std::string>("event: state\ndata: " + SnapshotJson(s) + "\n\n");
  }
  return last_event;
}

void DashboardServer::Impl::Accept() {
  acceptor->async_accept([this](beast::error_code ec, tcp::socket socket) {
    if (ec == asio::error::operation_aborted) return;
    if (!ec) {
      if (connections.load() >= options.max_connections) {
        // Over the cap: dropped at once, costing nothing more.
        beast::error_code ignored;
        socket.close(ignored);
      } else {
        std::make_shared<Session>(*this, std::move(socket))->Start();
      }
    }
    Accept();
  });
}

void DashboardServer::Impl::Tick() {
  ticker->expires_after(options.event_period);
  ticker->async_wait([this](beast::error_code ec) {
    if (ec) return;
    std::erase_if(listeners, [](const std::weak_ptr<Session>& w) { return w.expired(); });
    if (!listeners.empty()) {
      const bool changed = state.Version() != sent_version;
      std::shared_ptr<const std::string> event = changed ? CurrentEvent() : nullptr;
      static const auto keepalive = std::make_shared<const std::string>(":\n\n");
      const auto now = std::chrono::steady_clock::now();
      for (const auto& weak : listeners) {
        const auto session = weak.lock();
        if (!session) continue;
        if (event) {
          session->Offer(event);
        } else if (session->Idle(now)) {
          session->Offer(keepalive);
        }
      }
    }
    Tick();
  });
}

DashboardServer::DashboardServer(StationState& state, ServerOptions options,
                                 std::function<void(Control)> on_control)
    : impl_(std::make_unique<Impl>(state, std::move(options), std::move(on_control))) {}

DashboardServer::~DashboardServer() {
  Stop();
}

bool DashboardServer::Start(std::string* error) {
  Impl& s = *impl_;
  if (s.thread.joinable()) return true;
  if (s.options.token.empty()) {
    if (error) *error = "no token for the control actions";
    return false;
  }
  beast::error_code ec;
  const asio::ip::address address = asio::ip::make_address(s.options.address, ec);
  if (ec) {
    if (error) *error = "'" + s.options.address + "' is not an IP address";
    return false;
  }
  s.loopback = IsLoopback(address);
  s.ioc.emplace(1);
  s.acceptor.emplace(*s.ioc);
  const tcp::endpoint endpoint(address, s.options.port);
  s.acceptor->open(endpoint.protocol(), ec);
  if (!ec) s.acceptor->set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) s.acceptor->bind(endpoint, ec);
  if (!ec) s.acceptor->listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    if (error) {
      *error = "cannot listen on " + s.options.address + ":" + std::to_string(s.options.port) +
               ": " + ec.message();
    }
    s.acceptor.reset();
    s.ioc.reset();
    return false;
  }
  s.bound_port = s.acceptor->local_endpoint().port();
  s.ticker.emplace(*s.ioc);
  s.Accept();
  s.Tick();
  s.thread = std::thread([&s] {
    // A handler that throws is a fault of ours; the server keeps serving
    // the others rather than taking the station down.
    for (;;) {
      try {
        s.ioc->run();
        return;
      } catch (const std::exception& e) {
        std::fprintf(stderr, "quelmar-cli: dashboard: %s\n", e.what());
      }
    }
  });
  return true;
}

void DashboardServer::Stop() {
  Impl& s = *impl_;
  if (!s.thread.joinable()) return;
  s.ioc->stop();
  s.thread.join();
  s.listeners.clear();
  s.ticker.reset();
  s.acceptor.reset();
  // Destroys the sessions still held by pending handlers, while the
  // counters they touch are alive.
  s.ioc.reset();
}

uint16_t DashboardServer::Port() const {
  return impl_->bound_port.load();
}
size_t DashboardServer::Connections() const {
  return impl_->connections.load();
}
size_t DashboardServer::EventStreams() const {
  return impl_->streams.load();
}

bool ParseListen(const std::string& text, std::string* address, uint16_t* port) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 >= text.size()) return false;
  std::string host = text.substr(0, colon);
  const std::string digits = text.substr(colon + 1);
  if (digits.size() > 5) return false;
  unsigned long value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned long>(c - '0');
  }
  if (value == 0 || value > 65535) return false;
  if (host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  beast::error_code ec;
  asio::ip::make_address(host, ec);
  if (ec) return false;
  *address = host;
  *port = static_cast<uint16_t>(value);
  return true;
}

std::string MakeToken() {
  std::random_device random;
  std::string token;
  char hex[9];
  for (int i = 0; i < 4; ++i) {
    std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(random()));
    token += hex;
  }
  return token;
}

}  // namespace quelmar::station
