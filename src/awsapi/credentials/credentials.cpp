// What every credential source shares: static credentials, the refresh-ahead wrapper that makes
// any fetching source safe for many threads, and the parsing of STS-style answers and expirations.
#include "awsapi/credentials/credentials.h"

#include <algorithm>
#include <mutex>

#include "awsapi/base/error.h"
#include "awsapi/base/timestamp.h"
#include "awsapi/credentials/credentials_providers.h"
#include "core/clock.h"

namespace quenfold_testlibs::awsapi {

namespace {

class StaticProvider final : public CredentialsProvider {
 public:
  StaticProvider(Credentials c, std::string name) : creds_(std::move(c)), name_(std::move(name)) {}
  Credentials get() override { return creds_; }
  std::string name() const override { return name_; }

 private:
  Credentials creds_;
  std::string name_;
};

// Caches the inner provider's credentials and fetches again `advance` before they expire. Only
// one thread fetches at a time; while it does, others keep using credentials that have not yet
// reached the last minute before expiry, and the rest wait for the fetch.
class RefreshingProvider final : public CredentialsProvider {
 public:
  RefreshingProvider(std::shared_ptr<CredentialsProvider> inner, std::chrono::seconds advance)
      : inner_(std::move(inner)), advance_(advance), mandatory_(std::min(advance, std::chrono::seconds(60))) {}

  Credentials get() override {
    std::unique_lock refresh(refresh_mu_, std::defer_lock);
    {
      std::lock_guard lk(mu_);
      const auto now = core::the_clock().now();
      if (cached_ && fresh(*cached_, now)) return *cached_;
      if (cached_ && usable(*cached_, now)) {
        // An early refresh is tried at most every kRetryEarly, so that a source whose answers are
        // already inside the window (or is down) is not asked on every call.
        if (now < next_early_attempt_) return *cached_;
        // Never blocks while holding mu_: the refreshing thread takes mu_ only after refresh_mu_.
        if (!refresh.try_lock()) return *cached_;
        next_early_attempt_ = now + kRetryEarly;
      }
    }
    if (!refresh.owns_lock()) refresh.lock();

    std::optional<Credentials> previous;
    {
      std::lock_guard lk(mu_);
      if (cached_ && fresh(*cached_, core::the_clock().now())) return *cached_;  // refreshed meanwhile
      previous = cached_;
    }
    try {
      Credentials c = inner_->get();
      std::lock_guard lk(mu_);
      cached_ = c;
      return c;
    } catch (...) {
      // A failed early refresh is not fatal while the old credentials still have time left.
      if (previous && usable(*previous, core::the_clock().now())) return *previous;
      throw;
    }
  }

  void invalidate() override {
    std::lock_guard lk(mu_);
    cached_.reset();
    inner_->invalidate();
  }

  std::string name() const override { return inner_->name(); }

 private:
  bool fresh(const Credentials& c, std::chrono::system_clock::time_point now) const {
    return !c.expiration || now < *c.expiration - advance_;
  }
  bool usable(const Credentials& c, std::chrono::system_clock::time_point now) const {
    return !c.expiration || now < *c.expiration - mandatory_;
  }

  static constexpr std::chrono::seconds kRetryEarly{30};

  std::shared_ptr<CredentialsProvider> inner_;
  std::chrono::seconds advance_;
  std::chrono::seconds mandatory_;
  std::mutex mu_;          // guards cached_
  std::mutex refresh_mu_;  // held by the one thread that is fetching
  std::optional<Credentials> cached_;
  std::chrono::system_clock::time_point next_early_attempt_{};
};

}  // namespace

std::shared_ptr<CredentialsProvider> make_static_provider(Credentials c, std::string name) {
  c = checked_credentials(std::move(c), name + " credentials");
  return std::make_shared<StaticProvider>(std::move(c), std::move(name));
}

Credentials checked_credentials(Credentials c, const std::string& source) {
  auto control = [](const std::string& s) {
    return std::any_of(s.begin(), s.end(), [](unsigned char ch) { return ch < 0x20 || ch == 0x7f; });
  };
  const std::pair<const std::string*, const char*> fields[] = {{&c.access_key_id, "access key id"},
                                                               {&c.secret_access_key, "secret access key"},
                                                               {&c.session_token, "session token"}};
  for (const auto& [value, field] : fields) {
    if (control(*value))
      throw UnsafeCredentialsError("Refusing the credentials from " + source + ": the " + field +
                                   " holds a control character");
  }
  return c;
}

std::shared_ptr<CredentialsProvider> make_refreshing(std::shared_ptr<CredentialsProvider> inner,
                                                     std::chrono::seconds advance) {
  return std::make_shared<RefreshingProvider>(std::move(inner), advance);
}

Credentials credentials_from_sts(const nlohmann::ordered_json& member, const std::string& source) {
  if (!member.is_object()) throw CredentialsError("The STS answer holds no Credentials");
  Credentials c;
  for (const char* key : {"AccessKeyId", "SecretAccessKey", "SessionToken"}) {
    if (!member.contains(key) || !member[key].is_string())
      throw CredentialsError(std::string("The STS answer's Credentials lack ") + key);
  }
  c.access_key_id = member["AccessKeyId"].get<std::string>();
  c.secret_access_key = member["SecretAccessKey"].get<std::string>();
  c.session_token = member["SessionToken"].get<std::string>();
  if (member.contains("Expiration")) {
    c.expiration = detail::parse_expiration(member["Expiration"]);
    if (!c.expiration) throw CredentialsError("The STS answer's Credentials have an unreadable Expiration");
  }
  return checked_credentials(std::move(c), source);
}

namespace detail {

SourcesPtr snapshot(const ProviderContext& ctx) {
  auto s = std::make_shared<Sources>();
  s->env = ctx.env != nullptr ? *ctx.env : Environment{};
  s->files = ctx.files != nullptr ? *ctx.files : ConfigFiles::load(s->env);
  s->http = ctx.http;
  s->imds = ctx.imds;
  s->sts = ctx.sts;
  return s;
}

std::optional<std::chrono::system_clock::time_point> parse_expiration(const nlohmann::ordered_json& value) {
  if (value.is_string()) return parse_iso8601(value.get_ref<const std::string&>());
  if (value.is_number()) return timestamp_of_epoch(value.get<double>());
  return std::nullopt;
}

std::string generated_session_name() {
  const auto secs =
      std::chrono::duration_cast<std::chrono::seconds>(core::the_clock().now().time_since_epoch()).count();
  return "quenfold-session-" + std::to_string(secs);
}

std::optional<std::string> sts_region(const Sources& s, const std::string& profile) {
  if (auto r = s.env.get("AWS_REGION")) return r;
  if (auto r = s.env.get("AWS_DEFAULT_REGION")) return r;
  if (auto p = s.files.profile(profile)) {
    auto it = p->find("region");
    if (it != p->end() && !it->second.empty()) return it->second;
  }
  return std::nullopt;
}

}  // namespace detail

}  // namespace quenfold_testlibs::awsapi
