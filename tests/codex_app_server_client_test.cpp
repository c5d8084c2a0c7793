#include "providers/codex/codex_app_server_client.h"

#include <atomic>
#include <mutex>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "codex_test_support.h"

namespace qd {
namespace {

using namespace qd::testing;
using nlohmann::json;

std::string payloadWithPrimary(int usedPercent) {
  return R"({"rateLimits":{"primary":{"usedPercent":)" + std::to_string(usedPercent) +
         R"(,"windowDurationMins":300}}})";
}

class ClientTest : public ::testing::Test {
 protected:
  void start(const std::optional<std::string>& script) {
    if (script) {
      writeFile(dir_ / "script", *script);
      scriptEnv_ = std::make_unique<ScopedEnv>("QUOTADIAL_FAKE_CODEX_SCRIPT", (dir_ / "script").string());
    }
    client_ = CodexAppServerClient::create(
        std::make_shared<CodexProcessManager>([] { return kFakeCodex.string(); }));
    client_->setOnRateLimits([this](const CodexRateLimitsPayload& p) {
      std::lock_guard lock(mutex_);
      payloads_.push_back(p);
    });
    client_->setOnLoginCompleted([this] { logins_++; });
    ASSERT_TRUE(client_->start());
  }
  void TearDown() override {
    if (client_) client_->manager()->stop();
  }

  std::vector<double> primaryPercents() {
    std::lock_guard lock(mutex_);
    std::vector<double> out;
    for (const auto& p : payloads_) {
      auto buckets = p.allBuckets();
      out.push_back(buckets.empty() || !buckets[0].primary ? -1 : buckets[0].primary->usedPercent.value_or(-1));
    }
    return out;
  }
  std::vector<json> received() {
    std::vector<json> out;
    for (const auto& line : readLines(dir_ / "received")) out.push_back(json::parse(line, nullptr, false));
    return out;
  }
  bool receivedMethod(const std::string& method) {
    for (const auto& m : received())
      if (m.is_object() && m.value("method", "") == method) return true;
    return false;
  }

  TempDir dir_;
  ScopedEnv log_{"QUOTADIAL_FAKE_CODEX_LOG", (dir_ / "received").string()};
  std::unique_ptr<ScopedEnv> scriptEnv_;
  std::shared_ptr<CodexAppServerClient> client_;
  std::mutex mutex_;
  std::vector<CodexRateLimitsPayload> payloads_;
  std::atomic<int> logins_{0};
};

TEST_F(ClientTest, HandshakeSendsItsMessagesInOrderWithIncreasingIds) {
  start(std::nullopt);  // the fake's default: a well-behaved server
  ASSERT_TRUE(waitFor([&] { return primaryPercents().size() == 1; }));
  EXPECT_TRUE(client_->isInitialized());
  ASSERT_TRUE(waitFor([&] { return received().size() >= 4; }));
  const auto messages = received();
  ASSERT_EQ(messages.size(), 4u);
  EXPECT_EQ(messages[0], json::parse(R"({"id":1,"method":"initialize",
      "params":{"clientInfo":{"name":"Quotadial","version":"0.1.0"}}})"));
  EXPECT_EQ(messages[1], json::parse(R"({"method":"initialized","params":{}})"));
  EXPECT_EQ(messages[2], json::parse(R"({"id":2,"method":"account/rateLimits/read","params":{}})"));
  EXPECT_EQ(messages[3], json::parse(R"({"id":3,"method":"account/read","params":{}})"));
  EXPECT_EQ(primaryPercents(), std::vector<double>{28});
}

TEST_F(ClientTest, AnErrorAnswerToInitializeLeavesTheClientUninitialized) {
  start(
      "expect initialize\n"
      "send {\"id\":${id},\"error\":{\"code\":-32600,\"message\":\"no\"}}\n"
      "send {\"method\":\"account/login/completed\",\"params\":{}}\n"
      "expect never\n");
  ASSERT_TRUE(waitFor([&] { return logins_.load() == 1; }));
  EXPECT_FALSE(client_->isInitialized());
  client_->requestRateLimits();
  client_->sendNotification("test/sentinel", json::object());
  ASSERT_TRUE(waitFor([&] { return receivedMethod("test/sentinel"); }));
  EXPECT_FALSE(receivedMethod("account/rateLimits/read"));
  EXPECT_FALSE(receivedMethod("initialized"));
}

TEST_F(ClientTest, OnlyTheLatestRateLimitRequestIsAnswered) {
  start(
      "expect initialize\n"
      "send {\"id\":${id},\"result\":{}}\n"
      "expect account/read\n"
      "expect account/rateLimits/read\n"
      "expect account/rateLimits/read\n"
      "send {\"id\":4,\"result\":" + payloadWithPrimary(11) + "}\n"
      "send {\"id\":5,\"result\":" + payloadWithPrimary(22) + "}\n"
      "send {\"id\":2,\"result\":" + payloadWithPrimary(33) + "}\n"
      "send {\"id\":3,\"result\":" + payloadWithPrimary(44) + "}\n"
      "send {\"method\":\"account/login/completed\"}\n"
      "expect never\n");
  ASSERT_TRUE(waitFor([&] { return client_->isInitialized(); }));
  ASSERT_TRUE(waitFor([&] { return receivedMethod("account/read"); }));
  client_->requestRateLimits();  // id 4
  client_->requestRateLimits();  // id 5
  ASSERT_TRUE(waitFor([&] { return logins_.load() == 1; }));
  EXPECT_EQ(primaryPercents(), std::vector<double>{22});
}

TEST_F(ClientTest, NotificationsAreDeliveredAndBadLinesIgnored) {
  const std::string updated = R"({"method":"account/rateLimits/updated","params":)";
  start(
      "expect initialize\n"
      "send \n"
      "send this is not json\n"
      "send [1,2,3]\n"
      "send {\"method\":\"configWarning\",\"params\":{\"summary\":\"x\"}}\n"
      "send {\"method\":42}\n"
      "send {\"id\":99,\"result\":" + payloadWithPrimary(1) + "}\n"
      "send {\"id\":1.5,\"method\":\"item/requestApproval\",\"params\":{}}\n"
      "send " + updated + R"({"rateLimits":{"primary":{"usedPercent":"10"}}}})" + "\n"
      "send {\"method\":\"account/rateLimits/updated\"}\n"
      "split 7 " + updated + payloadWithPrimary(10) + "}\n"
      "send {\"id\":\"abc\"," + updated.substr(1) + payloadWithPrimary(20) + "}\n"
      "bigline 5000000 " + updated + R"({"pad":"@PAD@","rateLimits":{"primary":{"usedPercent":30}}}})" + "\n"
      "bigline 9000000 " + updated + R"({"pad":"@PAD@","rateLimits":{"primary":{"usedPercent":666}}}})" + "\n"
      "write {\"method\":\"account/rateLimits/updated\",\"params\":{\"rateLimits\":{\"limitId\":\"\\xff\"}}}\\n\n"
      "send " + updated + payloadWithPrimary(40) + "}\n"
      "send {\"method\":\"account/login/completed\",\"params\":{\"success\":true}}\n"
      "expect never\n");
  ASSERT_TRUE(waitFor([&] { return logins_.load() == 1; }));
  EXPECT_EQ(primaryPercents(), (std::vector<double>{10, 20, 30, 40}));
  EXPECT_FALSE(client_->isInitialized());
}

TEST_F(ClientTest, LinesAfterTheClientIsGoneAreDropped) {
  start("expect initialize\nsleep 200\nsend {\"id\":1,\"result\":{}}\nhang\n");
  auto manager = client_->manager();
  client_.reset();
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  manager->stop();
}

}  // namespace
}  // namespace qd
