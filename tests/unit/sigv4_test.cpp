#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

#include "awsapi/base/error.h"
#include "awsapi/credentials/credentials.h"
#include "awsapi/transport/http.h"
#include "awsapi/transport/sigv4.h"

using namespace quenfold_testlibs::awsapi;

namespace {

constexpr const char* kSecret = "wJalrXUtnFEMI/K7MDENG+bPxRfiCYEXAMPLEKEY";
const auto kTime = std::chrono::system_clock::time_point(std::chrono::seconds(1700000000));  // 20231114T221320Z

Credentials creds(std::string token = {}) { return Credentials{"AKIDEXAMPLE", kSecret, std::move(token), {}}; }

SigningInput input(std::string service, std::string region, bool s3 = false) {
  return SigningInput{std::move(service), std::move(region), kTime, s3};
}

HttpRequest request(std::string method, std::string url, Headers headers = {}, std::string body = {}) {
  HttpRequest r;
  r.method = std::move(method);
  r.url = std::move(url);
  r.headers = std::move(headers);
  r.body = std::move(body);
  return r;
}

bool same_name(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

int count(const HttpRequest& r, const std::string& name) {
  return static_cast<int>(
      std::count_if(r.headers.begin(), r.headers.end(), [&](const auto& h) { return same_name(h.first, name); }));
}

std::string value(const HttpRequest& r, const std::string& name) {
  for (const auto& [k, v] : r.headers) {
    if (same_name(k, name)) return v;
  }
  return "<absent>";
}

std::string authorization(HttpRequest r, const SigningInput& in, const Credentials& c = creds()) {
  sign_request(r, c, in, "");
  return value(r, "Authorization");
}

}  // namespace

// Expected values computed once with the reference SDK's signer for the same requests.
TEST(Sigv4KnownAnswers, QueryGetWithoutToken) {
  auto r = request("GET", "https://ec2.eu-west-1.amazonaws.com/?Action=DescribeRegions&Version=2016-11-15");
  sign_request(r, creds(), input("ec2", "eu-west-1"), sha256_hex(""));
  EXPECT_EQ(value(r, "X-Amz-Date"), "20231114T221320Z");
  EXPECT_EQ(value(r, "Host"), "ec2.eu-west-1.amazonaws.com");
  EXPECT_EQ(value(r, "Authorization"),
            "AWS4-HMAC-SHA256 Credential=AKIDEXAMPLE/20231114/eu-west-1/ec2/aws4_request, "
            "SignedHeaders=host;x-amz-date, "
            "Signature=ee648389a2b92d7da188f35a97ed8e3da3312333d65dd4e5224cf20d6df9ea42");
}

TEST(Sigv4KnownAnswers, FormPostWithSessionToken) {
  auto r = request("POST", "https://iam.amazonaws.com/",
                   {{"Content-Type", "application/x-www-form-urlencoded; charset=utf-8"}},
                   "Action=ListPolicies&Version=2010-05-08");
  sign_request(r, creds("FQoGZXIvYXdzEXAMPLE"), input("iam", "us-east-1"), "");
  EXPECT_EQ(value(r, "X-Amz-Security-Token"), "FQoGZXIvYXdzEXAMPLE");
  EXPECT_EQ(value(r, "Authorization"),
            "AWS4-HMAC-SHA256 Credential=AKIDEXAMPLE/20231114/us-east-1/iam/aws4_request, "
            "SignedHeaders=content-type;host;x-amz-date;x-amz-security-token, "
            "Signature=986808801de6436fab1c149352e1c7346253058210fa726eaf7c5dfc5455800b");
}

TEST(Sigv4KnownAnswers, S3PutWithEncodedKey) {
  auto r = request("PUT", "https://my-bucket.s3.us-west-2.amazonaws.com/logs/a%20b%2Bc~d.txt", {}, "hello");
  sign_request(r, creds(), input("s3", "us-west-2", true), sha256_hex("hello"));
  EXPECT_EQ(value(r, "X-Amz-Content-SHA256"), "2cf24dba5fb0a30e26e83b2ac5b9e29e1b161e5c1fa7425e73043362938b9824");
  EXPECT_EQ(value(r, "Authorization"),
            "AWS4-HMAC-SHA256 Credential=AKIDEXAMPLE/20231114/us-west-2/s3/aws4_request, "
            "SignedHeaders=host;x-amz-content-sha256;x-amz-date, "
            "Signature=00e640d34f0ceee9acc6861f32c69cc7d33ef2a5c912473d6b110718676111b1");
}

TEST(Sigv4Hashing, Sha256OfTextAndOfAStreamedFile) {
  EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

  // Larger than one read chunk, with a partial last chunk.
  std::string content((1 << 20) * 2 + 123, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 % 251);
  const auto path = std::filesystem::temp_directory_path() / ("sigv4_test_" + std::to_string(::getpid()));
  std::ofstream(path, std::ios::binary) << content;
  EXPECT_EQ(sha256_file_hex(path), sha256_hex(content));

  // An empty payload hash makes the signer hash the upload file itself.
  auto r = request("PUT", "https://b.s3.amazonaws.com/k");
  r.upload_file = path;
  sign_request(r, creds(), input("s3", "us-east-1", true), "");
  EXPECT_EQ(value(r, "X-Amz-Content-SHA256"), sha256_hex(content));
  std::filesystem::remove(path);

  EXPECT_THROW(sha256_file_hex(path), AwsError);
}

TEST(Sigv4Resigning, ReplacesEarlierSigningHeaders) {
  auto r = request("POST", "https://sts.eu-west-1.amazonaws.com/", {{"Content-Type", "text/plain"}}, "x");
  sign_request(r, creds("token-1"), input("sts", "eu-west-1"), "");
  auto later = input("sts", "eu-west-1");
  later.time = kTime + std::chrono::hours(1);
  sign_request(r, creds("token-2"), later, "");
  for (const char* name : {"Authorization", "X-Amz-Date", "X-Amz-Security-Token", "Host", "Content-Type"}) {
    EXPECT_EQ(count(r, name), 1) << name;
  }
  EXPECT_EQ(value(r, "X-Amz-Security-Token"), "token-2");
  EXPECT_EQ(value(r, "X-Amz-Date"), "20231114T231320Z");

  // The second signature is the one a never-signed copy would get.
  auto fresh = request("POST", "https://sts.eu-west-1.amazonaws.com/", {{"Content-Type", "text/plain"}}, "x");
  EXPECT_EQ(value(r, "Authorization"), authorization(fresh, later, creds("token-2")));
}

TEST(Sigv4Resigning, RefreshedCredentialsWithoutTokenDropTheOldToken) {
  auto r = request("GET", "https://ec2.us-east-1.amazonaws.com/");
  sign_request(r, creds("old-token"), input("ec2", "us-east-1"), "");
  sign_request(r, creds(), input("ec2", "us-east-1"), "");
  EXPECT_EQ(count(r, "X-Amz-Security-Token"), 0);
  EXPECT_EQ(value(r, "Authorization").find("x-amz-security-token"), std::string::npos);
}

TEST(Sigv4Resigning, RedirectToAnotherHostAndRegionIsSignedForTheNewOne) {
  auto r = request("GET", "https://bucket.s3.amazonaws.com/key");
  sign_request(r, creds(), input("s3", "us-east-1", true), "");
  r.url = "https://bucket.s3.eu-west-1.amazonaws.com/key";
  sign_request(r, creds(), input("s3", "eu-west-1", true), "");
  EXPECT_EQ(value(r, "Host"), "bucket.s3.eu-west-1.amazonaws.com");
  EXPECT_EQ(count(r, "X-Amz-Content-SHA256"), 1);
  EXPECT_NE(value(r, "Authorization").find("/eu-west-1/s3/aws4_request"), std::string::npos);
}

TEST(Sigv4HeaderCanonicalisation, ValuesAreTrimmedAndInnerRunsCollapsed) {
  const auto in = input("ec2", "us-east-1");
  const auto url = "https://ec2.us-east-1.amazonaws.com/";
  EXPECT_EQ(authorization(request("GET", url, {{"X-Custom", "  a   b\t\tc  "}}), in),
            authorization(request("GET", url, {{"X-Custom", "a b c"}}), in));
  EXPECT_NE(authorization(request("GET", url, {{"X-Custom", "a b c"}}), in),
            authorization(request("GET", url, {{"X-Custom", "abc"}}), in));
}

TEST(Sigv4HeaderCanonicalisation, NameCaseIgnoredButRepeatedNamesKeepTheirOrder) {
  const auto in = input("ec2", "us-east-1");
  const auto url = "https://ec2.us-east-1.amazonaws.com/";
  EXPECT_EQ(authorization(request("GET", url, {{"X-Custom", "v"}}), in),
            authorization(request("GET", url, {{"x-CUSTOM", "v"}}), in));
  const auto ab = authorization(request("GET", url, {{"X-Dup", "a"}, {"x-dup", "b"}}), in);
  EXPECT_NE(ab, authorization(request("GET", url, {{"X-Dup", "b"}, {"x-dup", "a"}}), in));
  EXPECT_NE(ab.find("SignedHeaders=host;x-amz-date;x-dup,"), std::string::npos) << ab;
}

TEST(Sigv4HeaderCanonicalisation, TransportHeadersAreNotSigned) {
  const auto in = input("ec2", "us-east-1");
  const auto url = "https://ec2.us-east-1.amazonaws.com/";
  const auto plain = authorization(request("GET", url), in);
  EXPECT_EQ(plain, authorization(request("GET", url,
                                         {{"User-Agent", "quenfold/1"},
                                          {"Expect", "100-continue"},
                                          {"Connection", "keep-alive"},
                                          {"X-Amzn-Trace-Id", "Root=1"}}),
                                 in));
  EXPECT_NE(plain, authorization(request("GET", url, {{"Accept", "*/*"}}), in));
}

TEST(Sigv4Paths, NonS3PathsAreNormalisedBeforeSigning) {
  const auto in = input("ec2", "us-east-1");
  const auto base = std::string("https://ec2.us-east-1.amazonaws.com");
  const auto ac = authorization(request("GET", base + "/a/c"), in);
  EXPECT_EQ(ac, authorization(request("GET", base + "/a/./b/../c"), in));
  EXPECT_EQ(ac, authorization(request("GET", base + "//a//c"), in));
  EXPECT_NE(ac, authorization(request("GET", base + "/a/c/"), in));  // a trailing slash is kept
  EXPECT_EQ(authorization(request("GET", base + "/"), in), authorization(request("GET", base), in));
  EXPECT_EQ(authorization(request("GET", base + "/.."), in), authorization(request("GET", base + "/"), in));
}

TEST(Sigv4Paths, S3PathsAreSignedAsSent) {
  const auto in = input("s3", "us-east-1", true);
  const auto base = std::string("https://b.s3.amazonaws.com");
  EXPECT_NE(authorization(request("GET", base + "/a/c"), in), authorization(request("GET", base + "/a/./b/../c"), in));
  EXPECT_NE(authorization(request("GET", base + "/a/c"), in), authorization(request("GET", base + "/a//c"), in));
}

TEST(Sigv4Query, CanonicalQueryIgnoresOrderAndLooseEncoding) {
  const auto in = input("s3", "us-east-1", true);
  const auto base = std::string("https://b.s3.amazonaws.com/?");
  const auto sorted = authorization(request("GET", base + "a=1&b=2&prefix=x%2Fy%20z"), in);
  EXPECT_EQ(sorted, authorization(request("GET", base + "prefix=x/y%20z&b=2&a=1"), in));
  EXPECT_NE(sorted, authorization(request("GET", base + "a=1&b=2&prefix=x%2Fy%2Bz"), in));
  EXPECT_EQ(authorization(request("GET", base + "uploads"), in), authorization(request("GET", base + "uploads="), in));
  // Repeated keys sort by value.
  EXPECT_EQ(authorization(request("GET", base + "k=2&k=1"), in), authorization(request("GET", base + "k=1&k=2"), in));
}

TEST(Sigv4Headers, HostDropsTheDefaultPortOnly) {
  auto r = request("GET", "https://EC2.Example.com:443/");
  sign_request(r, creds(), input("ec2", "us-east-1"), "");
  EXPECT_EQ(value(r, "Host"), "ec2.example.com");
  auto loopback = request("GET", "http://127.0.0.1:4566/");
  sign_request(loopback, creds(), input("ec2", "us-east-1"), "");
  EXPECT_EQ(value(loopback, "Host"), "127.0.0.1:4566");
}

TEST(Sigv4Headers, DateHeaderReplacesXAmzDate) {
  auto r = request("GET", "https://iam.amazonaws.com/", {{"Date", "stale"}});
  sign_request(r, creds(), input("iam", "us-east-1"), "");
  EXPECT_EQ(value(r, "Date"), "Tue, 14 Nov 2023 22:13:20 -0000");
  EXPECT_EQ(count(r, "X-Amz-Date"), 0);
}

TEST(Sigv4Headers, SecretAppearsNowhere) {
  auto r = request("POST", "https://sts.amazonaws.com/", {}, "Action=GetCallerIdentity");
  sign_request(r, creds("tok"), input("sts", "us-east-1"), "");
  for (const auto& [k, v] : r.headers) EXPECT_EQ(v.find(kSecret), std::string::npos) << k;
}

TEST(Sigv4Headers, InvalidUrlIsRefused) {
  auto r = request("GET", "not a url");
  EXPECT_THROW(sign_request(r, creds(), input("ec2", "us-east-1"), ""), AwsError);
}
