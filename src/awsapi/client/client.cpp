// The parts of the AwsClient interface that every client shares. The pipeline itself lives in
// service_client.cpp, the waiters in waiters.cpp.
#include "awsapi/client/client.h"

#include <stdexcept>

namespace quenfold_testlibs::awsapi {

void AwsClient::download_file(const std::string&, const std::string&, const std::filesystem::path&) const {
  throw std::logic_error("download_file is not supported by this " + service() + " client");
}

void AwsClient::upload_file(const std::filesystem::path&, const std::string&, const std::string&) const {
  throw std::logic_error("upload_file is not supported by this " + service() + " client");
}

Waiter AwsClient::get_waiter(const std::string& name) const { return Waiter(*this, name); }

}  // namespace quenfold_testlibs::awsapi
