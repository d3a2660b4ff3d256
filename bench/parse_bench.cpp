// How long reading a test configuration takes as it grows: one entry with n extra keys (100,000
// keys make about 2.2 MB), read with readTestConfig and written back with formatTestConfig. With
// --dom, also nlohmann's own reader into ordered_json, which searches the keys on every insert.
// Prints figures; use a Release build.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "deploy_test_ec2/common/test_config.h"

using quenfold_testlibs::json;
using Clock = std::chrono::steady_clock;

namespace {

std::string configWithKeys(int n) {
  std::string text = R"([{"gw_subnet_id": "subnet-1", "private_subnet_id": "subnet-2")";
  char buf[64];
  for (int i = 0; i < n; ++i) {
    std::snprintf(buf, sizeof buf, ", \"k%06d\": \"v%06d\"", i, i);
    text += buf;
  }
  return text + "}]\n";
}

// Best of `runs`, in seconds.
template <class F>
double best(int runs, F f) {
  double out = 1e300;
  for (int r = 0; r < runs; ++r) {
    const auto t0 = Clock::now();
    f();
    out = std::min(out, std::chrono::duration<double>(Clock::now() - t0).count());
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  const bool dom = argc > 1 && std::string(argv[1]) == "--dom";
  const auto path =
      std::filesystem::temp_directory_path() / ("quenfold-parse-bench-" + std::to_string(::getpid()) + ".json");
  std::printf("%-8s %9s %12s %12s%s\n", "keys", "bytes", "read (s)", "write (s)",
              dom ? "    nlohmann DOM read (s)" : "");
  for (int n : {1000, 10000, 100000}) {
    const std::string text = configWithKeys(n);
    std::ofstream(path, std::ios::binary) << text;
    json data;
    const double read = best(3, [&] { data = quenfold_testlibs::readTestConfig(path.string()); });
    if (data.at(0).size() != static_cast<std::size_t>(n) + 2) {
      std::fprintf(stderr, "parse_bench: read %zu keys, expected %d\n", data.at(0).size(), n + 2);
      return 1;
    }
    std::size_t written = 0;
    const double write = best(3, [&] { written = quenfold_testlibs::formatTestConfig(data).size(); });
    std::printf("%-8d %9zu %12.4f %12.4f", n, text.size(), read, write);
    if (written == 0) return 1;
    if (dom) std::printf("    %.4f", best(1, [&] { data = json::parse(text); }));
    std::printf("\n");
  }
  std::filesystem::remove(path);
  return 0;
}
