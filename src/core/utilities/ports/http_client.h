#pragma once
#include <atomic>
#include <map>
#include <optional>
#include <string>
#include <variant>

namespace qd {

// One HTTP exchange, performed synchronously on the caller's thread. The desktop
// and the command-line modes use the libcurl implementation; tests point it at a
// local server or replace the port.
//
// Thread-safety: implementations allow concurrent `perform` calls from any thread.
class HttpClient {
 public:
  struct Request {
    std::string method = "GET";
    std::string url;
    // Header names as sent. Values may carry secrets: implementations never log them.
    std::map<std::string, std::string> headers;
    std::string body;
    double timeoutSeconds = 30;
    // When set and it becomes true, the exchange ends soon with a transport error
    // (an owner shutting down does not wait out the timeout).
    const std::atomic<bool>* cancel = nullptr;
  };

  struct Response {
    long status = 0;
    std::string body;
  };

  // The transport failed before an HTTP status arrived; `message` is a short
  // human-readable description ("Timeout was reached", "Couldn't connect to server").
  struct TransportError {
    std::string message;
  };

  using Result = std::variant<Response, TransportError>;

  virtual ~HttpClient() = default;
  [[nodiscard]] virtual Result perform(const Request& request) = 0;
};

}  // namespace qd
