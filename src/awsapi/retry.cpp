#include <stdexcept>
#include "awsapi/retry.h"

namespace quenfold_testlibs::awsapi {

ErrorKind classify(const std::string&, int, bool) { throw std::logic_error("not implemented"); }
RetryConfig RetryConfig::from(const Environment&, const std::string*, const std::string*) { throw std::logic_error("not implemented"); }
std::chrono::milliseconds backoff_delay(int, double, const RetryConfig&) { throw std::logic_error("not implemented"); }
bool RetryQuota::acquire(bool, int*) { throw std::logic_error("not implemented"); }
void RetryQuota::release(int) { throw std::logic_error("not implemented"); }
int RetryQuota::available() const { throw std::logic_error("not implemented"); }

}  // namespace quenfold_testlibs::awsapi
