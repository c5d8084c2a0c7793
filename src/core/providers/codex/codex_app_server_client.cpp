#include "providers/codex/codex_app_server_client.h"

#include "utilities/json_document.h"

namespace qd {

namespace {
constexpr const char* kClientName = "Quotadial";
constexpr const char* kClientVersion = "0.1.0";
}  // namespace

std::shared_ptr<CodexAppServerClient> CodexAppServerClient::create(
    std::shared_ptr<CodexProcessManager> manager) {
  std::shared_ptr<CodexAppServerClient> client(new CodexAppServerClient(manager));
  std::weak_ptr<CodexAppServerClient> weak = client;
  manager->setOnLine([weak](const std::string& line) {
    if (auto self = weak.lock()) self->handle(line);
  });
  return client;
}

CodexAppServerClient::CodexAppServerClient(std::shared_ptr<CodexProcessManager> manager)
    : manager_(std::move(manager)) {}

void CodexAppServerClient::setOnRateLimits(RateLimitsHandler handler) {
  std::lock_guard lock(handlersMutex_);
  onRateLimits_ = std::move(handler);
}

void CodexAppServerClient::setOnLoginCompleted(std::function<void()> handler) {
  std::lock_guard lock(handlersMutex_);
  onLoginCompleted_ = std::move(handler);
}

int64_t CodexAppServerClient::takeId() {
  std::lock_guard lock(lock_);
  return nextId_++;
}

std::optional<std::string> CodexAppServerClient::encode(const nlohmann::json& message) {
  try {
    // Strict UTF-8: a message that cannot be encoded is dropped rather than mangled.
    return message.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

void CodexAppServerClient::send(const nlohmann::json& message) {
  if (auto text = encode(message)) manager_->send(std::move(*text));
}

int64_t CodexAppServerClient::sendRequest(std::string_view method, const nlohmann::json& params) {
  const int64_t id = takeId();
  send({{"id", id}, {"method", std::string(method)}, {"params", params}});
  return id;
}

void CodexAppServerClient::sendNotification(std::string_view method, const nlohmann::json& params) {
  send({{"method", std::string(method)}, {"params", params}});
}

bool CodexAppServerClient::start(bool resume) {
  if (!manager_->start()) return false;
  const int64_t id = takeId();
  initializeId_ = id;
  std::string lines = encode({{"id", id},
                              {"method", "initialize"},
                              {"params", {{"clientInfo", {{"name", kClientName}, {"version", kClientVersion}}}}}})
                          .value_or("");
  if (resume) {
    const int64_t accountId = takeId();
    const int64_t rateLimitsId = takeId();
    rateLimitsId_ = rateLimitsId;
    for (const auto& message :
         {nlohmann::json{{"id", accountId}, {"method", "account/read"}, {"params", nlohmann::json::object()}},
          nlohmann::json{{"id", rateLimitsId},
                         {"method", "account/rateLimits/read"},
                         {"params", nlohmann::json::object()}}})
      lines += "\n" + encode(message).value_or("");
  }
  // One write: the server sees every line before it can answer the first.
  manager_->send(std::move(lines));
  return true;
}

void CodexAppServerClient::requestRateLimits() {
  if (!initialized_) return;
  const int64_t id = takeId();
  rateLimitsId_ = id;
  send({{"id", id}, {"method", "account/rateLimits/read"}, {"params", nlohmann::json::object()}});
}

void CodexAppServerClient::handle(std::string_view line) {
  using Json = nlohmann::ordered_json;
  auto parsed = parseJsonDocument<Json>(line);
  if (!parsed || !parsed->is_object()) return;
  const Json& message = *parsed;

  if (auto id = message.find("id"); id != message.end() && id->is_number_integer()) {
    // An unsigned id beyond int64 matches nothing we sent.
    if (id->is_number_unsigned() && id->get<uint64_t>() > static_cast<uint64_t>(INT64_MAX)) return;
    const int64_t value = id->get<int64_t>();
    // Ids start at 1: a stored 0 means no such request has been sent yet.
    if (value == 0) return;
    if (value == initializeId_.load() && message.contains("result")) {
      initialized_ = true;
      sendNotification("initialized", nlohmann::json::object());
      requestRateLimits();
      sendRequest("account/read", nlohmann::json::object());
    } else if (value == rateLimitsId_.load()) {
      if (auto result = message.find("result"); result != message.end()) deliver(*result);
    }
    return;
  }

  auto method = message.find("method");
  if (method == message.end() || !method->is_string()) return;
  const auto& name = method->get_ref<const std::string&>();
  if (name == "account/rateLimits/updated") {
    if (auto params = message.find("params"); params != message.end()) deliver(*params);
  } else if (name == "account/login/completed") {
    std::function<void()> handler;
    {
      std::lock_guard lock(handlersMutex_);
      handler = onLoginCompleted_;
    }
    if (handler) handler();
  }
}

void CodexAppServerClient::deliver(const nlohmann::ordered_json& value) {
  auto payload = CodexRateLimitsPayload::decode(value);
  if (!payload) return;
  RateLimitsHandler handler;
  {
    std::lock_guard lock(handlersMutex_);
    handler = onRateLimits_;
  }
  if (handler) handler(*payload);
}

}  // namespace qd
