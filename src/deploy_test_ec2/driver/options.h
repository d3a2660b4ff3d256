// The option set of a run: one immutable record, text options absent unless given, three flags.
// parseArgs builds it from the command line with CLI11 and renders usage and errors the way
// long-option tools usually do (usage line, "error:" line, exit status 2).
#pragma once

#include <optional>
#include <string>
#include <vector>

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
};

// True when the option is given with a non-empty value.
inline bool given(const std::optional<std::string>& v) { return v.has_value() && !v->empty(); }

// What parsing decided: run with the options, or stop with a status after printing.
struct ParseOutcome {
  std::optional<Args> args;  // set when the run goes on
  int exit_status = 0;       // when args is empty: 0 after --help, 2 after a usage error
  std::string out;           // text for standard output (help)
  std::string err;           // text for standard error (usage and error line)
};

// Parses deploy_test_ec2's command line (argv[0] excluded).
ParseOutcome parseArgs(const std::vector<std::string>& argv);

// The help text of deploy_test_ec2, and its usage lines alone.
std::string helpText();
std::string usageText();

}  // namespace quenfold_testlibs
