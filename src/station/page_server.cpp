#include "station/page_server.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <boost/asio/ip/host_name.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <list>
#include <optional>
#include <random>
#include <thread>
#include <unordered_map>
#include <utility>

#include "common/error_text.h"
#include "common/utf8_path.h"
#include "link/socket.h"
#include "station/request_guard.h"

namespace quelmar::station {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

constexpr std::string_view kEventsPath = "/events";
constexpr size_t kMinTokenLength = 16;
constexpr size_t kMaxTokenLength = 256;
constexpr char kTokenHeader[] = "X-Quelmar-Token";

// On every answer, the event stream's included. Only the server's own files
// run in a page, no other site frames it, and no browser guesses a type.
constexpr std::pair<const char*, const char*> kCommonHeaders[] = {
    {"Server", "quelmar-station"},
    {"Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'"},
    {"X-Content-Type-Options", "nosniff"},
    {"Cache-Control", "no-store"},
    {"Referrer-Policy", "no-referrer"},
};

// An address as text, an IPv4 one carried in IPv6 as plain IPv4.
std::string AddressText(asio::ip::address a) {
  if (a.is_v6() && a.to_v6().is_v4_mapped())
    a = asio::ip::make_address_v4(asio::ip::v4_mapped, a.to_v6());
  return a.to_string();
}

std::string Url(const asio::ip::address& a, uint16_t port) {
  const std::string text = AddressText(a);
  const bool v6 = text.find(':') != std::string::npos;
  return "http://" + (v6 ? "[" + text + "]" : text) + ":" + std::to_string(port) + "/";
}

#ifdef _WIN32
// SO_EXCLUSIVEADDRUSE: Windows would let a second program that asks for
// SO_REUSEADDR take over a port in use; with this the port is ours alone.
class ExclusiveAddressUse {
 public:
  template <class Protocol>
  int level(const Protocol&) const {
    return SOL_SOCKET;
  }
  template <class Protocol>
  int name(const Protocol&) const {
    return SO_EXCLUSIVEADDRUSE;
  }
  template <class Protocol>
  const int* data(const Protocol&) const {
    return &on_;
  }
  template <class Protocol>
  size_t size(const Protocol&) const {
    return sizeof on_;
  }

 private:
  int on_ = 1;
};
#endif

}  // namespace

struct PageServer::Impl {
  class Session;

  Impl(Site& s, ServerOptions o) : site(s), options(std::move(o)) {}

  Site& site;
  ServerOptions options;
  std::optional<RequestGuard> guard;
  std::vector<std::string> urls;
  std::optional<asio::io_context> ioc;
  std::optional<tcp::acceptor> acceptor;
  std::optional<asio::steady_timer> ticker;
  std::thread thread;
  std::atomic<uint16_t> bound_port{0};
  std::atomic<size_t> connections{0};
  std::atomic<size_t> streams{0};
  // Open connections per client address; touched on the server's thread only.
  std::unordered_map<std::string, size_t> per_client;
  // The connections a new one may take the place of, each oldest first:
  // those with no request in progress, and those whose request is still
  // arriving. Server's thread only; a session leaves its list as it
  // closes.
  std::list<Session*> idle;
  std::list<Session*> arriving;
  // Event streams, oldest first; touched on the server's thread only.
  std::vector<std::weak_ptr<Session>> listeners;
  uint64_t sent_version = 0;
  std::shared_ptr<const std::string> last_event;

  void Accept();
  void Tick();
  void Publish();
  void MakeRoomForStream(const std::string& client);
  void MakeRoomForConnection();
  std::shared_ptr<const std::string> CurrentEvent();
};

class PageServer::Impl::Session : public std::enable_shared_from_this<Session> {
 public:
  Session(Impl& server, tcp::socket socket)
      : server_(server), stream_(std::move(socket)), deadline_(stream_.get_executor()) {
    server_.connections.fetch_add(1);
    beast::error_code ec;
    const tcp::endpoint local = stream_.socket().local_endpoint(ec);
    if (!ec) local_ = AddressText(local.address());
    const tcp::endpoint remote = stream_.socket().remote_endpoint(ec);
    if (!ec) client_ = AddressText(remote.address());
    ++server_.per_client[client_];
  }
  ~Session() { Release(); }

  void Start() { ReadRequest(); }

  // The newest event for this stream; it replaces one not yet written.
  void Offer(std::shared_ptr<const std::string> event) {
    pending_ = std::move(event);
    if (!writing_) WriteEvent();
  }
  bool Idle(std::chrono::steady_clock::time_point now) const {
    return !writing_ && !pending_ && now - last_write_ >= server_.options.keepalive;
  }
  bool Streaming() const { return streaming_; }
  const std::string& Client() const { return client_; }
  // Since when the session has been in its list (idle, or its request
  // arriving).
  std::chrono::steady_clock::time_point Since() const { return since_; }

  void Close() {
    if (closed_) return;
    closed_ = true;
    // Counted out at once, not when the last handler lets go: the socket
    // is closed below, and a newcomer may take its place now.
    Release();
    deadline_.cancel();
    // Cancelled first: on some Windows socket layers a close alone leaves
    // a send that the peer never takes pending, and the connection open.
    beast::error_code ignored;
    stream_.socket().cancel(ignored);
    stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
    stream_.close();
  }

 private:
  // Every wait on the client is bounded: a request must arrive, an answer
  // or an event be taken, within its limit, or the connection is closed.
  void Arm(std::chrono::milliseconds limit) {
    deadline_.expires_after(limit);
    deadline_.async_wait([self = shared_from_this()](beast::error_code ec) {
      if (ec || self->deadline_.expiry() > std::chrono::steady_clock::now()) return;
      self->Close();
    });
  }

  // Waits for the first bytes of a request (idle until they come), then
  // reads the rest; one limit for both.
  void ReadRequest() {
    Arm(server_.options.read_timeout);
    if (buffer_.size() > 0) return ReadRest();  // the next request came with the last one
    Enter(server_.idle);
    stream_.async_read_some(buffer_.prepare(kFirstRead),
                            [self = shared_from_this()](beast::error_code ec, size_t n) {
                              self->buffer_.commit(n);
                              if (ec) return self->Close();
                              self->ReadRest();
                            });
  }
  static constexpr size_t kFirstRead = 4096;

  void ReadRest() {
    Enter(server_.arriving);
    parser_.emplace();
    parser_->header_limit(static_cast<uint32_t>(server_.options.header_limit));
    parser_->body_limit(server_.options.body_limit);
    http::async_read(
        stream_, buffer_, *parser_,
        [self = shared_from_this()](beast::error_code ec, size_t) { self->OnRequest(ec); });
  }

  void OnRequest(beast::error_code ec) {
    Leave();
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
  void Refuse(const Refusal& refusal) {
    Refuse(static_cast<http::status>(refusal.status), refusal.why);
  }

  static http::response<http::string_body> MakeResponse(http::status status, std::string_view type,
                                                        std::string body) {
    http::response<http::string_body> res{status, 11};
    for (const auto& [name, value] : kCommonHeaders) res.set(name, value);
    res.set(http::field::content_type, type);
    res.body() = std::move(body);
    res.prepare_payload();
    return res;
  }

  void Route(const http::request<http::string_body>& req) {
    if (req.version() != 11 && req.version() != 10) return Refuse(http::status::bad_request);
    RequestHeaders headers;
    for (auto [at, end] = req.equal_range(http::field::host); at != end; ++at)
      headers.host.push_back(at->value());
    for (auto [at, end] = req.equal_range(http::field::origin); at != end; ++at)
      headers.origin.push_back(at->value());
    headers.fetch_site = req["Sec-Fetch-Site"];
    headers.fetch_mode = req["Sec-Fetch-Mode"];
    headers.fetch_dest = req["Sec-Fetch-Dest"];
    headers.get = req.method() == http::verb::get;
    if (const auto refusal = server_.guard->Check(headers, local_)) return Refuse(*refusal);

    std::string_view target = req.target();
    if (const size_t q = target.find('?'); q != std::string_view::npos)
      target = target.substr(0, q);
    const bool events = target == kEventsPath;
    const Site::Kind kind = events ? Site::Kind::kPage : server_.site.Find(target);
    if (kind == Site::Kind::kAction) {
      if (req.method() != http::verb::post) return NotAllowed("POST");
      if (const auto refusal = server_.guard->CheckToken(req[kTokenHeader]))
        return Refuse(*refusal);
      Page page = server_.site.ActWith(target, req.body());
      return Reply(req, MakeResponse(static_cast<http::status>(page.status), page.content_type,
                                     std::move(page.body)));
    }
    if (kind == Site::Kind::kNone) return Refuse(http::status::not_found);
    if (req.method() != http::verb::get) return NotAllowed("GET");
    if (events) return StartStream();
    Page page = server_.site.Get(target);
    Reply(req, MakeResponse(static_cast<http::status>(page.status), page.content_type,
                            std::move(page.body)));
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
    Arm(server_.options.write_timeout);
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
    Arm(server_.options.read_timeout);
    Enter(server_.idle);  // the client has its answer: nothing is lost closing it
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
    server_.MakeRoomForStream(client_);
    streaming_ = true;
    server_.streams.fetch_add(1);
    std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n";
    for (const auto& [name, value] : kCommonHeaders)
      head += std::string(name) + ": " + value + "\r\n";
    head += "Connection: close\r\n\r\nretry: 1000\n\n";
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

  // An event not taken within the write limit closes the stream: the
  // client has stopped reading.
  void WriteEvent() {
    if (!pending_ || closed_) return;
    writing_ = true;
    current_ = std::move(pending_);
    pending_.reset();
    Arm(server_.options.write_timeout);
    asio::async_write(stream_, asio::buffer(*current_),
                      [self = shared_from_this()](beast::error_code ec, size_t) {
                        self->writing_ = false;
                        self->current_.reset();
                        self->last_write_ = std::chrono::steady_clock::now();
                        if (ec) return self->Close();
                        self->deadline_.cancel();
                        self->WriteEvent();
                      });
  }

  // Puts the session at the end of `list` (the newest there), out of any
  // other.
  void Enter(std::list<Session*>& list) {
    Leave();
    list.push_back(this);
    list_ = &list;
    place_ = std::prev(list.end());
    since_ = std::chrono::steady_clock::now();
  }
  void Leave() {
    if (list_ == nullptr) return;
    list_->erase(place_);
    list_ = nullptr;
  }
  // Counts the connection out of the server, once.
  void Release() {
    Leave();
    if (released_) return;
    released_ = true;
    const auto counted = server_.per_client.find(client_);
    if (counted != server_.per_client.end() && --counted->second == 0)
      server_.per_client.erase(counted);
    server_.connections.fetch_sub(1);
    if (streaming_) {
      streaming_ = false;
      server_.streams.fetch_sub(1);
    }
  }

  Impl& server_;
  beast::tcp_stream stream_;
  asio::steady_timer deadline_;
  std::string local_;   // the address the client reached
  std::string client_;  // the client's address
  beast::flat_buffer buffer_{16 * 1024};
  std::optional<http::request_parser<http::string_body>> parser_;
  std::optional<http::response<http::string_body>> response_;
  std::shared_ptr<const std::string> current_;
  std::shared_ptr<const std::string> pending_;
  std::array<char, 4096> discard_{};
  size_t drained_ = 0;
  std::chrono::steady_clock::time_point last_write_ = std::chrono::steady_clock::now();
  std::list<Session*>* list_ = nullptr;  // idle or arriving, or none
  std::list<Session*>::iterator place_;
  std::chrono::steady_clock::time_point since_;
  bool streaming_ = false;
  bool writing_ = false;
  bool closed_ = false;
  bool released_ = false;
};

std::shared_ptr<const std::string> PageServer::Impl::CurrentEvent() {
  if (!last_event || site.Version() != sent_version) {
    uint64_t version = 0;
    std::string event = site.Event(&version);
    last_event = std::make_shared<const std::string>(std::move(event));
    sent_version = version;
  }
  return last_event;
}

// A new stream from a client at its cap closes that client's oldest; one
// beyond the cap of all closes the oldest of all. A closed page's
// EventSource comes back by itself, so the newest pages are the ones kept.
void PageServer::Impl::MakeRoomForStream(const std::string& client) {
  std::erase_if(listeners, [](const std::weak_ptr<Session>& w) {
    const auto s = w.lock();
    return !s || !s->Streaming();
  });
  std::shared_ptr<Session> oldest, oldest_of_client;
  size_t of_client = 0;
  for (const auto& weak : listeners) {
    const auto session = weak.lock();
    if (!session) continue;
    if (!oldest) oldest = session;
    if (session->Client() != client) continue;
    if (!oldest_of_client) oldest_of_client = session;
    ++of_client;
  }
  if (of_client >= options.max_streams_per_client && oldest_of_client) {
    oldest_of_client->Close();
  } else if (listeners.size() >= options.max_streams && oldest) {
    oldest->Close();
  }
}

// Closes the connection a newcomer may take the place of (see
// ServerOptions), if there is one.
void PageServer::Impl::MakeRoomForConnection() {
  Session* chosen = nullptr;
  if (!idle.empty()) {
    chosen = idle.front();
  } else if (!arriving.empty() &&
             std::chrono::steady_clock::now() - arriving.front()->Since() >= options.slow_request) {
    chosen = arriving.front();
  }
  if (chosen != nullptr) chosen->Close();
}

void PageServer::Impl::Accept() {
  acceptor->async_accept([this](beast::error_code ec, tcp::socket socket) {
    if (ec == asio::error::operation_aborted) return;
    if (!ec) {
      beast::error_code failed;
      const tcp::endpoint remote = socket.remote_endpoint(failed);
      const auto counted = per_client.find(failed ? std::string() : AddressText(remote.address()));
      // One address at its cap is refused (one host never holds them
      // all); the cap of all makes room if it can. Refused means dropped
      // at once, costing nothing more.
      const bool client_full =
          counted != per_client.end() && counted->second >= options.max_connections_per_client;
      if (!client_full && connections.load() >= options.max_connections) MakeRoomForConnection();
      if (client_full || connections.load() >= options.max_connections) {
        beast::error_code ignored;
        socket.close(ignored);
      } else {
        std::make_shared<Session>(*this, std::move(socket))->Start();
      }
    }
    Accept();
  });
}

void PageServer::Impl::Tick() {
  ticker->expires_after(options.event_period);
  ticker->async_wait([this](beast::error_code ec) {
    if (ec) return;
    // Armed again first: should the work below fail, the events go on.
    Tick();
    Publish();
  });
}

void PageServer::Impl::Publish() {
  std::erase_if(listeners, [](const std::weak_ptr<Session>& w) {
    const auto s = w.lock();
    return !s || !s->Streaming();
  });
  if (listeners.empty()) return;
  const bool changed = site.Version() != sent_version;
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

PageServer::PageServer(Site& site, ServerOptions options)
    : impl_(std::make_unique<Impl>(site, std::move(options))) {}

PageServer::~PageServer() {
  Stop();
}

bool PageServer::Start(std::string* error) {
  Impl& s = *impl_;
  if (s.thread.joinable()) return true;
  if (const auto fault = TokenFault(s.options.token)) {
    if (error) *error = "the token for the control actions " + *fault;
    return false;
  }
  beast::error_code ec;
  const asio::ip::address address = asio::ip::make_address(s.options.address, ec);
  if (ec) {
    if (error) *error = "'" + s.options.address + "' is not an IP address";
    return false;
  }
  s.ioc.emplace(1);
  s.acceptor.emplace(*s.ioc);
  const tcp::endpoint endpoint(address, s.options.port);
  s.acceptor->open(endpoint.protocol(), ec);
#ifdef _WIN32
  if (!ec) s.acceptor->set_option(ExclusiveAddressUse(), ec);
#else
  // Lets a restarted station bind while the last one's connections wait
  // out TIME_WAIT; a second listener on the port is still refused (that
  // would take SO_REUSEPORT on both).
  if (!ec) s.acceptor->set_option(asio::socket_base::reuse_address(true), ec);
#endif
  // "::" means every address, IPv4 ones too, on every system.
  if (!ec && address.is_v6() && address.is_unspecified())
    s.acceptor->set_option(asio::ip::v6_only(false), ec);
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

  // Who the station is on the network: its name and addresses, for the
  // Host names it answers to and the addresses it prints.
  std::vector<std::string> machine;
  s.urls.clear();
  if (address.is_unspecified()) {
    machine = link::LocalAddresses();
    std::vector<std::string> loopback;
    for (const std::string& text : machine) {
      const asio::ip::address a = asio::ip::make_address(text, ec);
      // A link-local address needs its interface named, which browsers
      // do not take.
      if (ec || (a.is_v6() && (address.is_v4() || a.to_v6().is_link_local()))) continue;
      const std::string url = Url(a, s.bound_port);
      std::vector<std::string>& list = a.is_loopback() ? loopback : s.urls;
      if (std::find(list.begin(), list.end(), url) == list.end()) list.push_back(url);
    }
    if (loopback.empty())
      loopback.push_back(Url(asio::ip::make_address_v4("127.0.0.1"), s.bound_port));
    s.urls.insert(s.urls.end(), loopback.begin(), loopback.end());
    machine.push_back(asio::ip::host_name(ec));
  } else {
    s.urls.push_back(Url(address, s.bound_port));
  }
  s.guard.emplace(s.options.address, s.bound_port, machine, s.options.hostnames, s.options.token,
                  s.options.hostnames_from);

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

void PageServer::Stop() {
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

uint16_t PageServer::Port() const {
  return impl_->bound_port.load();
}
std::vector<std::string> PageServer::Urls() const {
  return impl_->urls;
}
size_t PageServer::Connections() const {
  return impl_->connections.load();
}
size_t PageServer::EventStreams() const {
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

std::optional<std::string> TokenFault(std::string_view token) {
  if (token.empty()) return "is empty";
  if (token.size() < kMinTokenLength)
    return "is shorter than " + std::to_string(kMinTokenLength) + " characters";
  if (token.size() > kMaxTokenLength)
    return "is longer than " + std::to_string(kMaxTokenLength) + " characters";
  for (const char c : token) {
    if (c <= ' ' || c > '~') return "holds a space, or a character other than printable ASCII";
  }
  return std::nullopt;
}

namespace {

// The file's first line without the blanks and line end after it. A
// longer line than any token is cut, and refused for its length.
bool ReadTokenFile(const std::string& path, std::string* line, std::string* why) {
  std::FILE* file = OpenFile(path, "rb");
  if (file == nullptr) {
    *why = "cannot read the token file '" + path + "': " + ErrorText(errno);
    return false;
  }
  char buffer[kMaxTokenLength + 64];
  const size_t n = std::fread(buffer, 1, sizeof buffer, file);
  const int error = std::ferror(file) ? errno : 0;
  std::fclose(file);
  if (error != 0) {
    *why = "cannot read the token file '" + path + "': " + ErrorText(error);
    return false;
  }
  std::string_view text(buffer, n);
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);  // an editor's byte order mark
  text = text.substr(0, text.find('\n'));
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
    text.remove_suffix(1);
  *line = std::string(text);
  return true;
}

}  // namespace

TokenChoice ChooseToken(const TokenSources& sources, std::string* token, std::string* why) {
  if (sources.option && sources.file) {
    *why = "give --token or --token-file, not both";
    return TokenChoice::kRefused;
  }
  std::string where;
  if (sources.option) {
    *token = *sources.option;
    where = "--token";
  } else if (sources.file) {
    if (!ReadTokenFile(*sources.file, token, why)) return TokenChoice::kUnreadable;
    where = "the token in '" + *sources.file + "'";
    if (token->empty()) {
      *why = "the token file '" + *sources.file + "' is empty: the token goes on its first line";
      return TokenChoice::kRefused;
    }
  } else if (sources.environment) {
    *token = *sources.environment;
    where = "QUELMAR_TOKEN";
  } else {
    return TokenChoice::kNone;
  }
  if (const auto fault = TokenFault(*token)) {
    *why = where + " " + *fault;
    token->clear();
    return TokenChoice::kRefused;
  }
  return TokenChoice::kChosen;
}

}  // namespace quelmar::station
