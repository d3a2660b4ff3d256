#include "deploy_test_ec2/results/results.h"

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "awsapi/base/error.h"
#include "deploy_test_ec2/common/test_config.h"
#include "lib/commonlib.h"

namespace quenfold_testlibs {

namespace {
constexpr const char* kLocalLog = "/tmp/log.txt";
constexpr const char* kLocalResult = "/tmp/result.txt";

// The download replaces `path` atomically (the client writes beside it and renames), so a link
// planted at the fixed path is replaced rather than followed. Returns the text.
std::string fetchText(const awsapi::AwsClient& s3_client, const std::string& bucket, const std::string& key,
                      const std::string& path) {
  s3_client.download_file(bucket, key, path);
  std::ifstream in(path, std::ios::binary);
  std::stringstream buf;
  buf << in.rdbuf();
  return buf.str();
}
}  // namespace

bool resultPasses(const std::string& text) {
  const char* ws = " \t\n\r\f\v";
  auto b = text.find_first_not_of(ws);
  if (b == std::string::npos) return false;
  auto e = text.find_last_not_of(ws);
  return text.substr(b, e - b + 1) == "PASS";
}

int getS3TestResults(const awsapi::AwsClient& s3_client, const Args& args) {
  auto log = lib::logger();
  int failed = 0;
  const std::string bucket = args.s3_bucket.value();
  auto collect = [&](const std::string& tag) {
    try {
      lib::logLines(spdlog::level::info, fetchText(s3_client, bucket, "log-" + tag + ".txt", kLocalLog));
      const std::string result = fetchText(s3_client, bucket, "result-" + tag + ".txt", kLocalResult);
      if (!resultPasses(result)) failed = 1;
      lib::logLines(spdlog::level::info, result);
    } catch (const awsapi::ClientError& e) {
      log->info(e.what());
      failed = 1;
    }
  };
  if (given(args.test_config)) {
    json config = readTestConfig(*args.test_config);
    for (size_t i = 0; i < config.size(); ++i) {
      const json& entry = config[i];
      // The step line first, so that a problem below is logged under its subnet.
      const json subnet = entry.is_object() ? entry.value("private_subnet_id", json()) : json();
      log->info("- Test ping and traceroute in " + (subnet.is_string() ? subnet.get<std::string>() : subnet.dump()));
      if (!entry.is_object() || !entry.contains("gw_name") || !entry["gw_name"].is_string()) {
        log->error("  **Error** entry " + std::to_string(i) + " of " + *args.test_config +
                   " has no \"gw_name\" text, which names its result objects");
        failed = 1;
        continue;
      }
      collect(deduceTag(args, &entry));
    }
  } else {
    log->info("- Test ping and traceroute in " + args.private_subnet_id.value_or("None"));
    collect(deduceTag(args));
  }
  return failed;
}

}  // namespace quenfold_testlibs
