// get_s3_test_results: collects the test instances' result and log objects from S3 and exits
// with the failure flag (0 when every subnet passed), so workflows need no C++ to use it.
#include <CLI/CLI.hpp>

#include <iostream>

#include "awsapi/client/session.h"
#include "core/exit_request.h"
#include "deploy_test_ec2/driver/driver.h"
#include "deploy_test_ec2/driver/version.h"
#include "deploy_test_ec2/results/results.h"
#include "lib/commonlib.h"

namespace {

int getS3TestResultsMain(int argc, char** argv) {
  using namespace quenfold_testlibs;
  Args args;
  CLI::App app("Collect test results from S3", "get_s3_test_results");
  app.set_version_flag("--version", versionText("get_s3_test_results"), "Print the program's version and exit");
  std::string test_config, bucket, subnet, tag, profile, region;
  app.add_option("--test_config", test_config, "test config file (collect every entry)");
  app.add_option("--s3_bucket", bucket, "s3 bucket name")->required();
  app.add_option("--private_subnet_id", subnet, "private subnet ID (single-subnet mode)");
  app.add_option("--tag", tag, "run tag of the result objects");
  app.add_option("--profile", profile, "AWS credentials profile");
  app.add_option("--region", region, "region of the S3 client");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : 2;
  }
  auto set = [&](std::optional<std::string>& field, const std::string& name, const std::string& value) {
    if (app.get_option(name)->count() > 0) field = value;
  };
  set(args.test_config, "--test_config", test_config);
  set(args.s3_bucket, "--s3_bucket", bucket);
  set(args.private_subnet_id, "--private_subnet_id", subnet);
  set(args.tag, "--tag", tag);
  set(args.profile, "--profile", profile);
  set(args.region, "--region", region);
  try {
    auto session = awsapi::Session::from_profile(awsContext(), args.profile);
    auto s3 = session.client("s3", args.region);
    return getS3TestResults(*s3, args);
  } catch (const core::ExitRequest& e) {
    return e.status;
  } catch (const std::exception& e) {
    lib::logError(e.what());
    return 1;
  }
}

}  // namespace

int main(int argc, char** argv) {
  // Nothing may leave main: what escapes the run (a failure while reporting a failure, say) ends it
  // with the run's failure status rather than an abort.
  try {
    return getS3TestResultsMain(argc, argv);
  } catch (...) {
    return 1;
  }
}
