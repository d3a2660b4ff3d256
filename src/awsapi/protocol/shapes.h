// The shape tables: what each modelled operation sends and gets back, member by member, with
// the wire names and types the protocols need. The tables are compact text (shapes_<service>.cpp)
// read once into linked Shape records; the protocols walk them generically.
#pragma once

#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "awsapi/protocol/protocol.h"

namespace quenfold_testlibs::awsapi::shapes {

enum class Kind { String, Integer, Boolean, Timestamp, Double, Blob, List, Map, Structure };

// Where a member travels. Everything but Body is used by the REST protocol (S3) only.
enum class Location { Body, Header, HeaderPrefix, Query, Uri };

struct Shape;

// Lets wire_index be searched with a string_view, without building a string per lookup.
struct WireNameHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

struct Member {
  std::string name;        // the API's member name ("Reservations")
  std::string wire;        // XML element, JSON key, header or query name ("reservationSet")
  std::string query_name;  // EC2 only: explicit request name overriding the capitalised wire name
  Location location = Location::Body;
  bool idempotency_token = false;
  const Shape* shape = nullptr;
};

struct Shape {
  std::string name;
  Kind kind = Kind::String;
  std::vector<Member> members;     // Structure
  const Shape* element = nullptr;  // List
  // Structure: wire name -> index of the body member that has it.
  std::unordered_map<std::string, std::size_t, WireNameHash, std::equal_to<>> wire_index;

  const Member* member(const std::string& name) const;
  const Member* member_by_wire(std::string_view wire) const;
};

struct Operation {
  std::string name;
  std::string method = "POST";
  const Shape* input = nullptr;
  const Shape* output = nullptr;  // null when the operation answers nothing modelled
};

struct ServiceModel {
  std::string service;
  Protocol protocol;
  std::string api_version;
  std::string target_prefix;  // JSON protocol: X-Amz-Target prefix

  // Throws std::invalid_argument for an operation that is not modelled.
  const Operation& operation(const std::string& name) const;

  std::map<std::string, std::unique_ptr<Shape>> shapes;
  std::map<std::string, Operation> operations;
};

// The model of "ec2", "iam", "sts", "ssm", "servicequotas" or "s3"; throws std::invalid_argument for others.
// Built on first use; safe to call from many threads.
const ServiceModel& service_model(const std::string& service);

// ---- table text, one array per service (shapes_<service>.cpp) ----
//
// A shape is a structure written as a list of member tokens separated by blanks:
//   Name[@wire][^queryName][!loc][*][:type]
// wire defaults to the member name (ec2: with a lower-case first letter, as EC2's XML has it);
// loc is h (header), H (header prefix map), q (query string), u (URI label); '*' marks an
// idempotency token; type is empty (string), i (integer), b (boolean), t (timestamp),
// d (double), B (blob), {} (string map), [elem] (list; [] holds strings) or a structure's name.
struct ShapeText {
  const char* name;
  const char* members;
};
struct OperationText {
  const char* name;
  const char* input;   // shape name
  const char* output;  // shape name, or "" when nothing modelled comes back
  const char* method = "POST";
};
struct ServiceText {
  const char* service;
  Protocol protocol;
  const char* api_version;
  const char* target_prefix;
  const ShapeText* shapes;
  std::size_t shape_count;
  const OperationText* operations;
  std::size_t operation_count;
};

extern const ServiceText kEc2Text;
extern const ServiceText kIamText;
extern const ServiceText kStsText;
extern const ServiceText kSsmText;
extern const ServiceText kServiceQuotasText;
extern const ServiceText kS3Text;

// Reads a ServiceText into a model; throws std::logic_error on a malformed table.
std::unique_ptr<ServiceModel> build_model(const ServiceText& text);

}  // namespace quenfold_testlibs::awsapi::shapes
