// S3 backup of a local file: the object key is the file's path relative to the given local root.
#pragma once

#include <string>

#include "awsapi/client/client.h"

namespace quenfold_testlibs::lib {

class S3BackupCmd {
 public:
  // `read_from`, when given, is read instead of `file`, which still names the object (the log's
  // upload reads the file the logger opened, see Common::openedLogFile).
  S3BackupCmd(const awsapi::AwsClient* s3_client, std::string local_root, std::string bucket, std::string file,
              std::string read_from = {});
  // Uploads the file (streamed). Throws when there is no client, the file is missing or S3 refuses.
  void uploadAFile() const;
  // The object key the file is stored under.
  std::string objectKey() const;

 private:
  const awsapi::AwsClient* s3_client_;
  std::string local_root_, bucket_, file_, read_from_;
};

}  // namespace quenfold_testlibs::lib
