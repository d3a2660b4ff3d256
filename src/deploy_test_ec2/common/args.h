// The option set of a run: one immutable record, text options absent unless given, three flags.
#pragma once

#include <optional>
#include <string>

namespace quenfold_testlibs {

struct Args {
  bool revert = false;
  bool dry_run = false;
  std::optional<std::string> account;
  std::optional<std::string> region;
  std::optional<std::string> private_subnet_id;
  std::optional<std::string> key_name;
  std::optional<std::string> s3_bucket;
  std::optional<std::string> assume_role;
  std::optional<std::string> profile;
  std::optional<std::string> ec2_role;
  std::optional<std::string> permissions_boundary;  // policy ARN bounding the role of --ec2_role default
  std::optional<std::string> test_config;
  std::optional<std::string> output_test_config;
  std::optional<std::string> tag_resource;
  std::optional<std::string> instance_type = std::string("t3.micro");
  std::optional<std::string> image = std::string("al2023-ami-2023*");
  std::optional<std::string> workflow_account_role;
  std::optional<std::string> backup_folder;
  bool eip = false;
  // Run tag of result collection; not an option of deploy_test_ec2 itself.
  std::optional<std::string> tag;
  // ImdsSupport of the image a deploy launches ("v2.0": its instances take IMDSv2 only), as the
  // image lookup found it; set by the driver, not an option.
  std::string image_imds_support;
};

// True when the option is given with a non-empty value.
inline bool given(const std::optional<std::string>& v) { return v.has_value() && !v->empty(); }

}  // namespace quenfold_testlibs
