// Signs requests described as JSON on stdin and prints the headers each one ends up with, for
// test_sigv4.py to compare with the reference SDK's signer.
//
// Input: one request object or a list of them:
//   {"method": "POST", "url": "https://...", "headers": [["Name", "value"], ...], "body": "...",
//    "access_key": "...", "secret_key": "...", "token": "...", "service": "ec2", "region": "us-east-1",
//    "time": 1700000000, "s3": false, "payload_hash": "...", "signings": 1}
// Output: for each request, its headers as [[name, value], ...] in request order.
#include <chrono>
#include <iostream>
#include <iterator>
#include <string>

#include <nlohmann/json.hpp>

#include "awsapi/transport/sigv4.h"

using namespace quenfold_testlibs::awsapi;

namespace {

nlohmann::json sign_one(const nlohmann::json& in) {
  HttpRequest req;
  req.method = in.value("method", "GET");
  req.url = in.at("url").get<std::string>();
  for (const auto& h : in.value("headers", nlohmann::json::array())) {
    req.headers.emplace_back(h.at(0).get<std::string>(), h.at(1).get<std::string>());
  }
  req.body = in.value("body", "");
  if (in.contains("upload_file")) req.upload_file = in.at("upload_file").get<std::string>();

  Credentials creds;
  creds.access_key_id = in.at("access_key").get<std::string>();
  creds.secret_access_key = in.at("secret_key").get<std::string>();
  creds.session_token = in.value("token", "");

  SigningInput input;
  input.service = in.at("service").get<std::string>();
  input.region = in.at("region").get<std::string>();
  input.s3 = in.value("s3", false);
  // Signing more than once checks that a re-signed request carries one set of signing headers.
  const int signings = in.value("signings", 1);
  const auto first = std::chrono::system_clock::time_point(
      std::chrono::seconds(in.value("first_time", in.at("time").get<long long>())));
  const auto time = std::chrono::system_clock::time_point(std::chrono::seconds(in.at("time").get<long long>()));
  for (int i = 0; i < signings; ++i) {
    input.time = i + 1 == signings ? time : first;
    sign_request(req, creds, input, in.value("payload_hash", ""));
  }

  nlohmann::json out = nlohmann::json::array();
  for (const auto& [name, value] : req.headers) out.push_back({name, value});
  return out;
}

}  // namespace

int main() {
  try {
    // Read whole first: parsing straight from a stream iterator can spin at end of input.
    const std::string text(std::istreambuf_iterator<char>(std::cin), {});
    const auto in = nlohmann::json::parse(text);
    nlohmann::json out;
    if (in.is_array()) {
      out = nlohmann::json::array();
      for (const auto& r : in) out.push_back(sign_one(r));
    } else {
      out = sign_one(in);
    }
    std::cout << out.dump() << "\n";
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "probe_sigv4: " << e.what() << "\n";
    return 1;
  }
}
