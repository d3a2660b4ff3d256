#include <stdexcept>
#include "awsapi/imds.h"

namespace quenfold_testlibs::awsapi {

ImdsClient::ImdsClient(const Environment&, std::shared_ptr<HttpTransport>) { throw std::logic_error("not implemented"); }
HttpResponse ImdsClient::get(const std::string&) { throw std::logic_error("not implemented"); }

}  // namespace quenfold_testlibs::awsapi
