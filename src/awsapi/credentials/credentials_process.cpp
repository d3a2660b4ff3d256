// credential_process: an external command prints the credentials as JSON (Version 1). Its output
// holds secrets, so no error text ever quotes it; errors name the profile instead.
#include <sys/wait.h>

#include <array>
#include <cstdio>

#include "awsapi/base/error.h"
#include "awsapi/credentials/credentials_providers.h"

namespace quenfold_testlibs::awsapi::detail {

namespace {

class ProcessFetcher final : public CredentialsProvider {
 public:
  ProcessFetcher(std::string command, std::string profile)
      : command_(std::move(command)), profile_(std::move(profile)) {}

  Credentials get() override {
    const std::string output = run();
    auto fail = [&](const std::string& why) {
      return CredentialsError("Error when retrieving credentials from credential_process of profile \"" + profile_ +
                              "\": " + why);
    };
    auto doc = nlohmann::ordered_json::parse(output, nullptr, false);
    if (doc.is_discarded() || !doc.is_object()) throw fail("its output is not a JSON object");
    if (!doc.contains("Version") || doc["Version"] != 1) throw fail("unsupported Version, supported versions: 1");
    for (const char* key : {"AccessKeyId", "SecretAccessKey"}) {
      if (!doc.contains(key) || !doc[key].is_string()) throw fail(std::string("missing required key ") + key);
    }
    Credentials c;
    c.access_key_id = doc["AccessKeyId"].get<std::string>();
    c.secret_access_key = doc["SecretAccessKey"].get<std::string>();
    if (doc.contains("SessionToken") && doc["SessionToken"].is_string())
      c.session_token = doc["SessionToken"].get<std::string>();
    if (doc.contains("Expiration") && !doc["Expiration"].is_null()) {
      c.expiration = parse_expiration(doc["Expiration"]);
      if (!c.expiration) throw fail("Expiration is not an ISO 8601 time");
    }
    return checked_credentials(std::move(c), "the credential_process of profile \"" + profile_ + "\"");
  }

  std::string name() const override { return "custom-process"; }

 private:
  // Runs the command through the shell (so quoting and arguments work as written in the file) and
  // returns its standard output. Its standard error passes through to ours.
  std::string run() const {
    std::fflush(nullptr);
    std::FILE* pipe = ::popen(command_.c_str(), "r");
    if (pipe == nullptr) throw CredentialsError("Unable to run the credential_process of profile \"" + profile_ + "\"");
    std::string out;
    std::array<char, 4096> buf{};
    size_t n = 0;
    while ((n = std::fread(buf.data(), 1, buf.size(), pipe)) > 0) out.append(buf.data(), n);
    const int status = ::pclose(pipe);
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      std::string how = status != -1 && WIFEXITED(status) ? "exited with status " + std::to_string(WEXITSTATUS(status))
                                                          : "did not exit normally";
      throw CredentialsError("Error when retrieving credentials from credential_process of profile \"" + profile_ +
                             "\": the command " + how);
    }
    return out;
  }

  std::string command_;
  std::string profile_;
};

}  // namespace

std::shared_ptr<CredentialsProvider> process_provider(const SourcesPtr& s, const std::string& profile) {
  auto p = s->files.profile(profile);
  if (!p) return nullptr;
  auto it = p->find("credential_process");
  if (it == p->end() || it->second.empty()) return nullptr;
  return make_refreshing(std::make_shared<ProcessFetcher>(it->second, profile));
}

}  // namespace quenfold_testlibs::awsapi::detail
