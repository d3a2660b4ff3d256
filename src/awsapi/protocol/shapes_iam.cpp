// IAM: policies, roles and instance profiles, and the simulation of a principal's policies.
// Member names, wire names and types as the service's API defines them: requests carry only
// what the tool may send, answers every member. Syntax: see shapes.h.
#include "awsapi/protocol/shapes.h"

namespace quenfold_testlibs::awsapi::shapes {

namespace {

const ShapeText kShapes[] = {
    {"ListInstanceProfilesForRoleRequest", "RoleName Marker MaxItems:i"},
    {"ListInstanceProfilesForRoleResponse", "InstanceProfiles:[InstanceProfile] IsTruncated:b Marker"},
    {"InstanceProfile", "Path InstanceProfileName InstanceProfileId Arn CreateDate:t Roles:[Role] Tags:[Tag]"},
    {"Role",
     "Path RoleName RoleId Arn CreateDate:t AssumeRolePolicyDocument Description "
     "MaxSessionDuration:i PermissionsBoundary:AttachedPermissionsBoundary Tags:[Tag] "
     "RoleLastUsed:RoleLastUsed"},
    {"AttachedPermissionsBoundary", "PermissionsBoundaryType PermissionsBoundaryArn"},
    {"Tag", "Key Value"},
    {"RoleLastUsed", "LastUsedDate:t Region"},
    {"CreatePolicyRequest", "PolicyName Path PolicyDocument Description Tags:[Tag]"},
    {"CreatePolicyResponse", "Policy:Policy"},
    {"Policy",
     "PolicyName PolicyId Arn Path DefaultVersionId AttachmentCount:i "
     "PermissionsBoundaryUsageCount:i IsAttachable:b Description CreateDate:t UpdateDate:t "
     "Tags:[Tag]"},
    {"CreateRoleRequest",
     "Path RoleName AssumeRolePolicyDocument Description MaxSessionDuration:i PermissionsBoundary "
     "Tags:[Tag]"},
    {"CreateRoleResponse", "Role:Role"},
    {"AttachRolePolicyRequest", "RoleName PolicyArn"},
    {"CreateInstanceProfileRequest", "InstanceProfileName Path Tags:[Tag]"},
    {"CreateInstanceProfileResponse", "InstanceProfile:InstanceProfile"},
    {"AddRoleToInstanceProfileRequest", "InstanceProfileName RoleName"},
    {"RemoveRoleFromInstanceProfileRequest", "InstanceProfileName RoleName"},
    {"DeleteInstanceProfileRequest", "InstanceProfileName"},
    {"GetInstanceProfileRequest", "InstanceProfileName"},
    {"GetInstanceProfileResponse", "InstanceProfile:InstanceProfile"},
    {"ListPoliciesRequest", "Scope OnlyAttached:b PathPrefix PolicyUsageFilter Marker MaxItems:i"},
    {"ListPoliciesResponse", "Policies:[Policy] IsTruncated:b Marker"},
    {"DetachRolePolicyRequest", "RoleName PolicyArn"},
    {"DeletePolicyRequest", "PolicyArn"},
    {"DeleteRoleRequest", "RoleName"},
    {"GetRoleRequest", "RoleName"},
    {"GetRoleResponse", "Role:Role"},
    {"GetPolicyRequest", "PolicyArn"},
    {"GetPolicyResponse", "Policy:Policy"},
    {"SimulatePrincipalPolicyRequest",
     "PolicySourceArn ActionNames:[] ResourceArns:[] ContextEntries:[ContextEntry] MaxItems:i Marker"},
    {"ContextEntry", "ContextKeyName ContextKeyValues:[] ContextKeyType"},
    {"SimulatePolicyResponse", "EvaluationResults:[EvaluationResult] IsTruncated:b Marker"},
    {"EvaluationResult",
     "EvalActionName EvalResourceName EvalDecision MatchedStatements:[Statement] MissingContextValues:[] "
     "OrganizationsDecisionDetail:OrganizationsDecisionDetail "
     "PermissionsBoundaryDecisionDetail:PermissionsBoundaryDecisionDetail EvalDecisionDetails:{} "
     "ResourceSpecificResults:[ResourceSpecificResult]"},
    {"Statement", "SourcePolicyId SourcePolicyType StartPosition:Position EndPosition:Position"},
    {"Position", "Line:i Column:i"},
    {"OrganizationsDecisionDetail", "AllowedByOrganizations:b"},
    {"PermissionsBoundaryDecisionDetail", "AllowedByPermissionsBoundary:b"},
    {"ResourceSpecificResult",
     "EvalResourceName EvalResourceDecision MatchedStatements:[Statement] MissingContextValues:[] "
     "EvalDecisionDetails:{} PermissionsBoundaryDecisionDetail:PermissionsBoundaryDecisionDetail"},
};

const OperationText kOperations[] = {
    {"ListInstanceProfilesForRole", "ListInstanceProfilesForRoleRequest", "ListInstanceProfilesForRoleResponse"},
    {"CreatePolicy", "CreatePolicyRequest", "CreatePolicyResponse"},
    {"CreateRole", "CreateRoleRequest", "CreateRoleResponse"},
    {"AttachRolePolicy", "AttachRolePolicyRequest", ""},
    {"CreateInstanceProfile", "CreateInstanceProfileRequest", "CreateInstanceProfileResponse"},
    {"AddRoleToInstanceProfile", "AddRoleToInstanceProfileRequest", ""},
    {"RemoveRoleFromInstanceProfile", "RemoveRoleFromInstanceProfileRequest", ""},
    {"DeleteInstanceProfile", "DeleteInstanceProfileRequest", ""},
    {"GetInstanceProfile", "GetInstanceProfileRequest", "GetInstanceProfileResponse"},
    {"ListPolicies", "ListPoliciesRequest", "ListPoliciesResponse"},
    {"DetachRolePolicy", "DetachRolePolicyRequest", ""},
    {"DeletePolicy", "DeletePolicyRequest", ""},
    {"DeleteRole", "DeleteRoleRequest", ""},
    {"GetRole", "GetRoleRequest", "GetRoleResponse"},
    {"GetPolicy", "GetPolicyRequest", "GetPolicyResponse"},
    {"SimulatePrincipalPolicy", "SimulatePrincipalPolicyRequest", "SimulatePolicyResponse"},
};

}  // namespace

const ServiceText kIamText{"iam",   Protocol::Query,    "2010-05-08", "",
                           kShapes, std::size(kShapes), kOperations,  std::size(kOperations)};

}  // namespace quenfold_testlibs::awsapi::shapes
