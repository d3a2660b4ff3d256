#include <stdexcept>
#include "awsapi/session.h"

namespace quenfold_testlibs::awsapi {

std::shared_ptr<const Context> Context::from_process() { throw std::logic_error("not implemented"); }
std::shared_ptr<const Context> Context::make(Environment, ConfigFiles, std::shared_ptr<HttpTransport>) { throw std::logic_error("not implemented"); }
Session Session::from_profile(std::shared_ptr<const Context>, const std::optional<std::string>&) { throw std::logic_error("not implemented"); }
Session Session::from_credentials(std::shared_ptr<const Context>, Credentials, const std::optional<std::string>&) { throw std::logic_error("not implemented"); }
std::shared_ptr<AwsClient> Session::client(const std::string&, const std::optional<std::string>&) const { throw std::logic_error("not implemented"); }

}  // namespace quenfold_testlibs::awsapi
