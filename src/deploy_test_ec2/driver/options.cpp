#include "deploy_test_ec2/driver/options.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <sstream>

namespace quenfold_testlibs {

namespace {

constexpr const char* kProg = "deploy_test_ec2";
constexpr const char* kDescription = "Deploy test EC2 in test subnets";

struct OptionSpec {
  const char* name;  // without the leading dashes
  bool flag;
  bool required;
  const char* help;
  std::optional<std::string> Args::*text = nullptr;
  bool Args::*boolean = nullptr;
};

// The options in the order of the usage text.
const std::vector<OptionSpec>& optionTable() {
  static const std::vector<OptionSpec> table = {
      {"revert", true, false, "revert the operation", nullptr, &Args::revert},
      {"dry_run", true, false, "Dry run deploy test ec2 logic and show what will be done", nullptr, &Args::dry_run},
      {"account", false, false, "account", &Args::account},
      {"region", false, false, "region", &Args::region},
      {"private_subnet_id", false, false, "private subnet ID", &Args::private_subnet_id},
      {"key_name", false, false, "key name", &Args::key_name},
      {"s3_bucket", false, false, "s3 bucket name", &Args::s3_bucket},
      {"assume_role", false, false, "Specify the role used to deploy EC2 in the account", &Args::assume_role},
      {"profile", false, false, "Specify the AWS Credentials profile used to deploy EC2 in the account", &Args::profile},
      {"ec2_role", false, false, "Specify the role to assign to the EC2", &Args::ec2_role},
      {"test_config", false, true, "specify input test config file", &Args::test_config},
      {"output_test_config", false, false, "specify output test config file", &Args::output_test_config},
      {"tag_resource", false, false, "tag created resources, e.g., sg, vm", &Args::tag_resource},
      {"instance_type", false, false, "instance type, default to t3.micro", &Args::instance_type},
      {"image", false, false, "VM image name, default to al2023-ami-2023*", &Args::image},
      {"workflow_account_role", false, false,
       "specify workflow account <role>,<number>,<region> where account number and region are optional",
       &Args::workflow_account_role},
      {"backup_folder", false, true, "specify a local folder for storing the VPC specific key-pair", &Args::backup_folder},
      {"eip", true, false, "Use EIP", nullptr, &Args::eip},
  };
  return table;
}

std::string metavar(const OptionSpec& o) {
  std::string m = o.name;
  std::transform(m.begin(), m.end(), m.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return m;
}

}  // namespace

std::string usageText() {
  const std::string head = std::string("usage: ") + kProg + " ";
  const std::string indent(head.size(), ' ');
  std::vector<std::string> parts = {"[-h]"};
  for (const auto& o : optionTable()) {
    std::string p = std::string("--") + o.name + (o.flag ? "" : " " + metavar(o));
    parts.push_back(o.required ? p : "[" + p + "]");
  }
  std::string out = head, line;
  for (const auto& p : parts) {
    if (!line.empty() && head.size() + line.size() + 1 + p.size() > 80) {
      out += line + "\n" + indent;
      line.clear();
    }
    line += (line.empty() ? "" : " ") + p;
  }
  return out + line + "\n";
}

namespace {

std::string wrapHelp(const std::string& text, size_t width, const std::string& indent) {
  std::istringstream words(text);
  std::string w, out, line;
  while (words >> w) {
    if (!line.empty() && line.size() + 1 + w.size() > width) {
      out += line + "\n" + indent;
      line.clear();
    }
    line += (line.empty() ? "" : " ") + w;
  }
  return out + line;
}

}  // namespace

std::string helpText() {
  std::string out = usageText() + "\n" + kDescription + "\n\noptions:\n";
  const std::string indent(24, ' ');
  auto entry = [&](const std::string& left, const std::string& help) {
    std::string l = "  " + left;
    if (l.size() <= 22) {
      l.resize(24, ' ');
      out += l + wrapHelp(help, 56, indent) + "\n";
    } else {
      out += l + "\n" + indent + wrapHelp(help, 56, indent) + "\n";
    }
  };
  entry("-h, --help", "show this help message and exit");
  for (const auto& o : optionTable()) {
    entry(std::string("--") + o.name + (o.flag ? "" : " " + metavar(o)), o.help);
  }
  return out;
}

ParseOutcome parseArgs(const std::vector<std::string>& argv) {
  ParseOutcome outcome;
  auto usageError = [&](const std::string& message) {
    outcome.exit_status = 2;
    outcome.err = usageText() + kProg + ": error: " + message + "\n";
    return outcome;
  };

  Args args;
  CLI::App app(kDescription, kProg);
  app.set_help_flag();  // rendered by helpText, recognised below
  app.allow_extras(false);
  app.positionals_at_end(false);
  bool help = false;
  app.add_flag("-h,--help", help);
  std::vector<std::pair<const OptionSpec*, std::string>> values(optionTable().size());
  size_t i = 0;
  for (const auto& o : optionTable()) {
    if (o.flag) {
      app.add_flag(std::string("--") + o.name, args.*(o.boolean))->disable_flag_override();
    } else {
      values[i].first = &o;
      app.add_option(std::string("--") + o.name, values[i].second)->expected(1)->allow_extra_args(false)->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    }
    ++i;
  }

  std::vector<std::string> reversed(argv.rbegin(), argv.rend());  // CLI11 takes arguments in reverse order
  try {
    app.parse(reversed);
  } catch (const CLI::ExtrasError&) {
    std::string extras;
    for (const auto& a : app.remaining()) extras += (extras.empty() ? "" : " ") + a;
    return usageError("unrecognized arguments: " + extras);
  } catch (const CLI::ArgumentMismatch& e) {
    std::string what = e.what();
    for (const auto& o : optionTable()) {
      if (what.find(std::string("--") + o.name) != std::string::npos)
        return usageError(std::string("argument --") + o.name + ": expected one argument");
    }
    return usageError(what);
  } catch (const CLI::ParseError& e) {
    return usageError(e.what());
  }
  if (help) {
    outcome.out = helpText();
    outcome.exit_status = 0;
    return outcome;
  }

  std::string missing;
  i = 0;
  for (const auto& o : optionTable()) {
    if (!o.flag) {
      CLI::Option* opt = app.get_option(std::string("--") + o.name);
      if (opt->count() > 0) {
        args.*(o.text) = values[i].second;
      } else if (o.required) {
        missing += (missing.empty() ? "--" : ", --") + std::string(o.name);
      }
    }
    ++i;
  }
  if (!missing.empty()) return usageError("the following arguments are required: " + missing);
  outcome.args = args;
  return outcome;
}

}  // namespace quenfold_testlibs
