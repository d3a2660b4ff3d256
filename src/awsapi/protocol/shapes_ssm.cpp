// SSM Parameter Store: reading parameters.
// Member names, wire names and types as the service's API defines them: requests carry only
// what the tool may send, answers every member. Syntax: see shapes.h.
#include "awsapi/protocol/shapes.h"

namespace quenfold_testlibs::awsapi::shapes {

namespace {

const ShapeText kShapes[] = {
    {"GetParameterRequest", "Name WithDecryption:b"},
    {"GetParameterResult", "Parameter:Parameter"},
    {"Parameter", "Name Type Value Version:i Selector SourceResult LastModifiedDate:t ARN DataType"},
    {"GetParametersByPathRequest",
     "Path Recursive:b ParameterFilters:[ParameterStringFilter] WithDecryption:b MaxResults:i "
     "NextToken"},
    {"ParameterStringFilter", "Key Option Values:[]"},
    {"GetParametersByPathResult", "Parameters:[Parameter] NextToken"},
};

const OperationText kOperations[] = {
    {"GetParameter", "GetParameterRequest", "GetParameterResult"},
    {"GetParametersByPath", "GetParametersByPathRequest", "GetParametersByPathResult"},
};

}  // namespace

const ServiceText kSsmText{"ssm",   Protocol::Json,     "2014-11-06", "AmazonSSM",
                           kShapes, std::size(kShapes), kOperations,  std::size(kOperations)};

}  // namespace quenfold_testlibs::awsapi::shapes
