// Long-term (or pasted temporary) keys written into the shared credentials or config file.
#include "awsapi/base/error.h"
#include "awsapi/credentials/credentials_providers.h"

namespace quenfold_testlibs::awsapi::detail {

namespace {

std::optional<std::string> value_of(const Profile& p, const char* key) {
  auto it = p.find(key);
  if (it == p.end() || it->second.empty()) return std::nullopt;
  return it->second;
}

class FileKeysProvider final : public CredentialsProvider {
 public:
  FileKeysProvider(Profile p, std::string profile, std::string source)
      : p_(std::move(p)), profile_(std::move(profile)), source_(std::move(source)) {}

  Credentials get() override {
    auto id = value_of(p_, "aws_access_key_id");
    auto secret = value_of(p_, "aws_secret_access_key");
    auto missing = [&](const char* key) {
      return CredentialsError("Partial credentials found in " + source_ + " (profile " + profile_ +
                              "), missing: " + key);
    };
    if (!id) throw missing("aws_access_key_id");
    if (!secret) throw missing("aws_secret_access_key");
    Credentials c;
    c.access_key_id = *id;
    c.secret_access_key = *secret;
    c.session_token = value_of(p_, "aws_session_token").value_or(value_of(p_, "aws_security_token").value_or(""));
    return checked_credentials(std::move(c), source_ + " (profile " + profile_ + ")");
  }

  std::string name() const override { return source_; }

 private:
  Profile p_;
  std::string profile_;
  std::string source_;
};

}  // namespace

std::shared_ptr<CredentialsProvider> file_keys_provider(const SourcesPtr& s, const std::string& profile,
                                                        ProfileFile which) {
  auto p = which == ProfileFile::credentials ? s->files.credentials_profile(profile) : s->files.config_profile(profile);
  if (!p || (!p->contains("aws_access_key_id") && !p->contains("aws_secret_access_key"))) return nullptr;
  return std::make_shared<FileKeysProvider>(
      std::move(*p), profile, which == ProfileFile::credentials ? "shared-credentials-file" : "config-file");
}

}  // namespace quenfold_testlibs::awsapi::detail
