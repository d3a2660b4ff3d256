// What the protocol files share: the per-protocol entry points that protocol.cpp dispatches to,
// and the small text conversions of the wire (timestamps, form-encoding, the reference SDK's JSON
// spelling).
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "awsapi/protocol/protocol.h"
#include "awsapi/protocol/shapes.h"

namespace quenfold_testlibs::awsapi::wire {

// ec2 and query: form-encoded POST; answers in XML (protocol_form.cpp).
WireRequest serialize_form(const shapes::ServiceModel& model, const shapes::Operation& op, const json& params);
json parse_xml_response(const shapes::ServiceModel& model, const shapes::Operation& op, const HttpResponse& r);

// JSON 1.1: SSM, Service Quotas (protocol_json.cpp).
WireRequest serialize_json(const shapes::ServiceModel& model, const shapes::Operation& op, const json& params);
json parse_json_response(const shapes::ServiceModel& model, const shapes::Operation& op, const HttpResponse& r);

// S3 objects, rest-xml (protocol_restxml.cpp).
WireRequest serialize_rest_xml(const shapes::ServiceModel& model, const shapes::Operation& op, const json& params);
json parse_rest_xml_response(const shapes::ServiceModel& model, const shapes::Operation& op, const HttpResponse& r);

// Timestamps as the reference SDK writes them, from any text parse_timestamp (timestamp.h) reads.
// ISO 8601 UTC: "2026-12-07T21:00:00Z", or "2026-12-07T21:00:00.123Z" when there are milliseconds
// (finer digits are cut). Throws ParseError on a text that is no timestamp.
std::string normalize_timestamp(std::string_view text);
std::string timestamp_from_epoch(double seconds);
// Epoch seconds of a timestamp text.
double epoch_of_timestamp(std::string_view text);
// "Wed, 12 Oct 2009 17:50:00 GMT" for a timestamp text (request headers).
std::string http_date_of_timestamp(std::string_view text);

// "prefix.name": the flattened name of a member or entry below `prefix`.
std::string dotted(const std::string& prefix, const std::string& name);
// application/x-www-form-urlencoded as the reference SDK writes it: '+' for blanks, "-_.~" and
// alphanumerics kept, everything else %XX.
std::string form_encode(const std::vector<std::pair<std::string, std::string>>& fields);
// JSON spelled as the reference SDK's serialiser spells it: ", " and ": " separators, non-ASCII
// escaped as \uXXXX (surrogate pairs beyond the BMP). Throws std::invalid_argument on invalid UTF-8.
std::string sdk_json_text(const json& value);

// A scalar member read from XML text or a header, typed as its shape says: integers and doubles
// as numbers, booleans true only for "true" (as the reference SDK reads them), timestamps
// normalised. Throws ParseError when a number does not read.
json scalar_from_text(const shapes::Shape& shape, const std::string& text);

// The reason phrase of an HTTP status ("Not Found"), empty when unknown.
std::string http_reason(int status);

}  // namespace quenfold_testlibs::awsapi::wire
