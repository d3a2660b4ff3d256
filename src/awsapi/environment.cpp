#include <stdexcept>
#include "awsapi/environment.h"

namespace quenfold_testlibs::awsapi {

Environment Environment::from_process() { throw std::logic_error("not implemented"); }
std::optional<std::string> Environment::get(std::string_view) const { throw std::logic_error("not implemented"); }
bool Environment::flag(std::string_view) const { throw std::logic_error("not implemented"); }
ConfigFiles ConfigFiles::load(const Environment&) { throw std::logic_error("not implemented"); }
ConfigFiles ConfigFiles::parse(std::string_view, std::string_view) { throw std::logic_error("not implemented"); }
std::optional<Profile> ConfigFiles::profile(const std::string&) const { throw std::logic_error("not implemented"); }
std::string ConfigFiles::selected_profile_name(const Environment&) { throw std::logic_error("not implemented"); }

}  // namespace quenfold_testlibs::awsapi
