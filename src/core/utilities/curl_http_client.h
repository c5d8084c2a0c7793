#pragma once
#include <cstddef>

#include "utilities/ports/http_client.h"

namespace qd {

// `HttpClient` over libcurl's easy interface: one handle per request, TLS
// certificates verified, only http and https, no redirects followed, answers
// larger than `maxBodyBytes` cut off as a transport error.
//
// Thread-safety: `perform` may run on several threads at once.
class CurlHttpClient final : public HttpClient {
 public:
  explicit CurlHttpClient(std::size_t maxBodyBytes = 4u << 20);
  [[nodiscard]] Result perform(const Request& request) override;

 private:
  std::size_t maxBodyBytes_;
};

}  // namespace qd
