#include <stdexcept>
#include "awsapi/sigv4.h"

namespace quenfold_testlibs::awsapi {

void sign_request(HttpRequest&, const Credentials&, const SigningInput&, const std::string&) { throw std::logic_error("not implemented"); }
std::string sha256_hex(std::string_view) { throw std::logic_error("not implemented"); }
std::string sha256_file_hex(const std::filesystem::path&) { throw std::logic_error("not implemented"); }
std::string uri_encode(std::string_view, bool) { throw std::logic_error("not implemented"); }

}  // namespace quenfold_testlibs::awsapi
