#include "deploy_test_ec2/driver/options.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <sstream>
#include <utility>

#include "deploy_test_ec2/driver/version.h"

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
      {"profile", false, false, "Specify the AWS Credentials profile used to deploy EC2 in the account",
       &Args::profile},
      {"ec2_role", false, false, "Specify the role to assign to the EC2", &Args::ec2_role},
      {"permissions_boundary", false, false,
       "ARN of the policy to set as permissions boundary of the role --ec2_role default creates",
       &Args::permissions_boundary},
      {"test_config", false, true, "specify input test config file", &Args::test_config},
      {"output_test_config", false, false, "specify output test config file", &Args::output_test_config},
      {"tag_resource", false, false, "tag created resources, e.g., sg, vm", &Args::tag_resource},
      {"instance_type", false, false, "instance type, default to t3.micro", &Args::instance_type},
      {"image", false, false, "VM image name, default to al2023-ami-2023*", &Args::image},
      {"workflow_account_role", false, false,
       "specify workflow account <role>,<number>,<region> where account number and region are optional",
       &Args::workflow_account_role},
      {"backup_folder", false, true, "specify a local folder for storing the VPC specific key-pair",
       &Args::backup_folder},
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
  std::vector<std::string> parts = {"[-h]", "[--version]"};
  for (const auto& o : optionTable()) {
    std::string p = std::string("--") + o.name + (o.flag ? "" : " " + metavar(o));
    parts.push_back(o.required ? p : "[" + p + "]");
  }
  std::string out = head, line;
  for (const auto& p : parts) {
    if (!line.empty() && head.size() + line.size() + 1 + p.size() > 80) {
      out.append(line).append("\n").append(indent);
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
      out.append(line).append("\n").append(indent);
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
  entry("--version", "show the program's version and exit");
  for (const auto& o : optionTable()) {
    entry(std::string("--") + o.name + (o.flag ? "" : " " + metavar(o)), o.help);
  }
  return out;
}

namespace {
// A token a long-option parser would read as an option rather than a value ("-x", "--opt"), unlike
// "-" alone or a negative number.
bool looksLikeOption(const std::string& token) {
  if (token.size() < 2 || token[0] != '-') return false;
  const bool number = token.find_first_not_of("0123456789.", 1) == std::string::npos;
  return !number;
}

// The value options found on the command line, and the tokens left for CLI11.
struct ValueOptions {
  std::vector<std::optional<std::string>> values;  // by place in optionTable(); the last given wins
  std::vector<std::string> rest;
};

// "--opt=value" as its name and value; any other token as a name without a value.
std::pair<std::string, std::optional<std::string>> splitInlineValue(const std::string& token) {
  if (token.rfind("--", 0) == 0) {
    if (auto eq = token.find('='); eq != std::string::npos) return {token.substr(0, eq), token.substr(eq + 1)};
  }
  return {token, std::nullopt};
}

// Place in optionTable() of the value option called `name` ("--opt"), if there is one.
std::optional<size_t> valueOptionIndex(const std::string& name) {
  const auto& table = optionTable();
  for (size_t i = 0; i < table.size(); ++i) {
    if (!table[i].flag && name == std::string("--") + table[i].name) return i;
  }
  return std::nullopt;
}

// Takes the value options out of `argv` into `taken`, before CLI11 sees the line, because their
// rules differ from its own: "--opt value" takes the next token only when it does not look like an
// option (so "--key_name --dry_run" is a usage error, not a key named "--dry_run"; "--opt=-value"
// still gives a value starting with a dash), and "--opt=" is an empty value, not a missing one.
// Returns the usage error when an option lacks its value.
std::optional<std::string> takeValueOptions(const std::vector<std::string>& argv, ValueOptions& taken) {
  const auto& table = optionTable();
  taken.values.assign(table.size(), std::nullopt);
  for (size_t k = 0; k < argv.size(); ++k) {
    auto [name, value] = splitInlineValue(argv[k]);
    const auto spec = valueOptionIndex(name);
    if (!spec) {
      taken.rest.push_back(argv[k]);
      continue;
    }
    if (!value) {
      if (k + 1 >= argv.size() || looksLikeOption(argv[k + 1])) return "argument " + name + ": expected one argument";
      value = argv[++k];
    }
    taken.values[*spec] = *value;
  }
  return std::nullopt;
}

// Parses the tokens left after the value options (the flags, -h, --version, anything unknown) with
// CLI11, setting the flags in `args`, `help` and `version`. Returns the usage error when CLI11
// refuses the line.
std::optional<std::string> parseFlags(const std::vector<std::string>& rest, Args& args, bool& help, bool& version) {
  CLI::App app(kDescription, kProg);
  app.set_help_flag();  // rendered by helpText, recognised below
  app.allow_extras(false);
  app.positionals_at_end(false);
  app.add_flag("-h,--help", help);
  app.add_flag("--version", version);
  for (const auto& o : optionTable()) {
    if (o.flag) app.add_flag(std::string("--") + o.name, args.*(o.boolean))->disable_flag_override();
  }

  std::vector<std::string> reversed(rest.rbegin(), rest.rend());  // CLI11 takes arguments in reverse order
  try {
    app.parse(reversed);
  } catch (const CLI::ExtrasError&) {
    std::string extras;
    for (const auto& a : app.remaining()) extras += (extras.empty() ? "" : " ") + a;
    return "unrecognized arguments: " + extras;
  } catch (const CLI::ParseError& e) {
    return std::string(e.what());
  }
  return std::nullopt;
}

// --permissions_boundary bounds the role that --ec2_role default creates, and must name a managed
// policy (arn:PARTITION:iam::ACCOUNT:policy/NAME, ACCOUNT "aws" for AWS's own); given with no such
// role it would change nothing.
bool isPolicyArn(const std::string& arn) {
  std::vector<std::string> fields;
  for (size_t start = 0;;) {
    const size_t colon = arn.find(':', start);
    fields.push_back(arn.substr(start, colon == std::string::npos ? std::string::npos : colon - start));
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  if (fields.size() != 6 || fields[0] != "arn" || fields[1].empty() || fields[2] != "iam" || !fields[3].empty())
    return false;
  const std::string& account = fields[4];
  const bool digits = account.size() == 12 && account.find_first_not_of("0123456789") == std::string::npos;
  const std::string& resource = fields[5];
  return (digits || account == "aws") && resource.rfind("policy/", 0) == 0 && resource.back() != '/';
}

std::optional<std::string> permissionsBoundaryError(const Args& args) {
  if (!args.permissions_boundary) return std::nullopt;
  const std::string prefix = "argument --permissions_boundary: ";
  if (args.ec2_role != "default") return prefix + "applies only with --ec2_role default (the role it bounds)";
  if (!isPolicyArn(*args.permissions_boundary))
    return prefix + "must be the ARN of a managed policy (arn:aws:iam::ACCOUNT:policy/NAME)";
  return std::nullopt;
}

// Sets the value options given in `args`; returns the required ones missing ("--a, --b"), or "".
std::string assignValues(const std::vector<std::optional<std::string>>& values, Args& args) {
  const auto& table = optionTable();
  std::string missing;
  for (size_t i = 0; i < table.size(); ++i) {
    const auto& o = table[i];
    if (o.flag) continue;
    if (values[i]) {
      args.*(o.text) = *values[i];
    } else if (o.required) {
      missing += (missing.empty() ? "--" : ", --") + std::string(o.name);
    }
  }
  return missing;
}
}  // namespace

ParseOutcome parseArgs(const std::vector<std::string>& argv) {
  ParseOutcome outcome;
  auto usageError = [&](const std::string& message) {
    outcome.exit_status = 2;
    outcome.err = usageText() + kProg + ": error: " + message + "\n";
    return outcome;
  };

  // The value options first, by their own rules; CLI11 then parses the flags and reports what is
  // left over.
  ValueOptions taken;
  if (auto error = takeValueOptions(argv, taken)) return usageError(*error);
  Args args;
  bool help = false;
  bool version = false;
  if (auto error = parseFlags(taken.rest, args, help, version)) return usageError(*error);
  if (help || version) {
    outcome.out = help ? helpText() : versionText(kProg) + "\n";
    outcome.exit_status = 0;
    return outcome;
  }

  const std::string missing = assignValues(taken.values, args);
  if (!missing.empty()) return usageError("the following arguments are required: " + missing);
  // An empty folder would put the log and the key file at the root of the file system.
  if (args.backup_folder->empty()) return usageError("argument --backup_folder: must not be empty");
  if (auto error = permissionsBoundaryError(args)) return usageError(*error);
  outcome.args = args;
  return outcome;
}

}  // namespace quenfold_testlibs
