#include <stdexcept>
#include "awsapi/credentials.h"

namespace quenfold_testlibs::awsapi {

std::shared_ptr<CredentialsProvider> make_static_provider(Credentials, std::string) { throw std::logic_error("not implemented"); }
std::shared_ptr<CredentialsProvider> make_profile_provider(const ProviderContext&, const std::string&) { throw std::logic_error("not implemented"); }
std::shared_ptr<CredentialsProvider> make_default_chain(const ProviderContext&) { throw std::logic_error("not implemented"); }
std::shared_ptr<CredentialsProvider> make_refreshing(std::shared_ptr<CredentialsProvider>, std::chrono::seconds) { throw std::logic_error("not implemented"); }
Credentials credentials_from_sts(const nlohmann::ordered_json&) { throw std::logic_error("not implemented"); }

}  // namespace quenfold_testlibs::awsapi
