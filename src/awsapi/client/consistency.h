// EC2 is eventually consistent: for a short while after a resource is made, calls that name it
// may answer its NotFound code (InvalidGroup.NotFound right after CreateSecurityGroup, ...) and
// filtered lists may leave it out. This client remembers the ids made through it and, for a call
// that names one of them, retries a NotFound answer through the clock for a bounded time before
// letting it through. Calls that name nothing made here are passed on unchanged.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "awsapi/client/client.h"

namespace quenfold_testlibs::awsapi {

class FreshIdRetryClient final : public AwsClient {
 public:
  static constexpr std::chrono::seconds kDefaultBound{60};
  explicit FreshIdRetryClient(std::shared_ptr<AwsClient> inner, std::chrono::milliseconds bound = kDefaultBound);

  json call(const std::string& operation, const json& request) const override;
  void download_file(const std::string& bucket, const std::string& key,
                     const std::filesystem::path& file) const override;
  void upload_file(const std::filesystem::path& file, const std::string& bucket, const std::string& key) const override;
  std::string service() const override { return inner_->service(); }
  std::optional<std::string> region() const override { return inner_->region(); }

 private:
  void learn(const std::string& operation, const json& response) const;
  bool names_fresh_id(const json& request) const;

  std::shared_ptr<AwsClient> inner_;
  std::chrono::milliseconds bound_;
  mutable std::mutex mu_;
  mutable std::set<std::string> fresh_;
};

}  // namespace quenfold_testlibs::awsapi
