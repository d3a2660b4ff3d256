#include <stdexcept>
#include "awsapi/protocol.h"

namespace quenfold_testlibs::awsapi {

Protocol protocol_of(const std::string&) { throw std::logic_error("not implemented"); }
std::string api_version_of(const std::string&) { throw std::logic_error("not implemented"); }
WireRequest serialize_request(const std::string&, const std::string&, const json&) { throw std::logic_error("not implemented"); }
json parse_response(const std::string&, const std::string&, const HttpResponse&) { throw std::logic_error("not implemented"); }
ErrorInfo parse_error(const std::string&, const HttpResponse&) { throw std::logic_error("not implemented"); }

}  // namespace quenfold_testlibs::awsapi
