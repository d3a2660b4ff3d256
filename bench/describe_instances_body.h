// A DescribeInstances answer of 20 instances, as EC2 sends it: the fixed input of the benchmarks,
// served by the loopback stub to our client and to the reference SDK alike.
#pragma once

#include <string>

namespace quenfold_testlibs::bench {

std::string describe_instances_body(int instances = 20);

}  // namespace quenfold_testlibs::bench
