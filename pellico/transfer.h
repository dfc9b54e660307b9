// Attachment transfer over HTTP: download and upload workers on their own threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "pellico/pellico.h"

class CKxEngine;

namespace pellico {

class TransferWorker {
 public:
  virtual ~TransferWorker();
  void Start();
  void Stop() { m_stop = true; }
  void StopAndJoin();
  bool Stopped() const { return m_stop; }

 protected:
  virtual void Run() = 0;
  std::atomic<bool> m_stop{false};

 private:
  std::thread m_thread;
};

// Parts of a download URL "http://host/servlet/mailbox?item=X", with an optional "[name] " in front.
struct DownloadTarget {
  std::string host;
  std::string object;
  std::string item;
  std::string displayName;
};
// False for a URL that is not a mailbox URL, or whose host part carries anything but a host name
// and, optionally, the picture port `port`.
bool ParseDownloadUrl(const std::string& url, int port, DownloadTarget* out);
// False for an item holding a path separator ("/", or "\\", which the platform's file calls take for one).
bool SafeItemName(const std::string& item);
// The multipart part head for a file path, and the "[name] " prefix of the upload response.
std::string UploadPartHead(const std::string& path);
std::string UploadResponsePrefix(const std::string& path);
extern const char kUploadTail[];
constexpr size_t kMaxDownloadBytes = 64u << 20;
constexpr size_t kMaxUploadResponse = 4096;

void StartDownload(CKxEngine* engine, Message_t* message);
void StartUpload(CKxEngine* engine, Message_t* message, const std::string& file);

}  // namespace pellico
