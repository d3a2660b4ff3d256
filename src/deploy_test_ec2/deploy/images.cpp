// Image lookups by name: among public Amazon images (EC2) or the public image parameters (SSM).
#include "core/exit_request.h"
#include "deploy_test_ec2/deploy/deploy.h"
#include "lib/commonlib.h"

namespace quenfold_testlibs {

std::string getAMIByName(const AwsClient& ec2_client, const Args& args) {
  auto log = lib::logger();
  const std::string image = args.image.value_or("");
  log->info("- Lookup AMI for " + image);
  json resp = ec2_client.describe_images({{"ExecutableUsers", {"all"}},
                                          {"Filters", json::array({json{{"Name", "name"}, {"Values", {image}}}})},
                                          {"Owners", {"amazon"}},
                                          {"IncludeDeprecated", false}});
  const json& images = resp.value("Images", json::array());
  if (!images.empty()) {
    std::string id = images[0].at("ImageId").get<std::string>();
    log->info("  " + id);
    return id;
  }
  lib::failRun("Failed to find image " + image);
}

std::string getAMI(const AwsClient& ssm_client, const Args& args) {
  auto log = lib::logger();
  const std::string image = args.image.value_or("");
  log->info("- Lookup AMI for " + image);
  // The answer comes in pages (10 names each by default): every page is read until a name matches.
  json request = {{"Path", "/aws/service/ami-amazon-linux-latest"}};
  for (;;) {
    json resp = ssm_client.get_parameters_by_path(request);
    for (const auto& p : resp.value("Parameters", json::array())) {
      const std::string name = p.value("Name", "");
      if (name.size() >= image.size() && name.compare(name.size() - image.size(), image.size(), image) == 0) {
        std::string value = p.at("Value").get<std::string>();
        log->info("  " + value);
        return value;
      }
    }
    if (resp.value("NextToken", "").empty()) break;
    request["NextToken"] = resp["NextToken"];
  }
  lib::failRun("Failed to find image " + image);
}

}  // namespace quenfold_testlibs
