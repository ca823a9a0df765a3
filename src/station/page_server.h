// The HTTP server behind the station's pages: a small server on a thread of
// its own that answers what a Site serves (its pages, its JSON, its control
// actions) and streams the Site's state as Server-Sent Events on /events.
//
// Every request goes through one RequestGuard (Host, Origin, token), every
// answer carries the same headers, and the limits hold for every page: the
// size and time of a request, the number of connections, and the event
// streams in all and per client address. Each event stream holds at most
// one event being written and the newest one waiting: a slow client skips
// states, it never queues them.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quelmar::station {

struct ServerOptions {
  std::string address = "127.0.0.1";
  uint16_t port = 8080;  // 0 picks a free port (tests)
  std::string token;     // needed by the control actions; see TokenFault
  // Further names and addresses the line reaches the server by (the
  // profile's hostnames); see RequestGuard.
  std::vector<std::string> hostnames;
  // Where a name is added to them, for the line that refuses an unknown
  // Host.
  std::string hostnames_from = "the profile's hostnames";
  // A new connection from a client address at its cap is closed at once.
  // One beyond the cap of all takes the place of the connection idle
  // longest (waiting for a request, sent or not, or lingering after its
  // last answer) or, with none idle, of the one whose request has been
  // arriving longest, once that is over slow_request (a browser's arrives
  // at once): so no set of clients holding connections keeps a page load
  // out. With neither, the new one is closed.
  size_t max_connections = 100;
  size_t max_connections_per_client = 40;
  std::chrono::milliseconds slow_request{1000};
  // Event streams are held for as long as a page is open, so they are
  // capped below the connections, in all and per client address: a new
  // stream beyond either cap closes the oldest one (of that address, or of
  // all), and streams nobody reads never keep a page load out.
  size_t max_streams = 64;
  size_t max_streams_per_client = 16;
  size_t header_limit = 8 * 1024;
  size_t body_limit = 1024;
  // A request must arrive whole within read_timeout (also the wait for the
  // next request on a kept-alive connection); an answer, or an event on a
  // stream, must be taken within write_timeout, or the connection is closed.
  std::chrono::milliseconds read_timeout{10000};
  std::chrono::milliseconds write_timeout{10000};
  std::chrono::milliseconds event_period{100};  // how often the state is looked at
  std::chrono::milliseconds keepalive{15000};   // a comment on a quiet event stream
};

// An answer of a Site.
struct Page {
  std::string content_type;
  std::string body;
  unsigned status = 200;  // an action refused or only queued says so
};

// What a PageServer serves. Called on the server's thread only, and must
// not block: a Site reads its state through snapshots.
class Site {
 public:
  enum class Kind {
    kNone,    // 404
    kPage,    // GET only
    kAction,  // POST only, with the control token
  };
  virtual ~Site() = default;
  // What `path` (without its query) names here. /events is the server's.
  virtual Kind Find(std::string_view path) = 0;
  // The answer to a GET of a kPage path.
  virtual Page Get(std::string_view path) = 0;
  // Carries out a kAction path (its token checked); the answer.
  virtual Page Act(std::string_view path) = 0;
  // The same with the request's body (within body_limit), for an action
  // that takes text; by default the body is not looked at.
  virtual Page ActWith(std::string_view path, std::string_view /*body*/) { return Act(path); }
  // The state's version: it changes whenever the state does.
  virtual uint64_t Version() = 0;
  // The event for the state now ("event: state\ndata: {...}\n\n"), and in
  // *version the version it shows.
  virtual std::string Event(uint64_t* version) = 0;
};

class PageServer {
 public:
  PageServer(Site& site, ServerOptions options);
  ~PageServer();
  PageServer(const PageServer&) = delete;
  PageServer& operator=(const PageServer&) = delete;

  // Binds (the port taken exclusively) and starts serving. False, with the
  // reason in *error, when the address cannot be used.
  bool Start(std::string* error);
  // Closes every connection and joins the server's thread.
  void Stop();
  // The port bound (after Start).
  uint16_t Port() const;
  // What a browser can open (after Start): "http://127.0.0.1:8080/"; for a
  // wildcard address one per address of the machine, the loopback ones
  // last.
  std::vector<std::string> Urls() const;
  // Connections open now.
  size_t Connections() const;
  // Event streams open now.
  size_t EventStreams() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// "ADDR:PORT" ("127.0.0.1:8080", "0.0.0.0:80", "[::1]:8080"). False when
// it is not one.
bool ParseListen(const std::string& text, std::string* address, uint16_t* port);

// A random token for the control actions (32 hex digits).
std::string MakeToken();

// What is wrong with `token` as the control token ("is shorter than 16
// characters"), or null. A token is 16 to 256 characters of printable
// ASCII without spaces: guessable no sooner than a made one, and sent by
// a page in a header as it is.
std::optional<std::string> TokenFault(std::string_view token);

// Where a control token may be given, kept out of the process list by all
// but the first.
struct TokenSources {
  std::optional<std::string> option;       // --token
  std::optional<std::string> file;         // --token-file: the token is its first line
  std::optional<std::string> environment;  // QUELMAR_TOKEN, set and not empty
};

enum class TokenChoice {
  kChosen,      // *token is the first one given, and keeps the rules
  kNone,        // none was given
  kRefused,     // both --token and --token-file, or the one given breaks the rules
  kUnreadable,  // the file cannot be read
};

// Takes --token, else the file's, else the environment's. For kRefused and
// kUnreadable *why is one line naming the place the token came from.
TokenChoice ChooseToken(const TokenSources& sources, std::string* token, std::string* why);

}  // namespace quelmar::station
