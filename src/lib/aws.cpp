#include "lib/aws.h"

#include "core/exit_request.h"
#include "lib/commonlib.h"

namespace quenfold_testlibs::lib {

using json = nlohmann::ordered_json;

json instanceTypeInfo(const awsapi::AwsClient& ec2_client, const std::string& instance_type) {
  json types = ec2_client.describe_instance_types({{"InstanceTypes", {instance_type}}});
  json info = json();
  for (const auto& t : types.value("InstanceTypes", json::array())) {
    if (t.value("InstanceType", instance_type) == instance_type) info = t;
  }
  return info;
}

AmazonImage latestAmazonLinuxImage(const awsapi::AwsClient& ec2_client, const std::string& image,
                                   const std::string& type) {
  auto log = logger();
  log->info("- Lookup AMI for " + image + " on " + type);

  const json t = instanceTypeInfo(ec2_client, type);
  json archs = json::array();
  if (t.is_object() && t.contains("ProcessorInfo")) {
    for (const auto& a : t["ProcessorInfo"].value("SupportedArchitectures", json::array())) archs.push_back(a);
  }
  if (archs.empty()) {
    failRun("Failed to find the architectures of instance type " + type);
  }
  json resp = ec2_client.describe_images({{"ExecutableUsers", {"all"}},
                                          {"Filters", json::array({json{{"Name", "name"}, {"Values", {image}}},
                                                                   json{{"Name", "architecture"}, {"Values", archs}},
                                                                   json{{"Name", "is-public"}, {"Values", {"true"}}}})},
                                          {"Owners", {"amazon"}},
                                          {"IncludeDeprecated", false}});
  const json images = resp.value("Images", json::array());
  const json* newest = nullptr;
  for (const auto& img : images) {
    // CreationDate is ISO 8601 in UTC, so text order is time order.
    if (!newest || img.value("CreationDate", "") > newest->value("CreationDate", "")) newest = &img;
  }
  if (!newest) {
    failRun("Failed to find image " + image + " for " + type);
  }
  AmazonImage chosen{newest->at("ImageId").get<std::string>(), newest->value("ImdsSupport", ""), std::nullopt};
  if (t.contains("VCpuInfo") && t["VCpuInfo"].contains("DefaultVCpus"))
    chosen.default_vcpus = t["VCpuInfo"].value("DefaultVCpus", 0);
  log->info("  " + chosen.id + " " + newest->value("Name", ""));
  return chosen;
}

std::string get_latest_amazon_linux_ami(const awsapi::AwsClient& ec2_client, const std::string& image,
                                        const std::string& type) {
  return latestAmazonLinuxImage(ec2_client, image, type).id;
}

}  // namespace quenfold_testlibs::lib
