#include "utilities/curl_http_client.h"

#include <curl/curl.h>

#include <cmath>
#include <memory>
#include <mutex>

namespace qd {

namespace {

void initialiseCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Sink {
  std::string body;
  std::size_t limit = 0;
  bool overflowed = false;
};

size_t writeBody(char* data, size_t size, size_t count, void* user) {
  auto* sink = static_cast<Sink*>(user);
  const size_t n = size * count;
  if (sink->body.size() + n > sink->limit) {
    sink->overflowed = true;
    return 0;  // makes curl abort with CURLE_WRITE_ERROR
  }
  sink->body.append(data, n);
  return n;
}

// Called by curl during the exchange, at least once a second; non-zero aborts it.
int checkCancel(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  const auto* cancel = static_cast<const std::atomic<bool>*>(user);
  return cancel->load() ? 1 : 0;
}

struct EasyDeleter {
  void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
struct SlistDeleter {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

}  // namespace

CurlHttpClient::CurlHttpClient(std::size_t maxBodyBytes) : maxBodyBytes_(maxBodyBytes) {
  initialiseCurlOnce();
}

HttpClient::Result CurlHttpClient::perform(const Request& request) {
  std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
  if (!easy) return TransportError{"could not create an HTTP session"};
  CURL* h = easy.get();

  std::unique_ptr<curl_slist, SlistDeleter> headers;
  for (const auto& [name, value] : request.headers) {
    const std::string line = name + ": " + value;
    curl_slist* next = curl_slist_append(headers.get(), line.c_str());
    if (!next) return TransportError{"out of memory"};
    (void)headers.release();
    headers.reset(next);
  }

  Sink sink;
  sink.limit = maxBodyBytes_;
  char errorBuffer[CURL_ERROR_SIZE] = {0};
  const long timeoutMs =
      std::isfinite(request.timeoutSeconds) && request.timeoutSeconds > 0
          ? static_cast<long>(request.timeoutSeconds * 1000)
          : 30000L;

  curl_easy_setopt(h, CURLOPT_URL, request.url.c_str());
#if LIBCURL_VERSION_NUM >= 0x075500
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
#else
  curl_easy_setopt(h, CURLOPT_PROTOCOLS, CURLPROTO_HTTP | CURLPROTO_HTTPS);
#endif
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);  // timeouts without SIGALRM: safe on worker threads
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, timeoutMs);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, timeoutMs);
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(h, CURLOPT_USERAGENT, "Quotadial/" QUOTADIAL_VERSION);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorBuffer);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &writeBody);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);
  if (headers) curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
  if (request.cancel) {
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &checkCancel);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, const_cast<std::atomic<bool>*>(request.cancel));
  }
  if (request.method == "GET") {
    curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
  } else {
    if (request.method != "POST") curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    curl_easy_setopt(h, CURLOPT_POST, 1L);
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, request.body.c_str());
  }

  if (request.cancel && request.cancel->load()) return TransportError{"cancelled"};
  const CURLcode rc = curl_easy_perform(h);
  if (sink.overflowed) return TransportError{"response too large"};
  if (rc == CURLE_ABORTED_BY_CALLBACK) return TransportError{"cancelled"};
  if (rc != CURLE_OK) {
    // The error buffer may name the URL but never a header, so no secret leaks here.
    std::string message = errorBuffer[0] ? errorBuffer : curl_easy_strerror(rc);
    return TransportError{message};
  }
  long status = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  return Response{status, std::move(sink.body)};
}

}  // namespace qd
