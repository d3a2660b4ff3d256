#include <gtest/gtest.h>

#include "deploy_test_ec2/driver/options.h"

using namespace quenfold_testlibs;

namespace {
ParseOutcome parse(const std::vector<std::string>& v) { return parseArgs(v); }
const std::vector<std::string> kRequired = {"--test_config", "t.json", "--backup_folder", "logs"};
}  // namespace

TEST(Options, NoArgumentsIsAUsageErrorNamingBothRequiredOptions) {
  auto o = parse({});
  EXPECT_FALSE(o.args);
  EXPECT_EQ(o.exit_status, 2);
  EXPECT_NE(o.err.find("usage: deploy_test_ec2 [-h]"), std::string::npos);
  EXPECT_NE(o.err.find("deploy_test_ec2: error: the following arguments are required: --test_config, --backup_folder"),
            std::string::npos);
}

TEST(Options, DefaultsAndAbsentValues) {
  auto o = parse(kRequired);
  ASSERT_TRUE(o.args);
  const Args& a = *o.args;
  EXPECT_FALSE(a.revert);
  EXPECT_FALSE(a.dry_run);
  EXPECT_FALSE(a.eip);
  EXPECT_EQ(a.instance_type, "t3.micro");
  EXPECT_EQ(a.image, "al2023-ami-2023*");
  EXPECT_FALSE(a.region.has_value());
  EXPECT_FALSE(a.output_test_config.has_value());
  EXPECT_EQ(a.test_config, "t.json");
  EXPECT_EQ(a.backup_folder, "logs");
}

TEST(Options, ValuesFlagsAndEqualsForm) {
  auto v = kRequired;
  for (auto s : {"--revert", "--dry_run", "--eip", "--region=eu-west-1", "--tag_resource", "a,,b,", "--account", "",
                 "--workflow_account_role=R,1,us-east-2", "--image", "x*", "--image", "y*"})
    v.push_back(s);
  auto o = parse(v);
  ASSERT_TRUE(o.args) << o.err;
  EXPECT_TRUE(o.args->revert && o.args->dry_run && o.args->eip);
  EXPECT_EQ(o.args->region, "eu-west-1");
  EXPECT_EQ(o.args->tag_resource, "a,,b,");
  EXPECT_EQ(o.args->account, "") << "an empty value is given, not absent";
  EXPECT_EQ(o.args->workflow_account_role, "R,1,us-east-2");
  EXPECT_EQ(o.args->image, "y*") << "the last of a repeated option wins";
}

TEST(Options, UnknownOptionMissingValueAndPositionals) {
  auto v = kRequired;
  v.push_back("--bogus");
  auto o = parse(v);
  EXPECT_EQ(o.exit_status, 2);
  EXPECT_NE(o.err.find("error: unrecognized arguments: --bogus"), std::string::npos) << o.err;

  v = kRequired;
  v.push_back("--region");
  o = parse(v);
  EXPECT_EQ(o.exit_status, 2);
  EXPECT_NE(o.err.find("error: argument --region: expected one argument"), std::string::npos) << o.err;

  v = kRequired;
  v.push_back("stray");
  o = parse(v);
  EXPECT_EQ(o.exit_status, 2);
  EXPECT_NE(o.err.find("unrecognized arguments: stray"), std::string::npos) << o.err;
}

TEST(Options, HelpListsEveryOptionInOrder) {
  auto o = parse({"--help"});
  EXPECT_FALSE(o.args);
  EXPECT_EQ(o.exit_status, 0);
  EXPECT_NE(o.out.find("Deploy test EC2 in test subnets"), std::string::npos);
  size_t last = 0;
  for (auto name :
       {"--revert", "--dry_run", "--account", "--region", "--private_subnet_id", "--key_name", "--s3_bucket",
        "--assume_role", "--profile", "--ec2_role", "--permissions_boundary", "--test_config", "--output_test_config",
        "--tag_resource", "--instance_type", "--image", "--workflow_account_role", "--backup_folder", "--eip"}) {
    auto p = o.out.find(std::string("\n  ") + name);
    ASSERT_NE(p, std::string::npos) << name;
    EXPECT_GT(p, last) << name;
    last = p;
  }
  EXPECT_EQ(parse({"-h"}).exit_status, 0);
}

TEST(Options, AnOptionIsNeverTakenAsAnotherOptionsValue) {
  for (auto bad :
       {std::vector<std::string>{"--key_name", "--dry_run"}, {"--profile", "--revert"}, {"--region", "-x"}}) {
    auto v = kRequired;
    v.insert(v.end(), bad.begin(), bad.end());
    auto o = parse(v);
    EXPECT_EQ(o.exit_status, 2) << bad[0];
    EXPECT_NE(o.err.find("error: argument " + bad[0] + ": expected one argument"), std::string::npos) << o.err;
  }
  auto v = kRequired;
  for (auto s : {"--key_name=-k", "--tag_resource=", "--region", "-"}) v.push_back(s);
  auto o = parse(v);
  ASSERT_TRUE(o.args) << o.err;
  EXPECT_EQ(o.args->key_name, "-k") << "the = form takes any value";
  EXPECT_EQ(o.args->tag_resource, "") << "\"--opt=\" is an empty value, not a missing one";
  EXPECT_EQ(o.args->region, "-");

  // A permissions boundary is a managed policy's ARN, for the role --ec2_role default creates.
  for (auto [role, arn] : {std::pair{"default", "lab-boundary"},
                           {"default", "arn:aws:iam::1:policy/b"},
                           {"default", "arn:aws:iam::123456789012:role/b"},
                           {"lab-role", "arn:aws:iam::aws:policy/b"}}) {
    v = kRequired;
    for (auto s : {"--ec2_role", role, "--permissions_boundary", arn}) v.push_back(s);
    EXPECT_EQ(parse(v).exit_status, 2) << arn;
    EXPECT_NE(parse(v).err.find("error: argument --permissions_boundary: "), std::string::npos) << arn;
  }
  v = kRequired;
  for (auto s : {"--ec2_role", "default", "--permissions_boundary", "arn:aws-cn:iam::123456789012:policy/p/b"})
    v.push_back(s);
  EXPECT_EQ(parse(v).args->permissions_boundary, "arn:aws-cn:iam::123456789012:policy/p/b");

  auto empty = parse({"--test_config", "t.json", "--backup_folder", ""});
  EXPECT_EQ(empty.exit_status, 2);
  EXPECT_NE(empty.err.find("error: argument --backup_folder: must not be empty"), std::string::npos) << empty.err;
}
