// The protocol layer on the cases the botocore contract test does not reach: refusals, malformed
// answers, error bodies of every shape, timestamp spellings, and the shape tables themselves.
#include <gtest/gtest.h>

#include "awsapi/base/error.h"
#include "awsapi/protocol/protocol.h"
#include "awsapi/protocol/shapes.h"
#include "awsapi/protocol/shapes_wire.h"

namespace quenfold_testlibs::awsapi {
namespace {

HttpResponse answer(int status, std::string body, Headers headers = {}) {
  HttpResponse r;
  r.status = status;
  r.body = std::move(body);
  r.headers = std::move(headers);
  return r;
}

TEST(ProtocolDispatch, ServicesMapToTheirProtocolsAndVersions) {
  EXPECT_EQ(protocol_of("ec2"), Protocol::Ec2);
  EXPECT_EQ(protocol_of("iam"), Protocol::Query);
  EXPECT_EQ(protocol_of("sts"), Protocol::Query);
  EXPECT_EQ(protocol_of("ssm"), Protocol::Json);
  EXPECT_EQ(protocol_of("s3"), Protocol::RestXml);
  EXPECT_EQ(api_version_of("ec2"), "2016-11-15");
  EXPECT_EQ(api_version_of("iam"), "2010-05-08");
  EXPECT_EQ(api_version_of("sts"), "2011-06-15");
  EXPECT_THROW(protocol_of("lambda"), std::invalid_argument);
}

TEST(ProtocolDispatch, UnmodelledOperationsAreRefusedBothWays) {
  EXPECT_THROW(serialize_request("ec2", "DescribeVpcs", json::object()), std::invalid_argument);
  EXPECT_THROW(parse_response("iam", "ListUsers", answer(200, "<x/>")), std::invalid_argument);
  EXPECT_THROW(serialize_request("dynamodb", "GetItem", json::object()), std::invalid_argument);
}

TEST(ProtocolDispatch, IdempotencyTokensAreKnownPerOperation) {
  EXPECT_EQ(idempotency_token_member("ec2", "RunInstances"), "ClientToken");
  EXPECT_EQ(idempotency_token_member("ec2", "CreateNetworkInterface"), "ClientToken");
  EXPECT_EQ(idempotency_token_member("ec2", "DescribeInstances"), std::nullopt);
}

TEST(ProtocolSerialize, RefusesWhatTheInputShapeDoesNotAllow) {
  // Unknown member, at the top and nested.
  EXPECT_THROW(serialize_request("ec2", "DescribeInstances", {{"Filter", json::array()}}), std::invalid_argument);
  EXPECT_THROW(serialize_request("ec2", "DescribeInstances", {{"Filters", {{{"Nam", "x"}}}}}), std::invalid_argument);
  // Wrong JSON types and nulls.
  EXPECT_THROW(serialize_request("ec2", "RunInstances", {{"MinCount", "1"}}), std::invalid_argument);
  EXPECT_THROW(serialize_request("ec2", "DescribeKeyPairs", {{"IncludePublicKey", "true"}}), std::invalid_argument);
  EXPECT_THROW(serialize_request("ec2", "DescribeInstances", {{"InstanceIds", "i-1"}}), std::invalid_argument);
  EXPECT_THROW(serialize_request("iam", "DeleteRole", {{"RoleName", nullptr}}), std::invalid_argument);
  EXPECT_THROW(serialize_request("ssm", "GetParameter", {{"Name", 5}}), std::invalid_argument);
  EXPECT_THROW(serialize_request("ssm", "GetParameter", {{"Name", "\xff"}}), std::invalid_argument);
}

TEST(ProtocolSerialize, NoParametersStillNameTheAction) {
  WireRequest w = serialize_request("sts", "GetCallerIdentity", json());
  EXPECT_EQ(w.method, "POST");
  EXPECT_EQ(w.body, "Action=GetCallerIdentity&Version=2011-06-15");
  EXPECT_EQ(serialize_request("ssm", "GetParametersByPath", json::object()).body, "{}");
}

TEST(ProtocolSerialize, S3NeedsBucketAndKeyAndHandsTheBucketOver) {
  EXPECT_THROW(serialize_request("s3", "GetObject", {{"Bucket", "b"}}), std::invalid_argument);
  EXPECT_THROW(serialize_request("s3", "GetObject", {{"Key", "k"}}), std::invalid_argument);
  WireRequest w =
      serialize_request("s3", "PutObject", {{"Bucket", "b"}, {"Key", "/a//b c"}, {"Metadata", {{"x", "1"}}}});
  EXPECT_EQ(w.method, "PUT");
  EXPECT_EQ(w.bucket, "b");
  EXPECT_EQ(w.path, "//a//b%20c");
  EXPECT_EQ(w.query, "");
  ASSERT_EQ(w.headers.size(), 1u);
  EXPECT_EQ(w.headers[0], (std::pair<std::string, std::string>{"x-amz-meta-x", "1"}));
}

TEST(ProtocolParse, MalformedXmlIsAParseErrorThatNeverQuotesTheBody) {
  const std::string secret = "wJalrXUtnFEMI/K7MDENG/bPxRfiCYzEXAMPLEKEY";
  std::string body = "<AssumeRoleResponse><AssumeRoleResult><Credentials><SecretAccessKey>" + secret +
                     "</SecretAccessKey></Credentials>";
  try {
    parse_response("sts", "AssumeRole", answer(200, body));
    FAIL() << "no ParseError";
  } catch (const ParseError& e) {
    EXPECT_EQ(std::string(e.what()).find(secret), std::string::npos);
  }
  EXPECT_THROW(parse_response("ec2", "CreateTags", answer(200, "")), ParseError);
  EXPECT_THROW(parse_response("ec2", "DescribeInstances", answer(200, "<html><body>oops")), ParseError);
}

TEST(ProtocolParse, QueryAnswerWithoutItsResultElementIsAParseError) {
  EXPECT_THROW(parse_response("sts", "GetCallerIdentity",
                              answer(200, "<GetCallerIdentityResponse><Other/></GetCallerIdentityResponse>")),
               ParseError);
  // Operations without a modelled answer need no result element.
  EXPECT_EQ(parse_response("iam", "DeleteRole", answer(200, "<DeleteRoleResponse/>")), json::object());
}

TEST(ProtocolParse, UnreadableNumbersAreParseErrors) {
  const char* body =
      "<DescribeInstancesResponse><reservationSet><item><instancesSet><item><amiLaunchIndex>x1</amiLaunchIndex>"
      "</item></instancesSet></item></reservationSet></DescribeInstancesResponse>";
  EXPECT_THROW(parse_response("ec2", "DescribeInstances", answer(200, body)), ParseError);
}

TEST(ProtocolParse, AnInstancesWireNamesBecomeItsMembers) {
  const char* body =
      "<DescribeInstancesResponse><reservationSet><item><instancesSet><item><instanceId>i-1</instanceId>"
      "<ipAddress>203.0.113.7</ipAddress><privateIpAddress>10.0.0.5</privateIpAddress>"
      "<networkInterfaceSet><item><networkInterfaceId>eni-1</networkInterfaceId>"
      "<association><publicIp>203.0.113.7</publicIp></association></item></networkInterfaceSet>"
      "</item></instancesSet></item></reservationSet></DescribeInstancesResponse>";
  const json instance =
      parse_response("ec2", "DescribeInstances", answer(200, body))["Reservations"][0]["Instances"][0];
  EXPECT_EQ(instance["PublicIpAddress"], "203.0.113.7");
  EXPECT_EQ(instance["PrivateIpAddress"], "10.0.0.5");
  EXPECT_EQ(instance["NetworkInterfaces"][0]["Association"]["PublicIp"], "203.0.113.7");
}

TEST(ProtocolParse, XmlBooleansAreTrueOnlyForTrue) {
  const char* body =
      "<DeleteSecurityGroupResponse xmlns:e=\"urn:x\"><e:return>TRUE</e:return><groupId> sg-1 </groupId>"
      "</DeleteSecurityGroupResponse>";
  json r = parse_response("ec2", "DeleteSecurityGroup", answer(200, body));
  EXPECT_EQ(r, (json{{"Return", false}, {"GroupId", " sg-1 "}}));
}

TEST(ProtocolParse, JsonAnswersMustBeJsonObjects) {
  EXPECT_THROW(parse_response("ssm", "GetParameter", answer(200, "not json")), ParseError);
  EXPECT_THROW(parse_response("ssm", "GetParameter", answer(200, "[1]")), ParseError);
  EXPECT_EQ(parse_response("ssm", "GetParameter", answer(200, "")), json::object());
  // Nulls are absent members, as the reference SDK reads them.
  EXPECT_EQ(parse_response("ssm", "GetParameter", answer(200, R"({"Parameter": null})")), json::object());
}

TEST(ProtocolErrors, Ec2QueryAndS3BodiesGiveCodeMessageAndRequestId) {
  auto e = parse_error("ec2", answer(400,
                                     "<Response><Errors><Error><Code>InvalidKeyPair.Duplicate</Code>"
                                     "<Message>exists</Message></Error></Errors><RequestID>r1</RequestID></Response>"));
  EXPECT_EQ(e.code, "InvalidKeyPair.Duplicate");
  EXPECT_EQ(e.message, "exists");
  EXPECT_EQ(e.request_id, "r1");

  e = parse_error("iam", answer(409,
                                "<ErrorResponse><Error><Type>Sender</Type><Code>EntityAlreadyExists</Code>"
                                "</Error><RequestId>r2</RequestId></ErrorResponse>"));
  EXPECT_EQ(e.code, "EntityAlreadyExists");
  EXPECT_EQ(e.message, "");
  EXPECT_EQ(e.request_id, "r2");

  e = parse_error(
      "s3", answer(403, "<Error><Code>AccessDenied</Code><Message>no</Message><RequestId>body-id</RequestId></Error>",
                   {{"x-amz-request-id", "header-id"}}));
  EXPECT_EQ(e.code, "AccessDenied");
  EXPECT_EQ(e.request_id, "header-id");
}

TEST(ProtocolErrors, BodiesWithoutAnErrorGiveTheStatus) {
  auto e = parse_error("s3", answer(404, "", {{"x-amz-request-id", "id"}}));
  EXPECT_EQ(e.code, "404");
  EXPECT_EQ(e.message, "Not Found");
  EXPECT_EQ(e.request_id, "id");

  e = parse_error("ec2", answer(503, "<html><body>busy</body></html>"));
  EXPECT_EQ(e.code, "503");
  EXPECT_EQ(e.message, "Service Unavailable");

  // Where the reference SDK would raise a parse error, the status still makes a usable error.
  e = parse_error("iam", answer(400, "<ErrorResponse><Error>"));
  EXPECT_EQ(e.code, "400");
  e = parse_error("sts", answer(403, "<ErrorResponse><Something/></ErrorResponse>"));
  EXPECT_EQ(e.code, "403");
  EXPECT_EQ(e.message, "Forbidden");
}

TEST(ProtocolErrors, JsonTypesLoseTheirNamespaceAndSuffix) {
  auto e = parse_error("ssm", answer(400, R"({"__type":"com.amazonaws.ssm#ParameterNotFound","message":"m"})",
                                     {{"x-amzn-requestid", "r"}}));
  EXPECT_EQ(e.code, "ParameterNotFound");
  EXPECT_EQ(e.message, "m");
  EXPECT_EQ(e.request_id, "r");
  e = parse_error("ssm", answer(400, R"({"__type":"a#b:c","Message":"M"})"));
  EXPECT_EQ(e.code, "b");
  EXPECT_EQ(e.message, "M");
  e = parse_error("ssm",
                  answer(400, R"({"__type":"x#Y"})", {{"x-amzn-query-error", "AWS.SimpleQueueService.X;Sender"}}));
  EXPECT_EQ(e.code, "AWS.SimpleQueueService.X");
  e = parse_error("ssm", answer(429, "Too many"));
  EXPECT_EQ(e.code, "429");
  EXPECT_EQ(e.message, "Too many");
}

TEST(ProtocolTimestamps, EverySpellingBecomesIsoUtc) {
  using wire::normalize_timestamp;
  EXPECT_EQ(normalize_timestamp("2026-12-07T21:00:00Z"), "2026-12-07T21:00:00Z");
  EXPECT_EQ(normalize_timestamp("2026-12-07T21:00:00.000Z"), "2026-12-07T21:00:00Z");
  EXPECT_EQ(normalize_timestamp("2026-12-07T21:00:00.123987Z"), "2026-12-07T21:00:00.123Z");
  EXPECT_EQ(normalize_timestamp("2026-12-08T01:30:00+02:00"), "2026-12-07T23:30:00Z");
  EXPECT_EQ(normalize_timestamp("2026-12-31T23:30:00-0100"), "2027-01-01T00:30:00Z");
  EXPECT_EQ(normalize_timestamp("2024-02-29T12:00:00"), "2024-02-29T12:00:00Z");
  EXPECT_EQ(normalize_timestamp("Wed, 12 Oct 2009 17:50:00 GMT"), "2009-10-12T17:50:00Z");
  EXPECT_EQ(normalize_timestamp("1765141141.5"), "2025-12-07T20:59:01.500Z");
  EXPECT_EQ(wire::timestamp_from_epoch(0), "1970-01-01T00:00:00Z");
  EXPECT_EQ(wire::http_date_of_timestamp("2009-10-12T17:50:00Z"), "Mon, 12 Oct 2009 17:50:00 GMT");
  for (const char* bad : {"", "yesterday", "2026-02-30T00:00:00Z", "2026-12-07", "2026-12-07T21:00:00Zjunk"})
    EXPECT_THROW(normalize_timestamp(bad), ParseError) << bad;
}

TEST(ProtocolText, ReferenceSdkJsonSpelling) {
  json v = {{"a", "é\"\n\x01"}, {"b", json::array({1, true, nullptr})}, {"c", json::object()}, {"d", "😀"}};
  EXPECT_EQ(wire::sdk_json_text(v), R"({"a": "\u00e9\"\n\u0001", "b": [1, true, null], "c": {}, "d": "\ud83d\ude00"})");
}

TEST(ProtocolText, FormEncoding) { EXPECT_EQ(wire::form_encode({{"A.1", "a b+c/~é*"}}), "A.1=a+b%2Bc%2F~%C3%A9%2A"); }

TEST(ProtocolShapes, EveryServiceTableBuildsAndLinks) {
  for (const char* s : {"ec2", "iam", "sts", "ssm", "servicequotas", "s3"}) {
    const auto& m = shapes::service_model(s);
    EXPECT_FALSE(m.operations.empty()) << s;
    for (const auto& [name, op] : m.operations) EXPECT_NE(op.input, nullptr) << s << " " << name;
  }
  const auto& ec2 = shapes::service_model("ec2");
  const auto* reservations = ec2.operation("DescribeInstances").output->member("Reservations");
  ASSERT_NE(reservations, nullptr);
  EXPECT_EQ(reservations->wire, "reservationSet");
  EXPECT_EQ(reservations->shape->kind, shapes::Kind::List);
  EXPECT_EQ(reservations->shape->element->name, "Reservation");
}

TEST(ProtocolShapes, MalformedTablesAreRefused) {
  const shapes::ShapeText dangling[] = {{"A", "B:Missing"}};
  const shapes::OperationText ops[] = {{"Op", "A", ""}};
  shapes::ServiceText text{"x", Protocol::Query, "1", "", dangling, 1, ops, 1};
  EXPECT_THROW(shapes::build_model(text), std::logic_error);
  const shapes::ShapeText bad_token[] = {{"A", "B!z"}};
  text.shapes = bad_token;
  EXPECT_THROW(shapes::build_model(text), std::logic_error);
  const shapes::ShapeText twice[] = {{"A", ""}, {"A", ""}};
  text.shapes = twice;
  text.shape_count = 2;
  EXPECT_THROW(shapes::build_model(text), std::logic_error);
}

}  // namespace
}  // namespace quenfold_testlibs::awsapi
