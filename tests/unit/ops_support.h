// Shared set-up for the tests of the tool's operations: captured log lines, a recording clock,
// a clean exit status, temporary folders and builders of EC2 answers.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include <spdlog/sinks/base_sink.h>

#include "core/app_exit_status.h"
#include "core/clock.h"
#include "deploy_test_ec2/common/args.h"
#include "fakes.h"
#include "lib/commonlib.h"

namespace quenfold_testlibs::testing {

using json = nlohmann::ordered_json;
using fakes::FakeAwsClient;

// Collects "level message" lines.
class CaptureSink : public spdlog::sinks::base_sink<std::mutex> {
 public:
  std::vector<std::string> lines() {
    std::lock_guard lk(mutex_);
    return lines_;
  }

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    lines_.push_back(std::string(spdlog::level::to_string_view(msg.level).data()) + " " +
                     std::string(msg.payload.data(), msg.payload.size()));
  }
  void flush_() override {}

 private:
  std::vector<std::string> lines_;
};

class OpsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sink_ = std::make_shared<CaptureSink>();
    lib::Common::resetForTests(sink_);
    core::AppExitStatus::reset();
    dir_ = std::filesystem::temp_directory_path() /
           ("qtl-ops-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->test_suite_name() + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    lib::Common::resetForTests();
    core::AppExitStatus::reset();
    std::filesystem::remove_all(dir_);
  }

  std::vector<std::string> logs() { return sink_->lines(); }
  bool logged(const std::string& line) {
    for (const auto& l : logs())
      if (l == line) return true;
    return false;
  }
  int countLogged(const std::string& line) {
    int n = 0;
    for (const auto& l : logs()) n += l == line;
    return n;
  }
  int exitStatus() { return core::AppExitStatus().getStatus(); }
  std::string path(const std::string& name) { return (dir_ / name).string(); }
  static std::string slurp(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  core::RecordingClock clock_;
  core::ScopedClock scoped_{clock_};
  std::shared_ptr<CaptureSink> sink_;
  std::filesystem::path dir_;
};

// An interface record as DescribeInstances gives it.
inline json nic(const std::string& id, const std::string& subnet, const std::string& privateIp,
                const std::string& publicIp = "", const std::string& attachment = "") {
  json n = {{"NetworkInterfaceId", id}, {"SubnetId", subnet}, {"PrivateIpAddress", privateIp}};
  if (!publicIp.empty()) n["Association"] = {{"PublicIp", publicIp}};
  if (!attachment.empty()) n["Attachment"] = {{"AttachmentId", attachment}};
  return n;
}

// A DescribeInstances answer with one reservation per instance.
inline json reservations(const std::vector<json>& instances) {
  json r = json::array();
  for (const auto& i : instances) r.push_back({{"Instances", json::array({i})}});
  return {{"Reservations", r}};
}

inline json instance(const std::string& id, const std::vector<json>& nics, const std::string& publicIp = "",
                     const std::string& state = "running") {
  json i = {{"InstanceId", id}, {"State", {{"Name", state}}}, {"NetworkInterfaces", nics}};
  if (!publicIp.empty()) i["PublicIpAddress"] = publicIp;
  return i;
}

}  // namespace quenfold_testlibs::testing
