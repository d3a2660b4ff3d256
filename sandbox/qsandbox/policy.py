"""The account's guard rails, played as a service control policy would: actions denied outright
(`deny_actions`) or unless the request meets a condition (`require_imdsv2`, `require_tags`,
`require_permissions_boundary`), EC2's dry runs, and the two calls that explain a refusal: STS
DecodeAuthorizationMessage and IAM SimulatePrincipalPolicy.

An explicit deny answers in each service's words, EC2's with an encoded authorization failure
message. That message is self-contained (compressed JSON, URL-safe base64), so the sandbox needs
no memory of it to decode it."""
import base64
import json
import zlib
from urllib.parse import unquote, urlsplit
from xml.sax.saxutils import escape

from . import protocol

# Which tag specifications a create call must carry the required tag keys in.
EC2_TAGGED_CREATES = {"RunInstances": ("instance", "volume"), "CreateSecurityGroup": ("security-group",),
                      "CreateNetworkInterface": ("network-interface",), "AllocateAddress": ("elastic-ip",),
                      "CreateKeyPair": ("key-pair",)}
IAM_TAGGED_CREATES = {"CreateRole": ("role", "RoleName"), "CreatePolicy": ("policy", "PolicyName"),
                      "CreateInstanceProfile": ("instance-profile", "InstanceProfileName")}
# EC2 resource types: what a create call makes, and what an id's prefix names
_EC2_MADE = {"RunInstances": "instance", "CreateNetworkInterface": "network-interface",
             "AllocateAddress": "elastic-ip", "CreateSecurityGroup": "security-group", "CreateVolume": "volume",
             "CreateVpc": "vpc", "CreateSubnet": "subnet", "CreateRouteTable": "route-table",
             "CreateInternetGateway": "internet-gateway"}
_EC2_PREFIXES = (("eipalloc-", "elastic-ip"), ("eni-attach-", "network-interface"), ("eni-", "network-interface"),
                 ("i-", "instance"), ("sg-", "security-group"), ("subnet-", "subnet"), ("vpc-", "vpc"),
                 ("vol-", "volume"), ("igw-", "internet-gateway"), ("rtb-", "route-table"), ("key-", "key-pair"))
_EC2_ID_PARAMS = ("InstanceId", "InstanceId.1", "NetworkInterfaceId", "AttachmentId", "AllocationId", "GroupId",
                  "KeyPairId", "VolumeId", "SubnetId", "VpcId", "RouteTableId", "InternetGatewayId",
                  "ResourceId.1")
_IAM_NAMES = (("InstanceProfileName", "instance-profile"), ("RoleName", "role"), ("PolicyName", "policy"),
              ("UserName", "user"))
# Calls AWS answers whatever the policies say.
NEVER_DENIED = {"sts:getcalleridentity"}
DRY_RUN_MESSAGE = "Request would have succeeded, but DryRun flag is set."


class Place:
    """Where a call lands: partition, region and account, for the ARNs the answers name."""

    def __init__(self, partition, region, account):
        self.partition, self.region, self.account = partition, region, account


def parse_actions(value):
    """The knob deny_actions checked: a list of "service:Action" (or "service:*")."""
    if isinstance(value, str):
        value = json.loads(value) if value.strip().startswith("[") else [v for v in value.split(",") if v]
    if not isinstance(value, list) or not all(isinstance(v, str) and v.count(":") == 1 and all(v.split(":"))
                                              for v in value):
        raise ValueError('deny_actions must be a list of "service:Action"')
    return list(value)


def parse_tag_keys(value):
    """The knob require_tags checked: a list of tag keys."""
    if isinstance(value, str):
        value = json.loads(value) if value.strip().startswith("[") else [v for v in value.split(",") if v]
    if not isinstance(value, list) or not all(isinstance(v, str) and v for v in value):
        raise ValueError("require_tags must be a list of tag keys")
    return list(value)


def parse_boundary(value):
    if value in (None, ""):
        return None
    if not isinstance(value, str) or not value.startswith("arn:"):
        raise ValueError("require_permissions_boundary must be null or a policy ARN")
    return value


class Denial:
    """One explicit deny: the action and resource it hit, the statement that denied it, and the
    condition keys of the statement and of the request (lists of (key, [values]))."""

    def __init__(self, action, resource, statement, statement_conditions=(), request_conditions=()):
        self.action, self.resource, self.statement = action, resource, statement
        self.statement_conditions, self.request_conditions = list(statement_conditions), list(request_conditions)


def is_dry_run(service, params):
    return service == "ec2" and str(params.get("DryRun", "")).lower() == "true"


def denied_outright(deny_actions, action):
    """Whether the list names the action ("ec2:RunInstances", or "ec2:*"); IAM action names are
    case-insensitive."""
    action = action.lower()
    if action in NEVER_DENIED:
        return False
    service = action.split(":", 1)[0]
    return any(entry.lower() in (action, f"{service}:*") for entry in deny_actions)


def denial(cfg, service, op, params, place, path="/"):
    """The Denial a call meets under the knobs cfg (a config snapshot), or None."""
    action = f"{service}:{op}"
    if denied_outright(cfg["deny_actions"], action):
        return Denial(action, resource_arn(service, op, params, place, path), "DenyListedActions")
    if service == "ec2":
        return _ec2_conditions(cfg, op, params, place)
    if service == "iam":
        return _iam_conditions(cfg, op, params, place)
    return None


def _ec2_conditions(cfg, op, params, place):
    """require_imdsv2 on RunInstances; require_tags on the tag specifications of EC2 creates."""
    action = f"ec2:{op}"
    if op == "RunInstances" and cfg["require_imdsv2"]:
        tokens = params.get("MetadataOptions.HttpTokens")
        if tokens != "required":
            return Denial(action, _ec2_arn(place, "instance", "*"), "RequireImdsV2",
                          [("ec2:MetadataHttpTokens", ["required"])],
                          [("ec2:MetadataHttpTokens", [tokens])] if tokens else [])
    required = cfg["require_tags"]
    if required and op in EC2_TAGGED_CREATES:
        given = ec2_tag_keys(params)
        for kind in EC2_TAGGED_CREATES[op]:
            keys = given.get(kind, [])
            if not set(required) <= set(keys):
                name = params.get("KeyName", "*") if kind == "key-pair" else "*"
                return Denial(action, _ec2_arn(place, kind, name), "RequireTags", [("aws:TagKeys", required)],
                              [("aws:TagKeys", keys)] if keys else [])
    return None


def _iam_conditions(cfg, op, params, place):
    """require_permissions_boundary on CreateRole; require_tags on IAM creates."""
    action = f"iam:{op}"
    boundary = cfg["require_permissions_boundary"]
    if op == "CreateRole" and boundary and params.get("PermissionsBoundary") != boundary:
        given = params.get("PermissionsBoundary")
        return Denial(action, _iam_arn(place, "role", params.get("RoleName", "*")), "RequirePermissionsBoundary",
                      [("iam:PermissionsBoundary", [boundary])],
                      [("iam:PermissionsBoundary", [given])] if given else [])
    required = cfg["require_tags"]
    if required and op in IAM_TAGGED_CREATES:
        keys = [v for k, v in params.items() if k.startswith("Tags.member.") and k.endswith(".Key")]
        if not set(required) <= set(keys):
            kind, name_param = IAM_TAGGED_CREATES[op]
            return Denial(action, _iam_arn(place, kind, params.get(name_param, "*")), "RequireTags",
                          [("aws:TagKeys", required)], [("aws:TagKeys", keys)] if keys else [])
    return None


def ec2_tag_keys(params):
    """{resource type: [tag keys]} of an EC2 request's TagSpecification.N entries."""
    kinds, keys = {}, {}
    for name, value in params.items():
        parts = name.split(".")
        if parts[0] != "TagSpecification" or len(parts) < 3:
            continue
        if parts[2] == "ResourceType":
            kinds[parts[1]] = value
        elif parts[2] == "Tag" and len(parts) == 5 and parts[4] == "Key":
            keys.setdefault(parts[1], []).append(value)
    found = {}
    for index, kind in kinds.items():
        found.setdefault(kind, []).extend(keys.get(index, []))
    return found


# ---- resources ---------------------------------------------------------------------------------
def _ec2_arn(place, kind, name):
    return f"arn:{place.partition}:ec2:{place.region}:{place.account}:{kind}/{name}"


def _iam_arn(place, kind, name):
    return f"arn:{place.partition}:iam::{place.account}:{kind}/{name}"


def resource_arn(service, op, params, place, path="/"):
    """The resource AWS names in a refusal of this call, or None where the action has none."""
    if service == "ec2":
        if op == "CreateKeyPair" or (op == "DeleteKeyPair" and params.get("KeyName")):
            return _ec2_arn(place, "key-pair", params.get("KeyName", "*"))
        if op in _EC2_MADE:
            return _ec2_arn(place, _EC2_MADE[op], "*")
        for name in _EC2_ID_PARAMS:
            value = params.get(name, "")
            kind = next((k for prefix, k in _EC2_PREFIXES if value.startswith(prefix)), None)
            if kind:
                return _ec2_arn(place, kind, "*" if value.startswith("eni-attach-") else value)
        return None
    if service == "iam":
        if params.get("PolicyArn"):
            return params["PolicyArn"]
        for name, kind in _IAM_NAMES:
            if params.get(name):
                return _iam_arn(place, kind, params[name])
        return None
    if service == "sts":
        return params.get("RoleArn") or None
    if service == "ssm" and params.get("Name"):
        return f"arn:{place.partition}:ssm:{place.region}:{place.account}:parameter/{params['Name'].lstrip('/')}"
    if service == "servicequotas" and params.get("ServiceCode"):
        code = f"{params['ServiceCode']}/{params['QuotaCode']}" if params.get("QuotaCode") else params["ServiceCode"]
        return f"arn:{place.partition}:servicequotas:{place.region}:{place.account}:{code}"
    if service == "s3":
        target = unquote(urlsplit(path).path).lstrip("/")
        return f"arn:{place.partition}:s3:::{target}" if target else None
    return None


# ---- answers -------------------------------------------------------------------------------------
def _items(pairs):
    return {"items": [{"key": key, "values": {"items": [{"value": v} for v in values]}} for key, values in pairs]}


def document(found, caller, place):
    """The decoded authorization message of a Denial, in AWS's shape."""
    principal_id, principal_arn = caller
    context = [("aws:RequestedRegion", [place.region]), ("aws:PrincipalAccount", [place.account]),
               *found.request_conditions]
    return {
        "allowed": False, "explicitDeny": True,
        "matchedStatements": {"items": [{
            "statementId": found.statement, "effect": "DENY",
            "principals": {"items": [{"value": "*"}]}, "principalGroups": {"items": []},
            "actions": {"items": [{"value": found.action}]}, "resources": {"items": [{"value": "*"}]},
            "conditions": _items(found.statement_conditions)}]},
        "failures": {"items": []},
        "context": {"principal": {"id": principal_id, "arn": principal_arn}, "action": found.action,
                    "resource": found.resource or "*", "conditions": _items(context)},
    }


def encode(doc):
    packed = zlib.compress(json.dumps(doc, separators=(",", ":")).encode(), 9)
    return base64.urlsafe_b64encode(packed).decode().rstrip("=")


def decode(blob):
    """The JSON text of an encoded message, or None if it is not one the sandbox made."""
    try:
        text = zlib.decompress(base64.urlsafe_b64decode(blob + "=" * (-len(blob) % 4))).decode()
        json.loads(text)
        return text
    except (ValueError, zlib.error, UnicodeDecodeError):
        return None


def refusal(found, service, caller, place):
    """The explicit-deny answer in the service's protocol."""
    on = f" on resource: {found.resource}" if found.resource else ""
    text = (f"User: {caller[1]} is not authorized to perform: {found.action}{on} "
            "with an explicit deny in a service control policy")
    if service == "ec2":
        blob = encode(document(found, caller, place))
        return protocol.error_response("ec2", 403, "UnauthorizedOperation",
                                       f"You are not authorized to perform this operation. {text}. "
                                       f"Encoded authorization failure message: {blob}")
    if service in protocol.JSON_SERVICES:
        return protocol.error_response(service, 400, "AccessDeniedException", text)
    return protocol.error_response(service, 403, "AccessDenied", text)


def dry_run_answer():
    return protocol.error_response("ec2", 412, "DryRunOperation", DRY_RUN_MESSAGE)


def _query_answer(service, action, result):
    ns = {"iam": "https://iam.amazonaws.com/doc/2010-05-08/", "sts": "https://sts.amazonaws.com/doc/2011-06-15/"}
    body = (f'<{action}Response xmlns="{ns[service]}"><{action}Result>{result}</{action}Result>'
            f"<ResponseMetadata><RequestId>{protocol.request_id()}</RequestId></ResponseMetadata>"
            f"</{action}Response>")
    return 200, {"Content-Type": "text/xml"}, body.encode()


def decode_answer(params):
    """STS DecodeAuthorizationMessage."""
    text = decode(params.get("EncodedMessage", ""))
    if text is None:
        return protocol.error_response("sts", 400, "InvalidAuthorizationMessageException",
                                       "The encoded authorization message is not valid.")
    return _query_answer("sts", "DecodeAuthorizationMessage", f"<DecodedMessage>{escape(text)}</DecodedMessage>")


def simulate_answer(deny_actions, params):
    """IAM SimulatePrincipalPolicy: per action (and resource) `explicitDeny` where deny_actions
    names it, else `allowed`; the principal's own policies are taken to allow everything."""
    source = params.get("PolicySourceArn", "")
    if not source.startswith("arn:"):
        return protocol.error_response("iam", 400, "InvalidInput", f"ARN {source} is not valid.")

    def listed(prefix):
        numbered = [(int(k[len(prefix):]), v) for k, v in params.items()
                    if k.startswith(prefix) and k[len(prefix):].isdigit()]
        return [v for _, v in sorted(numbered)]

    actions, resources = listed("ActionNames.member."), listed("ResourceArns.member.") or ["*"]
    if not actions:
        return protocol.error_response("iam", 400, "ValidationError",
                                       "1 validation error detected: Value null at 'actionNames' failed to satisfy "
                                       "constraint: Member must not be null")
    members = []
    for action in actions:
        denied = denied_outright(deny_actions, action)
        for resource in resources:
            members.append(
                f"<member><EvalActionName>{escape(action)}</EvalActionName>"
                f"<EvalResourceName>{escape(resource)}</EvalResourceName>"
                f"<EvalDecision>{'explicitDeny' if denied else 'allowed'}</EvalDecision>"
                "<MatchedStatements/><MissingContextValues/>"
                f"<OrganizationsDecisionDetail><AllowedByOrganizations>{'false' if denied else 'true'}"
                "</AllowedByOrganizations></OrganizationsDecisionDetail></member>")
    return _query_answer("iam", "SimulatePrincipalPolicy",
                         f"<EvaluationResults>{''.join(members)}</EvaluationResults><IsTruncated>false</IsTruncated>")
