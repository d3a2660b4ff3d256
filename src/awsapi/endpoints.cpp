#include <stdexcept>
#include "awsapi/endpoints.h"

namespace quenfold_testlibs::awsapi {

std::optional<std::string> resolve_region(const std::optional<std::string>&, const Environment&, const Profile*) { throw std::logic_error("not implemented"); }
std::string partition_of(const std::string&) { throw std::logic_error("not implemented"); }
ResolvedEndpoint resolve_endpoint(const std::string&, const std::optional<std::string>&, const Environment&, const Profile*) { throw std::logic_error("not implemented"); }
std::string s3_object_url(const ResolvedEndpoint&, const std::string&, const std::string&) { throw std::logic_error("not implemented"); }

}  // namespace quenfold_testlibs::awsapi
