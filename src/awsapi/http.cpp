#include <stdexcept>
#include "awsapi/http.h"

namespace quenfold_testlibs::awsapi {

std::optional<std::string> HttpRequest::header(std::string_view) const { throw std::logic_error("not implemented"); }
void HttpRequest::set_header(std::string, std::string) { throw std::logic_error("not implemented"); }
std::optional<std::string> HttpResponse::header(std::string_view) const { throw std::logic_error("not implemented"); }
std::shared_ptr<HttpTransport> make_curl_transport(const Environment&) { throw std::logic_error("not implemented"); }

}  // namespace quenfold_testlibs::awsapi
