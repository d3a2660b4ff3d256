"""What a request is (service, operation) and how each service's protocol words an error.

The tool talks to six services over four wire protocols; an injected error has to be
the exact shape the reference SDK parses, or the fault tests prove nothing."""
import json
import uuid
from urllib.parse import parse_qsl, urlsplit
from xml.sax.saxutils import escape

QUERY_VERSIONS = {"2016-11-15": "ec2", "2010-05-08": "iam", "2011-06-15": "sts"}
# JSON-protocol services: X-Amz-Target prefix -> service
JSON_TARGETS = {"AmazonSSM.": "ssm", "ServiceQuotasV20190624.": "servicequotas"}
JSON_SERVICES = frozenset(JSON_TARGETS.values())


def request_id():
    return str(uuid.uuid4())


def credential_scope(authorization):
    """(access_key, date, region, service) from a SigV4 Authorization header, or None."""
    if not authorization or not authorization.startswith("AWS4-HMAC-SHA256"):
        return None
    for part in authorization[len("AWS4-HMAC-SHA256"):].split(","):
        part = part.strip()
        if part.startswith("Credential="):
            fields = part[len("Credential="):].split("/")
            if len(fields) == 5 and fields[4] == "aws4_request":
                return fields[0], fields[1], fields[2], fields[3]
    return None


def form_params(method, path, headers, body):
    """Query-protocol parameters from the query string and a form body."""
    params = dict(parse_qsl(urlsplit(path).query, keep_blank_values=True))
    ctype = headers.get("Content-Type", "") or ""
    if body and "x-www-form-urlencoded" in ctype:
        params.update(parse_qsl(body.decode("utf-8", "replace"), keep_blank_values=True))
    return params


def identify(method, path, headers, body):
    """Returns (service, operation). Unknown parts come back as "unknown"."""
    scope = credential_scope(headers.get("Authorization"))
    target = headers.get("X-Amz-Target") or ""
    service = scope[3] if scope else None
    params = None
    if service is None:
        service = next((name for prefix, name in JSON_TARGETS.items() if target.startswith(prefix)), None)
        if service is None:
            params = form_params(method, path, headers, body)
            service = QUERY_VERSIONS.get(params.get("Version", ""))
            if service is None:
                service = "s3"
    if service in JSON_SERVICES:
        return service, target.split(".", 1)[1] if "." in target else "unknown"
    if service in ("ec2", "iam", "sts"):
        params = params if params is not None else form_params(method, path, headers, body)
        return service, params.get("Action", "unknown")
    if service == "s3":
        return service, s3_operation(method, path)
    return service, "unknown"


def s3_operation(method, path):
    parts = urlsplit(path)
    keys = {k for k, _ in parse_qsl(parts.query, keep_blank_values=True)}
    segments = [s for s in parts.path.split("/") if s]
    if not segments:
        return "ListBuckets"
    has_key = len(segments) > 1
    if has_key:
        if "uploadId" in keys or "uploads" in keys:
            return {"POST": "CompleteMultipartUpload" if "uploadId" in keys else "CreateMultipartUpload",
                    "PUT": "UploadPart", "DELETE": "AbortMultipartUpload",
                    "GET": "ListParts"}.get(method, "unknown")
        if "tagging" in keys:
            return {"GET": "GetObjectTagging", "PUT": "PutObjectTagging",
                    "DELETE": "DeleteObjectTagging"}.get(method, "unknown")
        return {"GET": "GetObject", "PUT": "PutObject", "HEAD": "HeadObject",
                "DELETE": "DeleteObject"}.get(method, "unknown")
    if method == "GET":
        if "location" in keys:
            return "GetBucketLocation"
        return "ListObjectsV2" if "list-type" in keys else "ListObjects"
    if method == "POST" and "delete" in keys:
        return "DeleteObjects"
    return {"PUT": "CreateBucket", "HEAD": "HeadBucket", "DELETE": "DeleteBucket"}.get(method, "unknown")


# (status, code, message) per service for each kind of injected or verification error.
THROTTLE = {
    "ec2": (503, "RequestLimitExceeded", "Request limit exceeded."),
    "iam": (400, "Throttling", "Rate exceeded"),
    "sts": (400, "Throttling", "Rate exceeded"),
    "s3": (503, "SlowDown", "Please reduce your request rate."),
    "ssm": (400, "ThrottlingException", "Rate exceeded"),
    "servicequotas": (400, "TooManyRequestsException", "Rate exceeded"),
}
SERVER_ERROR = {
    500: {"ec2": "InternalError", "iam": "ServiceFailure", "sts": "InternalFailure",
          "s3": "InternalError", "ssm": "InternalServerError", "servicequotas": "ServiceException"},
    503: {"ec2": "Unavailable", "iam": "ServiceUnavailable", "sts": "ServiceUnavailable",
          "s3": "ServiceUnavailable", "ssm": "ServiceUnavailable", "servicequotas": "ServiceException"},
}
SERVER_MESSAGE = {500: "We encountered an internal error. Please try again.",
                  503: "Service is unable to handle request."}
UNKNOWN_KEY = {
    "ec2": (401, "AuthFailure", "AWS was not able to validate the provided access credentials"),
    "iam": (403, "InvalidClientTokenId", "The security token included in the request is invalid."),
    "sts": (403, "InvalidClientTokenId", "The security token included in the request is invalid."),
    "s3": (403, "InvalidAccessKeyId", "The AWS Access Key Id you provided does not exist in our records."),
    "ssm": (400, "UnrecognizedClientException", "The security token included in the request is invalid."),
}
BAD_TOKEN = {
    "ec2": (401, "AuthFailure", "AWS was not able to validate the provided access credentials"),
    "iam": (403, "InvalidClientTokenId", "The security token included in the request is invalid."),
    "sts": (403, "InvalidClientTokenId", "The security token included in the request is invalid."),
    "s3": (400, "InvalidToken", "The provided token is malformed or otherwise invalid."),
    "ssm": (400, "UnrecognizedClientException", "The security token included in the request is invalid."),
}
_SIG_MESSAGE = ("The request signature we calculated does not match the signature you provided. "
                "Check your AWS Secret Access Key and signing method. "
                "Consult the service documentation for details.")
BAD_SIGNATURE = {
    "ec2": (401, "SignatureDoesNotMatch", _SIG_MESSAGE),
    "iam": (403, "SignatureDoesNotMatch", _SIG_MESSAGE),
    "sts": (403, "SignatureDoesNotMatch", _SIG_MESSAGE),
    "s3": (403, "SignatureDoesNotMatch",
           "The request signature we calculated does not match the signature you provided. "
           "Check your key and signing method."),
    "ssm": (400, "InvalidSignatureException", _SIG_MESSAGE),
}
MISSING_AUTH = {
    "ec2": (401, "AuthFailure", "AWS was not able to validate the provided access credentials"),
    "iam": (403, "MissingAuthenticationToken", "Request is missing Authentication Token"),
    "sts": (403, "MissingAuthenticationToken", "Request is missing Authentication Token"),
    "s3": (403, "AccessDenied", "Access Denied"),
    "ssm": (400, "MissingAuthenticationTokenException", "Missing Authentication Token"),
}
EXPIRED = {
    "ec2": (400, "RequestExpired", "Request has expired."),
    "iam": (403, "ExpiredToken", "The security token included in the request is expired"),
    "sts": (403, "ExpiredToken", "The security token included in the request is expired"),
    "s3": (400, "ExpiredToken", "The provided token has expired."),
    "ssm": (400, "ExpiredTokenException", "The security token included in the request is expired"),
}
SKEWED = {
    "ec2": (400, "RequestExpired", "Request has expired."),
    "iam": (403, "SignatureDoesNotMatch", "Signature expired: the request time is too far from the server time."),
    "sts": (403, "SignatureDoesNotMatch", "Signature expired: the request time is too far from the server time."),
    "s3": (403, "RequestTimeTooSkewed",
           "The difference between the request time and the current time is too large."),
    "ssm": (400, "InvalidSignatureException",
            "Signature expired: the request time is too far from the server time."),
}


def error_response(service, status, code, message, rid=None):
    """(status, headers, body) of an AWS error in the service's own protocol."""
    rid = rid or request_id()
    code_x, msg_x = escape(code), escape(message)
    if service in JSON_SERVICES:
        body = json.dumps({"__type": code, "message": message}).encode()
        return status, {"Content-Type": "application/x-amz-json-1.1", "x-amzn-RequestId": rid}, body
    if service == "ec2":
        body = (f'<?xml version="1.0" encoding="UTF-8"?>\n<Response><Errors><Error><Code>{code_x}</Code>'
                f'<Message>{msg_x}</Message></Error></Errors><RequestID>{rid}</RequestID></Response>')
        return status, {"Content-Type": "text/xml;charset=UTF-8"}, body.encode()
    if service == "s3":
        body = (f'<?xml version="1.0" encoding="UTF-8"?>\n<Error><Code>{code_x}</Code><Message>{msg_x}</Message>'
                f'<RequestId>{rid}</RequestId><HostId>sandbox</HostId></Error>')
        return status, {"Content-Type": "application/xml", "x-amz-request-id": rid}, body.encode()
    ns = {"iam": "https://iam.amazonaws.com/doc/2010-05-08/",
          "sts": "https://sts.amazonaws.com/doc/2011-06-15/"}.get(service, "")
    kind = "Receiver" if status >= 500 else "Sender"
    body = (f'<ErrorResponse xmlns="{ns}"><Error><Type>{kind}</Type><Code>{code_x}</Code>'
            f'<Message>{msg_x}</Message></Error><RequestId>{rid}</RequestId></ErrorResponse>')
    return status, {"Content-Type": "text/xml", "x-amzn-RequestId": rid}, body.encode()


def _row(table, service):
    """A service's entry; the other JSON services answer like SSM, the rest like IAM."""
    return table.get(service) or table["ssm" if service in JSON_SERVICES else "iam"]


def throttle_response(service):
    status, code, message = _row(THROTTLE, service)
    return error_response(service, status, code, message)


def server_error_response(service, status):
    code = SERVER_ERROR[status].get(service, "InternalError")
    return error_response(service, status, code, SERVER_MESSAGE[status])


def table_response(table, service):
    status, code, message = _row(table, service)
    return error_response(service, status, code, message)
