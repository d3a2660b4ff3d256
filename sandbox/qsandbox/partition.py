"""Partitions and regions as AWS tells them apart: the partition of a region (its ARN prefix),
IAM's refusal of ARNs from another partition, and S3's answer to a request sent to another
region's endpoint than its bucket's."""
import json
import re

from . import protocol

# Regions opened after 20 March 2019 are opt-in: S3 there does not redirect a request sent to
# another region's endpoint, it refuses it (IllegalLocationConstraintException).
OPT_IN_REGIONS = frozenset({
    "af-south-1", "ap-east-1", "ap-east-2", "ap-south-2", "ap-southeast-3", "ap-southeast-4", "ap-southeast-5",
    "ap-southeast-6", "ap-southeast-7", "ca-west-1", "eu-central-2", "eu-south-1", "eu-south-2",
    "il-central-1", "me-central-1", "me-south-1", "mx-central-1"})

_ARN = re.compile(r"^arn:([^:]*):")


def of(region):
    """The partition of a region: aws, aws-cn or aws-us-gov."""
    if region.startswith("cn-"):
        return "aws-cn"
    if region.startswith("us-gov-"):
        return "aws-us-gov"
    return "aws"


def _strings(node):
    if isinstance(node, str):
        yield node
    elif isinstance(node, list):
        for item in node:
            yield from _strings(item)
    elif isinstance(node, dict):
        for value in node.values():
            yield from _strings(value)


def _document_arns(text):
    """ARNs a policy document names as resources or principals."""
    try:
        document = json.loads(text)
    except ValueError:
        return []
    statements = document.get("Statement", []) if isinstance(document, dict) else []
    if isinstance(statements, dict):
        statements = [statements]
    found = []
    for statement in statements:
        if isinstance(statement, dict):
            for key in ("Resource", "NotResource", "Principal", "NotPrincipal"):
                found += [s for s in _strings(statement.get(key)) if s.startswith("arn:")]
    return found


def iam_refusal(params, partition):
    """IAM's 400 answer for a request naming an ARN of another partition, or None."""
    for key, value in params.items():
        if key.endswith("PolicyDocument"):
            for arn in _document_arns(value):
                wrong = _ARN.match(arn).group(1)
                if wrong != partition:
                    return protocol.error_response("iam", 400, "MalformedPolicyDocument",
                                                   f'Partition "{wrong}" is not valid for resource "{arn}".')
        else:
            m = _ARN.match(value or "")
            if m and m.group(1) != partition:
                return protocol.error_response("iam", 400, "InvalidInput", f"ARN {value} is not valid.")
    return None


def s3_redirect(bucket, bucket_region, request_region, method):
    """S3's answer to a bucket request signed for another region than the bucket's: 400
    IllegalLocationConstraintException for a bucket in an opt-in region, else 301
    PermanentRedirect; both name the bucket's region in x-amz-bucket-region."""
    if bucket_region == request_region:
        return None
    if bucket_region in OPT_IN_REGIONS:
        status, headers, body = protocol.error_response(
            "s3", 400, "IllegalLocationConstraintException",
            f"The {bucket_region} location constraint is incompatible for the region specific endpoint "
            "this request was sent to.")
    else:
        status, headers, body = protocol.error_response(
            "s3", 301, "PermanentRedirect",
            "The bucket you are attempting to access must be addressed using the specified endpoint. "
            "Please send all future requests to this endpoint.")
        body = body.replace(b"</Message>", f"</Message><Bucket>{bucket}</Bucket>".encode(), 1)
    headers = dict(headers, **{"x-amz-bucket-region": bucket_region})
    return status, headers, b"" if method == "HEAD" else body
