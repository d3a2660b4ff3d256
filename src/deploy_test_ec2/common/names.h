// The fixed names of what the tool creates: every resource carries its Name tag, and runs find
// their resources again by these names.
#pragma once

namespace quenfold_testlibs {

inline constexpr const char* kInstanceName = "quenfold-test-ec2";
inline constexpr const char* kInstanceProfileName = "quenfold-test-ec2-instance-profile";
inline constexpr const char* kSgName = "quenfold-test-ec2-sg";
inline constexpr const char* kPrivateSgName = "quenfold-test-ec2-private-interface-sg";
inline constexpr const char* kInterfaceName = "quenfold-test-ec2-network-interface";
inline constexpr const char* kEipName = "quenfold-test-ec2-eip";
// Tag key naming the VPC an Elastic IP was made for, so that a revert finds this VPC's addresses
// and no other deployment's.
inline constexpr const char* kEipVpcTag = "quenfold-test-ec2-vpc";
inline constexpr const char* kGroupDescription = "Quenfold test ec2";
inline constexpr const char* kPolicyName = "quenfold-test-ec2-policy";
inline constexpr const char* kRoleName = "quenfold-test-ec2-role";
inline constexpr const char* kKeyPairPrefix = "quenfold-test-ec2-key-pair-";
inline constexpr const char* kKeyPairTag = "quenfold-test-ec2-key-pair";

}  // namespace quenfold_testlibs
