// The collector's data folder: attachments as files named by their content's hash (never by a
// name from the upload), written whole or not at all, and the quarantine of uploads that could
// not be read.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>

namespace collector {

// SHA-256 of data as 64 lowercase hexadecimal digits.
std::string Sha256Hex(std::string_view data);

class FileStore {
 public:
  explicit FileStore(std::string dataFolder);
  // Creates the folders; false with errno set when it cannot.
  bool Prepare();
  // Stores data under its hash: written to a temporary name, flushed, renamed and the folder
  // flushed, so that after a crash the name holds the whole content or does not exist. Returns
  // the hash; "" when the disk refused (errno tells why).
  std::string Put(std::string_view data);
  bool Get(std::string_view hash, std::string& data) const;
  // Keeps an unreadable upload with why it was refused; false when even that failed.
  bool Quarantine(std::string_view body, std::string_view why, std::string_view client);
  // Removes stored files whose hash is not in keep, and temporary files a crash left; the count.
  std::size_t RemoveUnreferenced(const std::set<std::string>& keep);
  const std::string& Folder() const { return folder_; }
  std::string FilesFolder() const { return folder_ + "/files"; }
  std::string QuarantineFolder() const { return folder_ + "/quarantine"; }

 private:
  std::string PathOf(std::string_view hash) const;
  std::string folder_;
};

// True when a hash is one this store would have made (and so safe in a path).
bool ValidHash(std::string_view hash);

}  // namespace collector
