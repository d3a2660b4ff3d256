"""EC2's paged Describe answers. AWS pages a Describe call only when the request sets
`MaxResults`: each answer then lists at most that many items (possibly fewer) and carries a
`nextToken` while more follow. moto pages few of these actions, so the proxy asks moto for the
whole list and cuts the page itself; the knob `describe_page_size` makes pages smaller than asked,
as AWS may, so that tests see several pages at small sizes."""
import base64
import binascii
import xml.etree.ElementTree as ET
from urllib.parse import parse_qsl, urlencode, urlsplit, urlunsplit

from . import protocol
from .consistency import _children

# action -> (the list's element under the answer's root, the MaxResults range AWS accepts, the
# request's id list that AWS refuses together with MaxResults).
PAGED = {
    "DescribeInstances": ("reservationSet", (5, 1000), ("InstanceId", "instancesSet")),
    "DescribeInstanceStatus": ("instanceStatusSet", (5, 1000), ("InstanceId", "instancesSet")),
    "DescribeNetworkInterfaces": ("networkInterfaceSet", (5, 1000), ("NetworkInterfaceId", "networkInterfaceIdSet")),
    "DescribeSecurityGroups": ("securityGroupInfo", (5, 1000), None),
    "DescribeSubnets": ("subnetSet", (5, 1000), None),
    "DescribeRouteTables": ("routeTableSet", (5, 100), None),
    "DescribeInternetGateways": ("internetGatewaySet", (5, 1000), None),
    "DescribeInstanceTypeOfferings": ("instanceTypeOfferingSet", (5, 1000), None),
}
PAGING_PARAMS = ("MaxResults", "NextToken")


def wanted(action, params):
    """Whether this call is one AWS answers in pages."""
    return action in PAGED and any(p in params for p in PAGING_PARAMS)


def _token(action, offset):
    return base64.urlsafe_b64encode(f"{action}:{offset}".encode()).decode()


def _offset(action, token):
    try:
        name, _, offset = base64.urlsafe_b64decode(token.encode()).decode().partition(":")
        return int(offset) if name == action and int(offset) >= 0 else None
    except (binascii.Error, UnicodeDecodeError, ValueError):
        return None


def window(action, params, page_size):
    """(error answer, None) for a request AWS refuses, else (None, (offset, size)): the page asked."""
    _, (low, high), ids = PAGED[action]
    size = high
    if "MaxResults" in params:
        try:
            size = int(params["MaxResults"])
        except ValueError:
            size = -1
        if not low <= size <= high:
            return protocol.error_response(
                "ec2", 400, "InvalidParameterValue",
                f"Value ( {params['MaxResults']} ) for parameter maxResults is invalid. "
                f"Expecting a value between {low} and {high}."), None
        if ids and any(k.startswith(ids[0] + ".") for k in params):
            return protocol.error_response(
                "ec2", 400, "InvalidParameterCombination",
                f"The parameter {ids[1]} cannot be used with the parameter maxResults"), None
    offset = 0
    if params.get("NextToken"):
        offset = _offset(action, params["NextToken"])
        if offset is None:
            return protocol.error_response("ec2", 400, "InvalidParameterValue",
                                           "The value for NextToken is invalid"), None
    if page_size > 0:
        size = min(size, page_size)
    return None, (offset, size)


# moto pages DescribeInstances itself, 100 reservations unless MaxResults says otherwise: asked
# for everything, it is given a MaxResults no account reaches.
_MOTO_ALL = {"DescribeInstances": [("MaxResults", "1000000")]}


def unpaged(path, headers, body, action=None):
    """(path, body) of the same request without MaxResults and NextToken: moto lists everything."""
    parts = urlsplit(path)
    query = urlencode([(k, v) for k, v in parse_qsl(parts.query, keep_blank_values=True) if k not in PAGING_PARAMS])
    path = urlunsplit(parts._replace(query=query))
    if body and "x-www-form-urlencoded" in (headers.get("Content-Type", "") or ""):
        pairs = parse_qsl(body.decode("utf-8", "replace"), keep_blank_values=True)
        body = urlencode([(k, v) for k, v in pairs if k not in PAGING_PARAMS] + _MOTO_ALL.get(action, [])).encode()
    return path, body


def cut(action, body, offset, size):
    """The answer listing items [offset, offset + size), with a nextToken while more follow."""
    try:
        root = ET.fromstring(body)
    except ET.ParseError:
        return body
    for old in _children(root, "nextToken"):
        root.remove(old)
    more = False
    for holder in _children(root, PAGED[action][0]):
        items = _children(holder, "item")
        more = more or len(items) > offset + size
        for i, item in enumerate(items):
            if not offset <= i < offset + size:
                holder.remove(item)
    if more:
        ns = root.tag[:root.tag.index("}") + 1] if root.tag.startswith("{") else ""
        ET.SubElement(root, ns + "nextToken").text = _token(action, offset + size)
    declaration = body[:body.index(b"?>") + 2] + b"\n" if body.startswith(b"<?xml") else b""
    return declaration + ET.tostring(root, encoding="utf-8", xml_declaration=False)

