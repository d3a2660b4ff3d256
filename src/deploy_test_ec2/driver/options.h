// parseArgs builds the option set of a run from the command line with CLI11 and renders usage
// and errors the way long-option tools usually do (usage line, "error:" line, exit status 2).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "deploy_test_ec2/common/args.h"

namespace quenfold_testlibs {

// What parsing decided: run with the options, or stop with a status after printing.
struct ParseOutcome {
  std::optional<Args> args;  // set when the run goes on
  int exit_status = 0;       // when args is empty: 0 after --help or --version, 2 after a usage error
  std::string out;           // text for standard output (help, version)
  std::string err;           // text for standard error (usage and error line)
};

// Parses deploy_test_ec2's command line (argv[0] excluded).
ParseOutcome parseArgs(const std::vector<std::string>& argv);

// The help text of deploy_test_ec2, and its usage lines alone.
std::string helpText();
std::string usageText();

}  // namespace quenfold_testlibs
