// The instance role of the EC2 instance we run on, read from the metadata service. The last source
// of the default chain: off EC2 it simply finds nothing.
#include "awsapi/base/error.h"
#include "awsapi/credentials/credentials_providers.h"
#include "awsapi/credentials/imds.h"

namespace quenfold_testlibs::awsapi::detail {

namespace {

constexpr const char* kRolesPath = "/latest/meta-data/iam/security-credentials/";

class InstanceRoleFetcher final : public CredentialsProvider {
 public:
  explicit InstanceRoleFetcher(std::shared_ptr<ImdsClient> imds) : imds_(std::move(imds)) {}

  Credentials get() override {
    HttpResponse roles = imds_->get(kRolesPath);
    std::string role = roles.body.substr(0, roles.body.find('\n'));
    while (!role.empty() && (role.back() == '\r' || role.back() == ' ')) role.pop_back();
    if (roles.status != 200 || role.empty())
      throw CredentialsError("The instance metadata service lists no instance role");

    HttpResponse answer = imds_->get(kRolesPath + role);
    if (answer.status != 200)
      throw CredentialsError("The instance metadata service answered HTTP " + std::to_string(answer.status) +
                             " for the credentials of role " + role);
    auto doc = nlohmann::ordered_json::parse(answer.body, nullptr, false);
    if (doc.is_discarded() || !doc.is_object())
      throw CredentialsError("Unable to parse the instance role credentials of role " + role);
    for (const char* key : {"AccessKeyId", "SecretAccessKey", "Token", "Expiration"}) {
      // A 200 answer may still be an error document ({"Code": ..., "Message": ...}).
      if (!doc.contains(key) || !doc[key].is_string())
        throw CredentialsError("The instance metadata service gave no credentials for role " + role);
    }
    Credentials c;
    c.access_key_id = doc["AccessKeyId"].get<std::string>();
    c.secret_access_key = doc["SecretAccessKey"].get<std::string>();
    c.session_token = doc["Token"].get<std::string>();
    c.expiration = parse_expiration(doc["Expiration"]);
    return checked_credentials(std::move(c), "the instance metadata service (role " + role + ")");
  }

  std::string name() const override { return "iam-role"; }

 private:
  std::shared_ptr<ImdsClient> imds_;
};

}  // namespace

std::shared_ptr<CredentialsProvider> instance_role_provider(const SourcesPtr& s) {
  if (!s->imds || s->imds->disabled()) return nullptr;
  return make_refreshing(std::make_shared<InstanceRoleFetcher>(s->imds));
}

}  // namespace quenfold_testlibs::awsapi::detail
