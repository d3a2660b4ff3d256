// S3 objects: the headers of GetObject and PutObject (bodies are streamed by the client).
// Member names, wire names and types as the service's API defines them; only what the tool's
// operations need. Syntax: see shapes.h.
#include "awsapi/shapes.h"

namespace quenfold_testlibs::awsapi::shapes {

namespace {

const ShapeText kShapes[] = {
    {"GetObjectRequest",
     "Bucket!u IfMatch@If-Match!h IfNoneMatch@If-None-Match!h Key!u Range!h VersionId@versionId!q "
     "PartNumber@partNumber!q:i ExpectedBucketOwner@x-amz-expected-bucket-owner!h"},
    {"GetObjectOutput",
     "DeleteMarker@x-amz-delete-marker!h:b AcceptRanges@accept-ranges!h "
     "LastModified@Last-Modified!h:t ContentLength@Content-Length!h:i ETag!h "
     "VersionId@x-amz-version-id!h CacheControl@Cache-Control!h ContentEncoding@Content-Encoding!h "
     "ContentRange@Content-Range!h ContentType@Content-Type!h "
     "ServerSideEncryption@x-amz-server-side-encryption!h Metadata@x-amz-meta-!H:{} "
     "SSEKMSKeyId@x-amz-server-side-encryption-aws-kms-key-id!h StorageClass@x-amz-storage-class!h "
     "TagCount@x-amz-tagging-count!h:i"},
    {"PutObjectRequest",
     "ACL@x-amz-acl!h Body:B Bucket!u CacheControl@Cache-Control!h ContentLength@Content-Length!h:i "
     "ContentMD5@Content-MD5!h ContentType@Content-Type!h ChecksumSHA256@x-amz-checksum-sha256!h "
     "Key!u Metadata@x-amz-meta-!H:{} ServerSideEncryption@x-amz-server-side-encryption!h "
     "StorageClass@x-amz-storage-class!h SSEKMSKeyId@x-amz-server-side-encryption-aws-kms-key-id!h "
     "Tagging@x-amz-tagging!h ExpectedBucketOwner@x-amz-expected-bucket-owner!h"},
    {"PutObjectOutput",
     "Expiration@x-amz-expiration!h ETag!h ChecksumCRC32@x-amz-checksum-crc32!h "
     "ChecksumSHA256@x-amz-checksum-sha256!h ServerSideEncryption@x-amz-server-side-encryption!h "
     "VersionId@x-amz-version-id!h SSEKMSKeyId@x-amz-server-side-encryption-aws-kms-key-id!h "
     "Size@x-amz-object-size!h:i"},
};

const OperationText kOperations[] = {
    {"GetObject", "GetObjectRequest", "GetObjectOutput", "GET"},
    {"PutObject", "PutObjectRequest", "PutObjectOutput", "PUT"},
};

}  // namespace

const ServiceText kS3Text{"s3", Protocol::RestXml, "2006-03-01", "", kShapes, std::size(kShapes),
                         kOperations, std::size(kOperations)};

}  // namespace quenfold_testlibs::awsapi::shapes
