// STS: role assumption, the caller identity and the decoding of an authorisation failure's message.
// Member names, wire names and types as the service's API defines them: requests carry only
// what the tool may send, answers every member. Syntax: see shapes.h.
#include "awsapi/protocol/shapes.h"

namespace quenfold_testlibs::awsapi::shapes {

namespace {

const ShapeText kShapes[] = {
    {"AssumeRoleRequest",
     "RoleArn RoleSessionName PolicyArns:[PolicyDescriptorType] Policy DurationSeconds:i "
     "Tags:[Tag] TransitiveTagKeys:[] ExternalId SerialNumber TokenCode SourceIdentity"},
    {"PolicyDescriptorType", "arn"},
    {"Tag", "Key Value"},
    {"AssumeRoleResponse", "Credentials:Credentials AssumedRoleUser:AssumedRoleUser PackedPolicySize:i SourceIdentity"},
    {"Credentials", "AccessKeyId SecretAccessKey SessionToken Expiration:t"},
    {"AssumedRoleUser", "AssumedRoleId Arn"},
    {"AssumeRoleWithWebIdentityRequest",
     "RoleArn RoleSessionName WebIdentityToken ProviderId PolicyArns:[PolicyDescriptorType] Policy "
     "DurationSeconds:i"},
    {"AssumeRoleWithWebIdentityResponse",
     "Credentials:Credentials SubjectFromWebIdentityToken AssumedRoleUser:AssumedRoleUser "
     "PackedPolicySize:i Provider Audience SourceIdentity"},
    {"GetCallerIdentityRequest", ""},
    {"GetCallerIdentityResponse", "UserId Account Arn"},
    {"DecodeAuthorizationMessageRequest", "EncodedMessage"},
    {"DecodeAuthorizationMessageResponse", "DecodedMessage"},
};

const OperationText kOperations[] = {
    {"AssumeRole", "AssumeRoleRequest", "AssumeRoleResponse"},
    {"AssumeRoleWithWebIdentity", "AssumeRoleWithWebIdentityRequest", "AssumeRoleWithWebIdentityResponse"},
    {"GetCallerIdentity", "GetCallerIdentityRequest", "GetCallerIdentityResponse"},
    {"DecodeAuthorizationMessage", "DecodeAuthorizationMessageRequest", "DecodeAuthorizationMessageResponse"},
};

}  // namespace

const ServiceText kStsText{"sts",   Protocol::Query,    "2011-06-15", "",
                           kShapes, std::size(kShapes), kOperations,  std::size(kOperations)};

}  // namespace quenfold_testlibs::awsapi::shapes
