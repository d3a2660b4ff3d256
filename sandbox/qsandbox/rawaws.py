"""A minimal AWS client for seeding: hand-built requests straight into the in-process moto
application. Start-up time matters, and loading the reference SDK's service models costs more
than the few calls the seed makes. moto picks the service from the credential scope of the
Authorization header; it does not check the signature, and these calls never pass the proxy."""
import json
import xml.etree.ElementTree as ET
from urllib.parse import urlencode

VERSIONS = {"ec2": "2016-11-15", "iam": "2010-05-08"}


class AwsError(Exception):
    pass


def _auth(service, region, key):
    return (f"AWS4-HMAC-SHA256 Credential={key}/20260101/{region}/{service}/aws4_request, "
            f"SignedHeaders=host, Signature=0")


def _strip(elem):
    for e in elem.iter():
        if "}" in e.tag:
            e.tag = e.tag.split("}", 1)[1]
    return elem


class RawAws:
    def __init__(self, moto, region, key):
        self.moto, self.region, self.key = moto, region, key

    def _send(self, service, method, path, headers, body):
        headers = dict(headers, Host="127.0.0.1", Authorization=_auth(service, self.region, self.key))
        status, _, data, _ = self.moto.call(method, path, list(headers.items()), body)
        if status >= 300:
            raise AwsError(f"{service} {path} answered {status}: {data[:300]!r}")
        return data

    def query(self, service, action, params):
        """EC2 and IAM (query protocol): returns the answer's XML root, namespaces stripped."""
        body = urlencode({"Action": action, "Version": VERSIONS[service], **params}).encode()
        data = self._send(service, "POST", "/", {"Content-Type": "application/x-www-form-urlencoded"}, body)
        return _strip(ET.fromstring(data))

    def ssm(self, target, payload):
        data = self._send("ssm", "POST", "/", {"Content-Type": "application/x-amz-json-1.1",
                                               "X-Amz-Target": f"AmazonSSM.{target}"}, json.dumps(payload).encode())
        return json.loads(data or b"{}")

    def s3_create_bucket(self, bucket, region=None):
        """Creates the bucket in `region` (the client's region by default), signed for that region."""
        region = region or self.region
        body = b""
        if region != "us-east-1":
            body = (f'<CreateBucketConfiguration xmlns="http://s3.amazonaws.com/doc/2006-03-01/">'
                    f"<LocationConstraint>{region}</LocationConstraint></CreateBucketConfiguration>").encode()
        RawAws(self.moto, region, self.key)._send("s3", "PUT", f"/{bucket}", {}, body)


def tag_spec(resource_type, name, index=1):
    return {f"TagSpecification.{index}.ResourceType": resource_type,
            f"TagSpecification.{index}.Tag.1.Key": "Name", f"TagSpecification.{index}.Tag.1.Value": name}
