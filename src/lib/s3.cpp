#include "lib/s3.h"

#include <filesystem>
#include <stdexcept>

#include "lib/commonlib.h"

namespace quenfold_testlibs::lib {

S3BackupCmd::S3BackupCmd(const awsapi::AwsClient* s3_client, std::string local_root, std::string bucket,
                         std::string file, std::string read_from)
    : s3_client_(s3_client),
      local_root_(std::move(local_root)),
      bucket_(std::move(bucket)),
      file_(std::move(file)),
      read_from_(std::move(read_from)) {}

std::string S3BackupCmd::objectKey() const {
  namespace fs = std::filesystem;
  fs::path rel = fs::path(file_).lexically_normal().lexically_relative(fs::path(local_root_).lexically_normal());
  if (rel.empty() || *rel.begin() == "..") rel = fs::path(file_).lexically_normal().relative_path();
  return rel.generic_string();
}

void S3BackupCmd::uploadAFile() const {
  if (s3_client_ == nullptr) throw std::invalid_argument("no S3 client to upload " + file_);
  const std::string key = objectKey();
  logger()->info("- Upload " + file_ + " to s3://" + bucket_ + "/" + key);
  s3_client_->upload_file(read_from_.empty() ? file_ : read_from_, bucket_, key);
}

}  // namespace quenfold_testlibs::lib
