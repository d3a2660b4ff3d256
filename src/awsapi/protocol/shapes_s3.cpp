// S3 objects: the headers of GetObject and PutObject (bodies are streamed by the client), and
// HeadBucket, whose answer names the bucket's region.
// Member names, wire names and types as the service's API defines them; requests carry only
// what the tool may send, answers every header member except Expires (whose type the reference
// SDK rewrites at run time; nothing here reads it). Syntax: see shapes.h.
#include "awsapi/protocol/shapes.h"

namespace quenfold_testlibs::awsapi::shapes {

namespace {

const ShapeText kShapes[] = {
    {"GetObjectRequest",
     "Bucket!u IfMatch@If-Match!h IfNoneMatch@If-None-Match!h Key!u Range!h VersionId@versionId!q "
     "PartNumber@partNumber!q:i ExpectedBucketOwner@x-amz-expected-bucket-owner!h"},
    {"GetObjectOutput",
     "DeleteMarker@x-amz-delete-marker!h:b AcceptRanges@accept-ranges!h "
     "Expiration@x-amz-expiration!h Restore@x-amz-restore!h LastModified@Last-Modified!h:t "
     "ContentLength@Content-Length!h:i ETag!h ChecksumCRC32@x-amz-checksum-crc32!h "
     "ChecksumCRC32C@x-amz-checksum-crc32c!h ChecksumCRC64NVME@x-amz-checksum-crc64nvme!h "
     "ChecksumSHA1@x-amz-checksum-sha1!h ChecksumSHA256@x-amz-checksum-sha256!h "
     "ChecksumSHA512@x-amz-checksum-sha512!h ChecksumMD5@x-amz-checksum-md5!h "
     "ChecksumXXHASH64@x-amz-checksum-xxhash64!h ChecksumXXHASH3@x-amz-checksum-xxhash3!h "
     "ChecksumXXHASH128@x-amz-checksum-xxhash128!h ChecksumType@x-amz-checksum-type!h "
     "MissingMeta@x-amz-missing-meta!h:i VersionId@x-amz-version-id!h CacheControl@Cache-Control!h "
     "ContentDisposition@Content-Disposition!h ContentEncoding@Content-Encoding!h "
     "ContentLanguage@Content-Language!h ContentRange@Content-Range!h ContentType@Content-Type!h "
     "WebsiteRedirectLocation@x-amz-website-redirect-location!h "
     "ServerSideEncryption@x-amz-server-side-encryption!h Metadata@x-amz-meta-!H:{} "
     "SSECustomerAlgorithm@x-amz-server-side-encryption-customer-algorithm!h "
     "SSECustomerKeyMD5@x-amz-server-side-encryption-customer-key-MD5!h "
     "SSEKMSKeyId@x-amz-server-side-encryption-aws-kms-key-id!h "
     "BucketKeyEnabled@x-amz-server-side-encryption-bucket-key-enabled!h:b "
     "StorageClass@x-amz-storage-class!h RequestCharged@x-amz-request-charged!h "
     "ReplicationStatus@x-amz-replication-status!h PartsCount@x-amz-mp-parts-count!h:i "
     "TagCount@x-amz-tagging-count!h:i ObjectLockMode@x-amz-object-lock-mode!h "
     "ObjectLockRetainUntilDate@x-amz-object-lock-retain-until-date!h:t "
     "ObjectLockLegalHoldStatus@x-amz-object-lock-legal-hold!h"},
    {"PutObjectRequest",
     "ACL@x-amz-acl!h Body:B Bucket!u CacheControl@Cache-Control!h "
     "ContentLength@Content-Length!h:i ContentMD5@Content-MD5!h ContentType@Content-Type!h "
     "ChecksumSHA256@x-amz-checksum-sha256!h Key!u Metadata@x-amz-meta-!H:{} "
     "ServerSideEncryption@x-amz-server-side-encryption!h StorageClass@x-amz-storage-class!h "
     "SSEKMSKeyId@x-amz-server-side-encryption-aws-kms-key-id!h Tagging@x-amz-tagging!h "
     "ExpectedBucketOwner@x-amz-expected-bucket-owner!h"},
    {"PutObjectOutput",
     "Expiration@x-amz-expiration!h ETag!h ChecksumCRC32@x-amz-checksum-crc32!h "
     "ChecksumCRC32C@x-amz-checksum-crc32c!h ChecksumCRC64NVME@x-amz-checksum-crc64nvme!h "
     "ChecksumSHA1@x-amz-checksum-sha1!h ChecksumSHA256@x-amz-checksum-sha256!h "
     "ChecksumSHA512@x-amz-checksum-sha512!h ChecksumMD5@x-amz-checksum-md5!h "
     "ChecksumXXHASH64@x-amz-checksum-xxhash64!h ChecksumXXHASH3@x-amz-checksum-xxhash3!h "
     "ChecksumXXHASH128@x-amz-checksum-xxhash128!h ChecksumType@x-amz-checksum-type!h "
     "ServerSideEncryption@x-amz-server-side-encryption!h VersionId@x-amz-version-id!h "
     "SSECustomerAlgorithm@x-amz-server-side-encryption-customer-algorithm!h "
     "SSECustomerKeyMD5@x-amz-server-side-encryption-customer-key-MD5!h "
     "SSEKMSKeyId@x-amz-server-side-encryption-aws-kms-key-id!h "
     "SSEKMSEncryptionContext@x-amz-server-side-encryption-context!h "
     "BucketKeyEnabled@x-amz-server-side-encryption-bucket-key-enabled!h:b "
     "Size@x-amz-object-size!h:i RequestCharged@x-amz-request-charged!h"},
    {"HeadBucketRequest", "Bucket!u ExpectedBucketOwner@x-amz-expected-bucket-owner!h"},
    {"HeadBucketOutput",
     "BucketLocationType@x-amz-bucket-location-type!h BucketLocationName@x-amz-bucket-location-name!h "
     "BucketRegion@x-amz-bucket-region!h AccessPointAlias@x-amz-access-point-alias!h:b"},
};

const OperationText kOperations[] = {
    {"GetObject", "GetObjectRequest", "GetObjectOutput", "GET"},
    {"PutObject", "PutObjectRequest", "PutObjectOutput", "PUT"},
    {"HeadBucket", "HeadBucketRequest", "HeadBucketOutput", "HEAD"},
};

}  // namespace

const ServiceText kS3Text{"s3",    Protocol::RestXml,  "2006-03-01", "",
                          kShapes, std::size(kShapes), kOperations,  std::size(kOperations)};

}  // namespace quenfold_testlibs::awsapi::shapes
