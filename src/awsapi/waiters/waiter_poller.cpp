// The shared poller behind the instance waiters. Polls fall in rounds; a round's first member
// (its leader) sleeps on the tool's clock until the round is due, closes it, makes the calls for
// every id that joined, and wakes the others. A worker's next poll is due one interval after the
// round that answered it, so each worker keeps its own cadence and attempt count; when many wait,
// workers whose instances launched at different times meet on a grid of a few rounds an interval.
#include "awsapi/waiters/waiter_poller.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <exception>
#include <limits>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>

#include "core/clock.h"

namespace quenfold_testlibs::awsapi {

namespace {

using steady = std::chrono::steady_clock;

struct Round {
  steady::time_point at;
  std::vector<std::string> ids;  // distinct, in the order the members joined
  json request;                  // the first member's request: the template of every call
  bool done = false;
  std::size_t calls = 0;
  std::vector<json> pages;                    // the answers of the calls that succeeded
  std::map<std::string, ClientError> errors;  // the service error each failed id would have had
  std::exception_ptr failure;                 // a transport or credential failure: every member's
};

// How an operation names what it is asked about: the request's id list, the answer's list and the
// id of each item in it, and the error EC2 gives for an unknown id in the list (its code, and the
// noun of its message: "The instance ID 'i-1' does not exist").
struct IdKind {
  const char* request_key;
  const char* list_key;
  const char* item_key;
  const char* not_found;
  const char* noun;
  bool in_reservations = false;  // items sit in Reservations[].Instances (DescribeInstances)
};

const IdKind* find_id_kind(const std::string& operation) {
  static const IdKind instances{"InstanceIds", "Reservations", "InstanceId", "InvalidInstanceID.NotFound", "instance",
                                true};
  static const IdKind statuses{"InstanceIds", "InstanceStatuses", "InstanceId", "InvalidInstanceID.NotFound",
                               "instance"};
  static const IdKind interfaces{"NetworkInterfaceIds", "NetworkInterfaces", "NetworkInterfaceId",
                                 "InvalidNetworkInterfaceID.NotFound", "networkInterface"};
  if (operation == "DescribeInstances") return &instances;
  if (operation == "DescribeNetworkInterfaces") return &interfaces;
  if (operation == "DescribeInstanceStatus") return &statuses;
  return nullptr;
}

const IdKind& id_kind(const std::string& operation) {
  if (const IdKind* kind = find_id_kind(operation)) return *kind;
  throw std::invalid_argument("no shared polls for " + operation);
}

// The ids of `batch` that EC2's not-found message names ("The instance IDs 'i-1, i-2' do not exist").
std::vector<std::string> named_in(const std::string& message, const std::vector<std::string>& batch) {
  std::vector<std::string> named;
  for (const auto& id : batch) {
    for (auto pos = message.find(id); pos != std::string::npos; pos = message.find(id, pos + 1)) {
      const auto end = pos + id.size();
      if (end == message.size() || !std::isalnum(static_cast<unsigned char>(message[end]))) {
        named.push_back(id);
        break;
      }
    }
  }
  return named;
}

bool names_one_of(const json& item, const std::set<std::string>& ids, const char* key = "InstanceId") {
  auto it = item.find(key);
  return it != item.end() && it->is_string() && ids.count(it->get<std::string>()) > 0;
}

// A reservation cut down to the instances of `ids`; null when it holds none of them.
json reservation_part(const json& reservation, const std::set<std::string>& ids) {
  json instances = json::array();
  for (const auto& i : reservation.value("Instances", json::array()))
    if (names_one_of(i, ids)) instances.push_back(i);
  if (instances.empty()) return nullptr;
  json copy = reservation;
  copy["Instances"] = std::move(instances);
  return copy;
}

// The part of a batched answer that concerns `ids`: what a call naming only them would have listed.
json part_for(const IdKind& kind, const std::vector<json>& pages, const std::set<std::string>& ids) {
  if (kind.in_reservations) {
    json reservations = json::array();
    for (const auto& page : pages) {
      for (const auto& r : page.value("Reservations", json::array()))
        if (json part = reservation_part(r, ids); !part.is_null()) reservations.push_back(std::move(part));
    }
    return {{"Reservations", std::move(reservations)}};
  }
  json items = json::array();
  for (const auto& page : pages)
    for (const auto& item : page.value(kind.list_key, json::array()))
      if (names_one_of(item, ids, kind.item_key)) items.push_back(item);
  return {{kind.list_key, std::move(items)}};
}

}  // namespace

class PollerState {
 public:
  PollerState(const AwsClient& c, std::string op, std::chrono::seconds delay)
      : client(c),
        operation(std::move(op)),
        kind(id_kind(operation)),
        interval(std::chrono::duration_cast<steady::duration>(delay)) {}

  const AwsClient& client;
  const std::string operation;
  const IdKind& kind;
  const steady::duration interval;
  std::atomic<std::size_t> members{0};  // changed under the registry's lock

  std::mutex mu;
  std::condition_variable cv;
  std::optional<steady::time_point> origin;  // the first round's time: the grid's zero
  std::map<steady::time_point, std::shared_ptr<Round>> open;

  // Whether `t` is a point of the finest grid: a worker's later polls, one interval after a round
  // on the grid, stay there.
  bool on_finest_grid(steady::time_point t) const {
    const auto finest = interval / SharedPoller::rounds_per_interval(std::numeric_limits<std::size_t>::max());
    return t >= *origin && (t - *origin) % finest == steady::duration::zero();
  }

  // The first point at or after `t` of the grid that `waiting` members use. Grids of 2, 4 and 8
  // rounds an interval nest, so a change of grid while workers come and go still meets old rounds.
  steady::time_point on_grid(steady::time_point t, std::size_t waiting) const {
    if (t <= *origin) return *origin;
    const auto grid = interval / SharedPoller::rounds_per_interval(waiting);
    const auto steps = (t - *origin + grid - steady::duration(1)) / grid;
    return *origin + steps * grid;
  }

  // Makes the calls for one page of ids. A not-found error for a list fails the whole call in EC2,
  // so the ids it names get that error alone and the call goes again without them; when it names
  // none of them, each id is asked on its own.
  void call_page(Round& r, std::vector<std::string> left) {
    while (!left.empty()) {
      json request = r.request;
      request[kind.request_key] = left;
      ++r.calls;
      try {
        r.pages.push_back(client.call(operation, request));
        return;
      } catch (const ClientError& e) {
        if (left.size() == 1 || e.code() != kind.not_found) {
          for (const auto& id : left) r.errors.emplace(id, e);
          return;
        }
        const auto unknown = named_in(e.message(), left);
        if (unknown.empty()) {
          for (const auto& id : left) call_page(r, {id});
          return;
        }
        for (const auto& id : unknown) {
          r.errors.emplace(id,
                           ClientError(e.code(), std::string("The ") + kind.noun + " ID '" + id + "' does not exist",
                                       e.operation(), e.http_status(), e.request_id()));
          left.erase(std::find(left.begin(), left.end(), id));
        }
      }
    }
  }

  void run(Round& r) {
    try {
      for (std::size_t i = 0; i < r.ids.size(); i += SharedPoller::kPageSize) {
        const auto end = std::min(r.ids.size(), i + SharedPoller::kPageSize);
        call_page(r, std::vector<std::string>(r.ids.begin() + static_cast<std::ptrdiff_t>(i),
                                              r.ids.begin() + static_cast<std::ptrdiff_t>(end)));
      }
    } catch (...) {
      r.failure = std::current_exception();
    }
  }
};

namespace {

struct Registry {
  std::mutex mu;
  std::map<std::string, std::shared_ptr<PollerState>> pollers;
};

Registry& registry() {
  static Registry r;
  return r;
}

}  // namespace

SharedPoller::SharedPoller(const AwsClient& client, std::string operation, const json& request,
                           std::chrono::seconds delay)
    : request_(request) {
  const char* key = id_kind(operation).request_key;
  for (const auto& id : request.at(key))
    if (std::find(ids_.begin(), ids_.end(), id.get<std::string>()) == ids_.end()) ids_.push_back(id.get<std::string>());
  json rest = request;
  rest.erase(key);
  // The client's address is a fair key: a client outlives every wait on it, and the poller goes
  // with its last member.
  key_ = std::to_string(reinterpret_cast<std::uintptr_t>(&client)) + '\n' + operation + '\n' +
         std::to_string(delay.count()) + '\n' + rest.dump();
  auto& reg = registry();
  std::lock_guard lock(reg.mu);
  auto& slot = reg.pollers[key_];
  if (!slot) slot = std::make_shared<PollerState>(client, std::move(operation), delay);
  state_ = slot;
  ++state_->members;
}

SharedPoller::~SharedPoller() {
  auto& reg = registry();
  std::lock_guard lock(reg.mu);
  if (--state_->members == 0) reg.pollers.erase(key_);
}

bool SharedPoller::can_share(const std::string& operation, const json& request) {
  const IdKind* kind = find_id_kind(operation);
  if (!kind) return false;
  auto it = request.find(kind->request_key);
  return it != request.end() && it->is_array() && !it->empty() &&
         std::all_of(it->begin(), it->end(), [](const json& id) { return id.is_string(); });
}

PollAnswer SharedPoller::poll(std::optional<std::chrono::steady_clock::time_point> due) {
  auto& clock = core::the_clock();
  PollerState& s = *state_;
  std::unique_lock lock(s.mu);
  const auto now = clock.monotonic();
  steady::time_point at = now;
  if (!s.origin) {
    s.origin = now;
  } else {
    at = std::max(due.value_or(now), now);
    // A worker already on the grid keeps its time as the number waiting falls (at most
    // rounds_per_interval(any) rounds an interval still), so that its polls do not come late.
    if (s.members > kGridFrom && !s.on_finest_grid(at)) at = s.on_grid(at, s.members);
  }
  std::shared_ptr<Round> round;
  bool leader = false;
  if (auto it = s.open.find(at); it != s.open.end()) {
    round = it->second;
  } else {
    round = std::make_shared<Round>();
    round->at = at;
    round->request = request_;
    s.open.emplace(at, round);
    leader = true;
  }
  for (const auto& id : ids_)
    if (std::find(round->ids.begin(), round->ids.end(), id) == round->ids.end()) round->ids.push_back(id);

  if (leader) {
    lock.unlock();
    const auto wait = at - clock.monotonic();
    if (wait > steady::duration::zero()) clock.sleep_for(std::chrono::ceil<std::chrono::milliseconds>(wait));
    lock.lock();
    s.open.erase(at);
    lock.unlock();
    s.run(*round);  // closed: no one joins it any more
    lock.lock();
    round->done = true;
    s.cv.notify_all();
  } else {
    s.cv.wait(lock, [&] { return round->done; });
  }
  lock.unlock();

  if (round->failure) std::rethrow_exception(round->failure);
  PollAnswer answer;
  answer.at = at;
  for (const auto& id : ids_) {
    if (auto it = round->errors.find(id); it != round->errors.end()) {
      answer.error = it->second;
      return answer;
    }
  }
  const std::set<std::string> mine(ids_.begin(), ids_.end());
  if (round->calls == 1 && round->pages.size() == 1 &&
      mine == std::set<std::string>(round->ids.begin(), round->ids.end())) {
    answer.response = round->pages.front();  // a call of its own: its answer as it came
  } else {
    answer.response = part_for(s.kind, round->pages, mine);
  }
  return answer;
}

std::size_t shared_poller_members(const AwsClient& client) {
  const std::string prefix = std::to_string(reinterpret_cast<std::uintptr_t>(&client)) + '\n';
  auto& reg = registry();
  std::lock_guard lock(reg.mu);
  std::size_t n = 0;
  for (const auto& [key, state] : reg.pollers)
    if (key.rfind(prefix, 0) == 0) n += state->members;
  return n;
}

}  // namespace quenfold_testlibs::awsapi
