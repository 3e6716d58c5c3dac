// Putting a file at a destination: over SFTP (SFTPDestination.cpp) or into a bucket
// (S3Destination.cpp). Each call blocks until the file is there whole under its name, or is not
// there under it at all; it runs on any thread, and cancelling the transfer from another thread
// ends it at once.
#pragma once

#include <string>
#include <variant>

#include "common/Destination.h"
#include "platform/foundation/Data.h"
#include "platform/foundation/URLTransfer.h"

// The address the file is served at, or why it is not there: the server's or the store's own
// words.
using PutOutcome = std::variant<std::string, Destination::Failure>;

// Into the folder under a dot name first, renamed to its own once all of it is there. The
// server's host key must be in ~/.ssh/known_hosts.
PutOutcome putBySFTP(const Destination& destination, const platform::Data& bytes,
                     const std::string& fileName, platform::URLTransfer& transfer);
// One PUT, or a multipart upload for a file of more than 64 MiB, each piece checked by the store
// against its MD5 and SHA-256. The keys: the keys file, else the AWS tools' environment, else
// their shared credentials file.
PutOutcome putInBucket(const Destination& destination, const platform::Data& bytes,
                       const std::string& fileName, platform::URLTransfer& transfer);

inline PutOutcome putAtDestination(const Destination& destination, const platform::Data& bytes,
                                   const std::string& fileName, platform::URLTransfer& transfer) {
  return destination.kind() == Destination::Kind::SFTP
             ? putBySFTP(destination, bytes, fileName, transfer)
             : putInBucket(destination, bytes, fileName, transfer);
}
