#include "awsapi/client/consistency.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "awsapi/base/error.h"
#include "core/clock.h"

namespace quenfold_testlibs::awsapi {

namespace {
// Operations that make resources, by the first word of their name, and the answer members that
// carry the new ids.
constexpr std::array<std::string_view, 4> kMakingVerbs = {"Run", "Create", "Allocate", "Attach"};
constexpr std::array<std::string_view, 7> kIdMembers = {"InstanceId", "NetworkInterfaceId", "AllocationId", "GroupId",
                                                        "KeyName",    "KeyPairId",          "AttachmentId"};
constexpr std::chrono::milliseconds kFirstPause{1000};
constexpr std::chrono::milliseconds kLongestPause{5000};

bool makes_resources(const std::string& operation) {
  return std::any_of(kMakingVerbs.begin(), kMakingVerbs.end(),
                     [&](std::string_view verb) { return operation.rfind(verb, 0) == 0; });
}

template <class F>
void each_string(const json& v, const std::string& key, F&& f) {
  if (v.is_string()) {
    f(key, v.get_ref<const std::string&>());
  } else if (v.is_object()) {
    for (const auto& [k, item] : v.items()) each_string(item, k, f);
  } else if (v.is_array()) {
    for (const auto& item : v) each_string(item, key, f);
  }
}
}  // namespace

FreshIdRetryClient::FreshIdRetryClient(std::shared_ptr<AwsClient> inner, std::chrono::milliseconds bound)
    : inner_(std::move(inner)), bound_(bound) {}

void FreshIdRetryClient::learn(const std::string& operation, const json& response) const {
  if (!makes_resources(operation)) return;
  std::lock_guard lk(mu_);
  each_string(response, "", [&](const std::string& key, const std::string& value) {
    if (std::find(kIdMembers.begin(), kIdMembers.end(), key) != kIdMembers.end()) fresh_.insert(value);
  });
}

bool FreshIdRetryClient::names_fresh_id(const json& request) const {
  bool found = false;
  std::lock_guard lk(mu_);
  each_string(request, "", [&](const std::string&, const std::string& value) { found = found || fresh_.count(value); });
  return found;
}

json FreshIdRetryClient::call(const std::string& operation, const json& request) const {
  auto& clock = core::the_clock();
  const auto deadline = clock.monotonic() + bound_;
  auto pause = kFirstPause;
  for (;;) {
    try {
      json response = inner_->call(operation, request);
      learn(operation, response);
      return response;
    } catch (const ClientError& e) {
      if (!is_not_found(e.code()) || !names_fresh_id(request) || clock.monotonic() >= deadline) throw;
    }
    clock.sleep_for(pause);
    pause = std::min(pause * 2, kLongestPause);
  }
}

void FreshIdRetryClient::download_file(const std::string& bucket, const std::string& key,
                                       const std::filesystem::path& file) const {
  inner_->download_file(bucket, key, file);
}

void FreshIdRetryClient::upload_file(const std::filesystem::path& file, const std::string& bucket,
                                     const std::string& key) const {
  inner_->upload_file(file, bucket, key);
}

}  // namespace quenfold_testlibs::awsapi
