// SPDX-License-Identifier: Apache-2.0
#include "daemon/http_server.hpp"

#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <cctype>
#include <cstdio>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>
#include <unordered_map>

#include "support/text_codec.hpp"

namespace talvenix::daemon {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;

// Descriptors kept back from the connections for the queue, the module's
// lines and the webhook deliveries.
constexpr rlim_t kReservedDescriptors = 512;
// What is read and thrown away after a refusal sent before the body, so the
// client reads the answer instead of a reset.
constexpr size_t kDrainBytes = 1 << 20;
constexpr std::chrono::seconds kDrainTime{2};

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::string FormDecode(std::string_view text) {
  std::string plus(text);
  std::replace(plus.begin(), plus.end(), '+', ' ');
  return PercentDecode(plus);
}

// One line now and then about connections refused or cut, never one per
// connection: a flood must not become a flood of log lines.
class ThrottledLog {
 public:
  void Say(const std::string& line) {
    const auto now = Clock::now().time_since_epoch().count();
    auto last = last_.load();
    if (last != 0 && now - last < std::chrono::duration_cast<Clock::duration>(std::chrono::minutes(1)).count()) return;
    if (!last_.compare_exchange_strong(last, now)) return;
    std::fprintf(stderr, "talvenixd: %s\n", line.c_str());
  }

 private:
  std::atomic<Clock::rep> last_{0};
};

}  // namespace

std::string HttpRequest::Header(std::string_view name) const {
  for (const auto& [n, v] : headers)
    if (SameName(n, name)) return v;
  return {};
}

std::optional<std::string> HttpRequest::Param(std::string_view name) const { return FormParam(query, name); }

std::optional<std::string> FormParam(std::string_view form, std::string_view name) {
  std::string_view rest = form;
  while (!rest.empty()) {
    const size_t amp = rest.find('&');
    std::string_view pair = rest.substr(0, amp);
    rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
    const size_t eq = pair.find('=');
    if (FormDecode(pair.substr(0, eq)) == name)
      return eq == std::string_view::npos ? std::string() : FormDecode(pair.substr(eq + 1));
  }
  return std::nullopt;
}

HttpResponse ErrorResponse(int status, const std::string& why) {
  return {status, "application/json", nlohmann::json{{"error", why}}.dump(), {}};
}

class Session;

struct HttpServer::Shared : std::enable_shared_from_this<HttpServer::Shared> {
  Shared(HttpRouter r, HttpLimits l) : router(std::move(r)), limits(l) {}

  HttpRouter router;
  HttpLimits limits;
  net::io_context events;
  tcp::acceptor acceptor{events};
  net::steady_timer accept_pause{events};
  // The answers' pool: an io_context of its own, run by `limits.workers`
  // threads, takes them in the order they come.
  net::io_context answers;
  net::executor_work_guard<net::io_context::executor_type> answers_open = net::make_work_guard(answers);
  std::vector<std::thread> threads;

  std::mutex mutex;  // guards what follows up to the atomics
  std::map<net::ip::address, int> per_address;
  std::unordered_map<Session*, std::weak_ptr<Session>> sessions;
  int open = 0;

  std::atomic<bool> stopping{false};
  std::atomic<size_t> waiting{0};
  std::atomic<uint64_t> refused{0}, timed_out{0}, refused_requests{0};
  ThrottledLog cap_log, accept_log;

  void Accept();
  void Admit(tcp::socket socket);
  HttpStats Stats();
};

namespace {

// A fixed answer written straight to a socket about to be closed: the
// client over a cap learns why instead of seeing a bare close.
void SayTooManyAndClose(tcp::socket& socket) {
  static constexpr std::string_view kAnswer =
      "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\nContent-Length: 34\r\n"
      "Connection: close\r\nRetry-After: 1\r\n\r\n{\"error\":\"too many connections\"}\r\n";
  ::send(socket.native_handle(), kAnswer.data(), kAnswer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  beast::error_code ignored;
  socket.close(ignored);
}

}  // namespace

class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(tcp::socket socket, std::shared_ptr<HttpServer::Shared> shared, net::ip::address peer)
      : stream_(std::move(socket)), shared_(std::move(shared)), peer_(std::move(peer)) {}

  ~Session() {
    std::lock_guard lock(shared_->mutex);
    --shared_->open;
    if (--shared_->per_address[peer_] == 0) shared_->per_address.erase(peer_);
    shared_->sessions.erase(this);
  }

  void Start() {
    {
      std::lock_guard lock(shared_->mutex);
      shared_->sessions.emplace(this, weak_from_this());
    }
    net::dispatch(stream_.get_executor(), [self = shared_from_this()] { self->WaitForRequest(); });
  }

  net::any_io_executor Executor() { return stream_.get_executor(); }

  // On the session's strand: at a stop, a connection with no answer under
  // way ends now; one with an answer ends after writing it.
  void StopIfIdle() {
    if (phase_ == Phase::kIdle || phase_ == Phase::kReading) Close();
  }

 private:
  enum class Phase { kIdle, kReading, kAnswering, kWriting, kClosing };

  const HttpLimits& limits() const { return shared_->limits; }

  void WaitForRequest() {
    if (shared_->stopping) return Close();
    phase_ = Phase::kIdle;
    parser_.reset();
    request_ = {};
    if (buffer_.size() > 0) return ReadHead();  // the next request came with the last
    buffer_.shrink_to_fit();                    // an idle connection keeps no buffer
    stream_.expires_after(limits().idle_timeout);
    stream_.async_read_some(buffer_.prepare(4096), [self = shared_from_this()](beast::error_code ec, size_t n) {
      if (ec) return self->Close();
      self->buffer_.commit(n);
      self->ReadHead();
    });
  }

  void ReadHead() {
    phase_ = Phase::kReading;
    stream_.expires_after(limits().request_timeout);  // the head and the body together
    parser_.emplace();
    parser_->header_limit(static_cast<uint32_t>(limits().head_bytes));
    parser_->body_limit(limits().body_bytes);
    http::async_read_header(stream_, buffer_, *parser_,
                            [self = shared_from_this()](beast::error_code ec, size_t) { self->OnHead(ec); });
  }

  // Refusals the server gives by itself, from what was read so far; false
  // when the request may go on.
  bool RefusedFor(beast::error_code ec) {
    if (!ec) return false;
    if (ec == beast::error::timeout) {
      ++shared_->timed_out;
      Close();
    } else if (ec == http::error::body_limit) {
      Refuse(ErrorResponse(413, "the body is larger than " + std::to_string(limits().body_bytes) + " bytes"));
    } else if (ec == http::error::header_limit) {
      Refuse(ErrorResponse(431, "the request head is larger than " + std::to_string(limits().head_bytes) + " bytes"));
    } else if (ec.category() == http::make_error_code(http::error::end_of_stream).category() &&
               ec != http::error::end_of_stream && ec != http::error::partial_message) {
      Refuse(ErrorResponse(400, "not an HTTP/1.1 request: " + ec.message()));
    } else {
      Close();  // the client went away
    }
    return true;
  }

  void OnHead(beast::error_code ec) {
    if (RefusedFor(ec)) return;
    const auto& head = parser_->get();
    request_.method = std::string(head.method_string());
    const std::string_view target(head.target().data(), head.target().size());
    const size_t mark = target.find('?');
    request_.path = std::string(target.substr(0, mark));
    if (mark != std::string_view::npos) request_.query = std::string(target.substr(mark + 1));
    for (const auto& field : head) request_.headers.emplace_back(field.name_string(), field.value());
    const std::string coding = request_.Header("Content-Encoding");
    if (!coding.empty() && !SameName(coding, "identity"))
      return Refuse(ErrorResponse(415, "Content-Encoding " + coding + " is not accepted: send the body as it is"));

    HttpRoute route = shared_->router(request_);
    if (auto* refusal = std::get_if<HttpResponse>(&route)) return Refuse(std::move(*refusal));
    answer_ = std::move(std::get<HttpAnswer>(route));
    if (parser_->is_done()) return Answer();
    if (SameName(request_.Header("Expect"), "100-continue")) {
      auto go_on = std::make_shared<http::response<http::empty_body>>(http::status::continue_, head.version());
      return http::async_write(stream_, *go_on, [self = shared_from_this(), go_on](beast::error_code e, size_t) {
        if (e) return self->Close();
        self->ReadBody();
      });
    }
    ReadBody();
  }

  void ReadBody() {
    http::async_read(stream_, buffer_, *parser_, [self = shared_from_this()](beast::error_code ec, size_t) {
      if (self->RefusedFor(ec)) return;
      self->request_.body = std::move(self->parser_->get().body());
      self->Answer();
    });
  }

  // The answer runs on a worker; the session waits without holding a thread.
  void Answer() {
    phase_ = Phase::kAnswering;
    stream_.expires_never();
    if (++shared_->waiting > limits().waiting) {
      --shared_->waiting;
      HttpResponse busy = ErrorResponse(503, "the daemon is busy; try again later");
      busy.headers.emplace_back("Retry-After", "1");
      ++shared_->refused_requests;
      return Write(std::move(busy), parser_->get().keep_alive());
    }
    // The work guard keeps the event threads running until the answer is written.
    net::post(shared_->answers, [self = shared_from_this(), work = net::make_work_guard(stream_.get_executor())] {
      --self->shared_->waiting;
      HttpResponse response;
      try {
        response = self->answer_(self->request_);
      } catch (const std::exception& e) {
        std::fprintf(stderr, "talvenixd: a request failed: %s\n", e.what());
        response = ErrorResponse(500, "internal error");
      }
      net::post(work.get_executor(), [self, response = std::move(response)]() mutable {
        self->Write(std::move(response), self->parser_->get().keep_alive());
      });
    });
  }

  // A refusal before the whole body was read: the connection cannot carry
  // another request, so it is closed after the answer.
  void Refuse(HttpResponse response) {
    ++shared_->refused_requests;
    Write(std::move(response), parser_ && parser_->is_done() && parser_->get().keep_alive());
  }

  void Write(HttpResponse r, bool keep_alive) {
    phase_ = Phase::kWriting;
    auto out = std::make_shared<http::response<http::string_body>>();
    out->version(11);
    out->result(static_cast<unsigned>(r.status));
    if (!r.content_type.empty()) out->set(http::field::content_type, r.content_type);
    for (auto& [name, value] : r.headers) out->set(name, value);
    out->body() = std::move(r.body);
    out->keep_alive(keep_alive && !shared_->stopping);
    out->prepare_payload();
    stream_.expires_after(limits().request_timeout);
    http::async_write(stream_, *out, [self = shared_from_this(), out](beast::error_code ec, size_t) {
      if (ec) return self->Close();
      if (out->keep_alive()) return self->WaitForRequest();
      self->Linger();
    });
  }

  // Half-close and read what the client still sends for a moment, so a
  // refused upload sees its answer rather than a reset.
  void Linger() {
    phase_ = Phase::kClosing;
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    stream_.expires_after(kDrainTime);
    buffer_.clear();
    Drain();
  }

  void Drain() {
    stream_.async_read_some(buffer_.prepare(4096), [self = shared_from_this()](beast::error_code ec, size_t n) {
      self->drained_ += n;
      if (ec || self->drained_ > kDrainBytes) return self->Close();
      self->Drain();  // nothing is committed: the bytes are dropped
    });
  }

  void Close() {
    phase_ = Phase::kClosing;
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
    stream_.close();
  }

  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  HttpRequest request_;
  HttpAnswer answer_;
  Phase phase_ = Phase::kIdle;
  size_t drained_ = 0;
  std::shared_ptr<HttpServer::Shared> shared_;
  net::ip::address peer_;
};

void HttpServer::Shared::Accept() {
  acceptor.async_accept(net::make_strand(events), [this](beast::error_code ec, tcp::socket socket) {
    if (stopping || ec == net::error::operation_aborted) return;
    if (ec) {
      // Out of descriptors or kernel memory: try again shortly rather than spin.
      accept_log.Say("cannot accept a connection: " + ec.message() + " (" + std::to_string(Stats().open) +
                     " open); trying again");
      accept_pause.expires_after(std::chrono::milliseconds(100));
      accept_pause.async_wait([this](beast::error_code e) {
        if (!e) Accept();
      });
      return;
    }
    Admit(std::move(socket));
    Accept();
  });
}

void HttpServer::Shared::Admit(tcp::socket socket) {
  beast::error_code ec;
  tcp::endpoint peer = socket.remote_endpoint(ec);
  if (ec) return;
  net::ip::address address = peer.address();
  if (address.is_v6() && address.to_v6().is_v4_mapped())
    address = net::ip::make_address_v4(net::ip::v4_mapped, address.to_v6());
  {
    std::lock_guard lock(mutex);
    int& from_there = per_address[address];
    if (open >= limits.connections || from_there >= limits.connections_per_address) {
      const bool total = open >= limits.connections;
      if (from_there == 0) per_address.erase(address);
      ++refused;
      cap_log.Say(total
                      ? "connections refused: " + std::to_string(open) + " are open, the most [api] connections allows"
                      : "connections refused from " + address.to_string() + ": it holds " + std::to_string(from_there) +
                            ", the most [api] connections_per_address allows");
      SayTooManyAndClose(socket);
      return;
    }
    ++open;
    ++from_there;
  }
  socket.set_option(tcp::no_delay(true), ec);
  std::make_shared<Session>(std::move(socket), shared_from_this(), address)->Start();
}

HttpStats HttpServer::Shared::Stats() {
  std::lock_guard lock(mutex);
  return {open, refused, timed_out, refused_requests};
}

HttpServer::HttpServer(HttpRouter router, HttpLimits limits)
    : shared_(std::make_shared<Shared>(std::move(router), limits)) {}

HttpServer::~HttpServer() { Stop(); }

int HttpServer::Bind(const std::string& host, int port, std::string& error) {
  Shared& s = *shared_;
  // Connections never take the descriptors the rest of the daemon needs.
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0) {
    if (files.rlim_cur < files.rlim_max) {
      files.rlim_cur = files.rlim_max;
      setrlimit(RLIMIT_NOFILE, &files);
      getrlimit(RLIMIT_NOFILE, &files);
    }
    const rlim_t room =
        files.rlim_cur > 2 * kReservedDescriptors ? files.rlim_cur - kReservedDescriptors : files.rlim_cur / 2;
    if (static_cast<rlim_t>(s.limits.connections) > room) {
      std::fprintf(stderr,
                   "talvenixd: [api] connections is %d, but %llu descriptors are allowed: at most %llu connections "
                   "are held\n",
                   s.limits.connections, static_cast<unsigned long long>(files.rlim_cur),
                   static_cast<unsigned long long>(room));
      s.limits.connections = static_cast<int>(room);
    }
  }
  beast::error_code ec;
  // An address, or a name such as localhost: its first IPv4 address if it
  // has one, as clients try that first.
  tcp::resolver resolver(s.events);
  const auto found = resolver.resolve(host, std::to_string(port), tcp::resolver::passive, ec);
  if (ec || found.empty()) {
    error = "cannot resolve " + host + ": " + ec.message();
    return -1;
  }
  auto v4 = std::find_if(found.begin(), found.end(), [](const auto& e) { return e.endpoint().address().is_v4(); });
  const tcp::endpoint endpoint = (v4 != found.end() ? v4 : found.begin())->endpoint();
  s.acceptor.open(endpoint.protocol(), ec);
  if (!ec) s.acceptor.set_option(net::socket_base::reuse_address(true), ec);
  if (!ec) s.acceptor.bind(endpoint, ec);
  if (!ec) s.acceptor.listen(net::socket_base::max_listen_connections, ec);
  if (ec) {
    error = ec.message();
    return -1;
  }
  return s.acceptor.local_endpoint().port();
}

void HttpServer::Start() {
  Shared& s = *shared_;
  s.Accept();
  auto named = [](const char* name, net::io_context& context) {
    return [name, &context] {
      pthread_setname_np(pthread_self(), name);
      context.run();
    };
  };
  for (int i = 0; i < s.limits.event_threads; ++i) s.threads.emplace_back(named("http events", s.events));
  for (int i = 0; i < s.limits.workers; ++i) s.threads.emplace_back(named("http answers", s.answers));
}

void HttpServer::Stop() {
  Shared& s = *shared_;
  if (s.stopping.exchange(true)) return;
  net::post(s.events, [&s] {
    beast::error_code ignored;
    s.acceptor.close(ignored);
    s.accept_pause.cancel();
    std::vector<std::shared_ptr<Session>> sessions;
    {
      std::lock_guard lock(s.mutex);
      for (auto& [raw, weak] : s.sessions)
        if (auto session = weak.lock()) sessions.push_back(std::move(session));
    }
    for (auto& session : sessions) net::post(session->Executor(), [session] { session->StopIfIdle(); });
  });
  // The event threads end with the last connection; the answers' threads
  // once nothing more can come.
  for (int i = 0; i < static_cast<int>(s.threads.size()) && i < s.limits.event_threads; ++i) s.threads[i].join();
  s.answers_open.reset();
  for (size_t i = static_cast<size_t>(s.limits.event_threads); i < s.threads.size(); ++i) s.threads[i].join();
  s.threads.clear();
}

HttpStats HttpServer::Stats() const { return shared_->Stats(); }

}  // namespace talvenix::daemon
