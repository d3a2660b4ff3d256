#include <stdexcept>
#include "awsapi/client.h"

namespace quenfold_testlibs::awsapi {

Waiter::Waiter(const AwsClient& c, std::string n) : client_(c), name_(std::move(n)) {}
void Waiter::wait(const json&) const { throw std::logic_error("not implemented"); }
void AwsClient::download_file(const std::string&, const std::string&, const std::filesystem::path&) const { throw std::logic_error("not implemented"); }
void AwsClient::upload_file(const std::filesystem::path&, const std::string&, const std::string&) const { throw std::logic_error("not implemented"); }
Waiter AwsClient::get_waiter(const std::string& name) const { return Waiter(*this, name); }

}  // namespace quenfold_testlibs::awsapi
