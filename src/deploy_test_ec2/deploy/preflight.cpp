// The preflight's judgement and the dry run's plan: pure functions of the facts the lookups found.
#include "deploy_test_ec2/deploy/preflight.h"

#include <cctype>
#include <cmath>

namespace quenfold_testlibs {

namespace {
struct QuotaOfFamily {
  const char* families;  // blank-separated
  const char* code;
  const char* name;
};
// The On-Demand vCPU quotas of Service Quotas, by instance family.
constexpr QuotaOfFamily kVcpuQuotas[] = {
    {"a c d h i m r t z", "L-1216C47A", "Running On-Demand Standard (A, C, D, H, I, M, R, T, Z) instances"},
    {"f", "L-74FC7D96", "Running On-Demand F instances"},
    {"g vt", "L-DB2E81BA", "Running On-Demand G and VT instances"},
    {"p", "L-417A185B", "Running On-Demand P instances"},
    {"x", "L-7295265B", "Running On-Demand X instances"},
    {"inf", "L-1945791B", "Running On-Demand Inf instances"},
};

bool listed(const std::string& word, const char* words) {
  const std::string padded = std::string(" ") + words + " ";
  return padded.find(" " + word + " ") != std::string::npos;
}

std::string number(double v) {
  if (v == std::floor(v)) return std::to_string(static_cast<long long>(v));
  return std::to_string(v);
}

void failEntry(PreflightVerdict& verdict, size_t index, const std::string& why) {
  // The first problem an entry meets is the one it fails with.
  verdict.entry_problems.emplace(index, why);
}

// An entry's own problems: its zone does not offer the type, its public address would be blocked.
void judgeEntry(const PreflightFacts& facts, const PreflightEntry& e, PreflightVerdict& verdict) {
  const auto gw = facts.subnets.find(e.gw_subnet);
  if (gw == facts.subnets.end()) return;  // outside the VPC: the calls naming it will say what is wrong
  const SubnetFacts& sn = gw->second;
  if (e.action == EntryAction::Launch && facts.offered_zones && !sn.zone.empty() &&
      !facts.offered_zones->count(sn.zone)) {
    failEntry(verdict, e.index,
              e.gw_subnet + ": instance type " + facts.instance_type + " is not offered in " + sn.zone +
                  "; zones that offer it: " + lib::joined(*facts.offered_zones));
  }
  if (!sn.block_mode.empty() && sn.block_mode != "off") {
    failEntry(verdict, e.index,
              e.gw_subnet + ": VPC Block Public Access is " + sn.block_mode +
                  " for this subnet; the instance's public address could not be reached");
  }
}

// Addresses an entry takes in `subnet`: its new instance there, its new second interface there.
long addressesIn(const PreflightEntry& e, const std::string& subnet) {
  return (e.action == EntryAction::Launch && e.gw_subnet == subnet ? 1 : 0) +
         (e.needs_interface && e.private_subnet == subnet ? 1 : 0);
}

// Subnets too full: counted across the entries that share a subnet, in their order; every entry
// that no longer fits fails, naming the numbers.
void judgeFreeAddresses(const PreflightFacts& facts, PreflightVerdict& verdict) {
  std::map<std::string, long> wanted;
  for (const auto& e : facts.entries) {
    if (verdict.entry_problems.count(e.index) || e.action == EntryAction::Duplicate) continue;
    if (e.action == EntryAction::Launch) wanted[e.gw_subnet] += 1;
    if (e.needs_interface) wanted[e.private_subnet] += 1;
  }
  for (const auto& [subnet, count] : wanted) {
    const auto it = facts.subnets.find(subnet);
    if (it == facts.subnets.end() || !it->second.free_addresses || *it->second.free_addresses >= count) continue;
    const long free = *it->second.free_addresses;
    long left = free;
    for (const auto& e : facts.entries) {
      const long need = addressesIn(e, subnet);
      if (need == 0 || verdict.entry_problems.count(e.index) || e.action == EntryAction::Duplicate) continue;
      if (left >= need) {
        left -= need;
        continue;
      }
      failEntry(verdict, e.index,
                subnet + " has " + std::to_string(free) + " free addresses and the entries using it need " +
                    std::to_string(count));
    }
  }
}

// What the entries that go on will make, and one alert per gateway subnet without a route out.
void countWork(const PreflightFacts& facts, PreflightVerdict& verdict) {
  std::set<std::string> alerted;
  for (const auto& e : facts.entries) {
    if (verdict.entry_problems.count(e.index) || e.action == EntryAction::Duplicate) continue;
    const auto gw = facts.subnets.find(e.gw_subnet);
    if (gw != facts.subnets.end() && gw->second.routes_to_igw == false && alerted.insert(e.gw_subnet).second) {
      verdict.alerts.push_back(e.gw_subnet +
                               " has no route to an internet gateway: its instance's public address is reachable "
                               "only if something else routes it");
    }
    if (e.action == EntryAction::Launch) ++verdict.launches;
    if (e.action == EntryAction::Start) ++verdict.starts;
    if (e.needs_interface) ++verdict.interfaces;
    if (e.needs_address) ++verdict.addresses;
  }
}

void judgeEntries(const PreflightFacts& facts, PreflightVerdict& verdict) {
  for (const auto& e : facts.entries) {
    if (e.action != EntryAction::Duplicate) judgeEntry(facts, e, verdict);  // a duplicate's worker says why
  }
  judgeFreeAddresses(facts, verdict);
  countWork(facts, verdict);
}
}  // namespace

std::string instanceFamily(const std::string& instance_type) {
  std::string family;
  for (char c : instance_type) {
    if (!std::isalpha(static_cast<unsigned char>(c))) break;
    family += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return family;
}

std::optional<std::pair<std::string, std::string>> vcpuQuotaOf(const std::string& instance_type) {
  const std::string family = instanceFamily(instance_type);
  if (family.empty()) return std::nullopt;
  for (const auto& q : kVcpuQuotas) {
    if (listed(family, q.families)) return std::make_pair(std::string(q.code), std::string(q.name));
  }
  // The standard quota counts by the family's first letter (im4gn, is4gen, ...), except for the
  // families with quotas of their own above and the high-memory "u" family.
  if (family != "u" && family != "mac" && listed(family.substr(0, 1), kVcpuQuotas[0].families))
    return std::make_pair(std::string(kVcpuQuotas[0].code), std::string(kVcpuQuotas[0].name));
  return std::nullopt;
}

PreflightVerdict judgePreflight(const PreflightFacts& facts) {
  PreflightVerdict verdict;
  judgeEntries(facts, verdict);
  if (facts.internet_gateway == false) {
    verdict.run_problems.push_back(facts.vpc_id +
                                   " has no internet gateway attached: no public address in it can be reached");
  }
  for (const auto& p : facts.permissions) {
    if (p.outcome == PermissionCheck::Outcome::Denied) {
      verdict.run_problems.push_back(p.action + " is not allowed: " + p.detail);
    } else if (p.outcome == PermissionCheck::Outcome::Failed) {
      verdict.run_problems.push_back(p.action + " would fail: " + p.detail);
    }
  }
  if (!facts.eip_problem.empty()) verdict.run_problems.push_back(facts.eip_problem);
  if (facts.vcpus_per_instance) verdict.vcpus_needed = (verdict.launches + verdict.starts) * *facts.vcpus_per_instance;
  if (facts.vcpu_quota && verdict.vcpus_needed > 0) {
    const VcpuQuota& q = *facts.vcpu_quota;
    const double left = q.value - static_cast<double>(q.in_use);
    if (static_cast<double>(verdict.vcpus_needed) > left) {
      verdict.run_problems.push_back(std::to_string(verdict.vcpus_needed) + " vCPUs are needed (" +
                                     std::to_string(verdict.launches + verdict.starts) + " " + facts.instance_type +
                                     ") and " + facts.region + " has " + number(std::max(0.0, left)) +
                                     " left of the quota \"" + q.name + "\" (" + q.code + ", " + number(q.value) +
                                     " vCPUs, " + std::to_string(q.in_use) +
                                     " in use): ask AWS for a higher quota or deploy fewer entries");
    }
  }
  return verdict;
}

std::vector<std::string> planLines(const PreflightFacts& facts, const PreflightVerdict& verdict,
                                   const std::map<size_t, std::string>& labels) {
  std::vector<std::string> lines;
  for (const auto& e : facts.entries) {
    const auto label = labels.find(e.index);
    std::string line = "- Plan: " + (label != labels.end() ? label->second : e.gw_subnet) + ": ";
    if (auto p = verdict.entry_problems.find(e.index); p != verdict.entry_problems.end()) {
      line += "fails: " + p->second;
    } else {
      switch (e.action) {
        case EntryAction::Launch:
          line += "launch in " + e.gw_subnet;
          break;
        case EntryAction::Reuse:
          line += "reuse " + e.instance_id;
          break;
        case EntryAction::Start:
          line += "start " + e.instance_id;
          break;
        case EntryAction::Duplicate:
          line += "fails: more than one test instance in " + e.gw_subnet;
          break;
      }
    }
    lines.push_back(line);
  }
  std::string totals = "- Plan: " + std::to_string(verdict.launches) + " instances to launch";
  if (verdict.starts > 0) totals += " and " + std::to_string(verdict.starts) + " to start";
  totals += " (" + std::to_string(verdict.vcpus_needed) + " vCPUs";
  if (facts.vcpu_quota) {
    const VcpuQuota& q = *facts.vcpu_quota;
    totals += ", " + number(std::max(0.0, q.value - static_cast<double>(q.in_use))) + " left of " + number(q.value) +
              " under " + q.code;
  }
  totals += "), " + std::to_string(verdict.addresses) + " Elastic IPs";
  if (facts.eips_left) totals += " (" + std::to_string(*facts.eips_left) + " left)";
  totals += ", " + std::to_string(verdict.interfaces) + " network interfaces; to create: ";
  std::string shared;
  for (const auto& g : facts.groups_to_create) shared += (shared.empty() ? "" : ", ") + std::string("group ") + g;
  if (facts.key_pair_to_create)
    shared += (shared.empty() ? "" : ", ") + std::string("key pair ") + *facts.key_pair_to_create;
  for (const auto& i : facts.iam_to_create) shared += (shared.empty() ? "" : ", ") + i;
  totals += shared.empty() ? "nothing shared" : shared;
  lines.push_back(totals);
  return lines;
}

}  // namespace quenfold_testlibs
