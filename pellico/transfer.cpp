// Attachment transfer over HTTP with libcurl: download to the download folder and multipart upload.
#include "pellico/transfer.h"

#include <curl/curl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

#include "pellico/engine.h"
#include "platform/fs.h"

namespace pellico {

const char kUploadTail[] = "\r\n----olden-boundary-\r\n";
constexpr long long kReadStep = 1024;  // the download's read size

namespace {
std::once_flag g_curlInit;
void InitCurl() { std::call_once(g_curlInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); }); }

std::string BaseName(const std::string& path) {
  size_t sep = path.find_last_of("\\/");
  return sep == std::string::npos ? path : path.substr(sep + 1);
}

int StopCheck(void* p, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<TransferWorker*>(p)->Stopped() ? 1 : 0;
}

// What both transfers set alike: address and agent, redirects followed as the system's internet functions
// follow them (to web addresses only, and not for ever), their default connect (60 s) and receive (60 min)
// time-outs, no signals, and the progress call that ends a stopped transfer.
void SetCommonOptions(CURL* curl, const std::string& url, TransferWorker* worker) {
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_USERAGENT, "mervane");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 60L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, 3600L);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &StopCheck);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, worker);
}
}  // namespace

TransferWorker::~TransferWorker() { StopAndJoin(); }

void TransferWorker::Start() {
  m_thread = std::thread([this] { Run(); });
}

void TransferWorker::StopAndJoin() {
  m_stop = true;
  if (m_thread.joinable()) {
    if (m_thread.get_id() == std::this_thread::get_id()) m_thread.detach();
    else m_thread.join();
  }
}

namespace {
// The host part names the configured server only: no path, query, fragment or user part that
// would send the request elsewhere, and no port but the picture port.
bool HostPartFits(const std::string& hostPart, int port, std::string* host) {
  std::string name = hostPart;
  if (size_t colon = name.find(':'); colon != std::string::npos) {
    const std::string digits = name.substr(colon + 1);
    if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos) return false;
    if (std::stoi(digits) != port) return false;
    name.resize(colon);
  }
  if (name.empty() || name.size() > 47) return false;
  for (unsigned char c : name)
    if (c <= 0x20 || c == 0x7F || c == '/' || c == '\\' || c == '#' || c == '?' || c == '@') return false;
  *host = name;
  return true;
}
}  // namespace

bool ParseDownloadUrl(const std::string& url, int port, DownloadTarget* out) {
  size_t h = url.find("http://");
  size_t s = url.find("/servlet/mailbox?item=");
  if (h == std::string::npos || s == std::string::npos || s < h + 7) return false;
  std::string host;
  if (!HostPartFits(url.substr(h + 7, s - (h + 7)), port, &host)) return false;
  out->host = host;
  out->object = url.substr(s);
  out->item = url.substr(url.find("item=", s) + 5);
  out->displayName.clear();
  size_t open = url.find('[');
  if (open != std::string::npos) {
    size_t close = url.find("] ", open + 1);
    if (close != std::string::npos) out->displayName = url.substr(open + 1, std::min<size_t>(close - open - 1, 99));
  }
  return true;
}

bool SafeItemName(const std::string& item) { return item.find_first_of("/\\") == std::string::npos; }

std::string UploadPartHead(const std::string& path) {
  std::string base = BaseName(path);
  size_t dot = base.find('.');
  std::string ext = dot == std::string::npos ? std::string(".jpg") : base.substr(dot);
  std::string clean;
  for (char c : ext)
    if (c != '"' && c != '\r' && c != '\n') clean.push_back(c);
  return "----olden-boundary-\r\nContent-Disposition: form-data; name=\"attachment\"; filename=\"file" + clean +
         "\"\r\nContent-Type: image/jpeg\r\n\r\n";
}

std::string UploadResponsePrefix(const std::string& path) { return "[" + BaseName(path) + "] "; }

// ---------------------------------------------------------------------------------------------------------------
// Download

namespace {
class DownloadWorker : public TransferWorker {
 public:
  DownloadWorker(CKxEngine* engine, uint32_t entryId, std::string url, int port, std::string folder)
      : m_engine(engine), m_entryId(entryId), m_url(std::move(url)), m_port(port), m_folder(std::move(folder)) {}
  ~DownloadWorker() override { StopAndJoin(); }

 protected:
  void Run() override;

 private:
  static size_t OnHeader(char* p, size_t size, size_t n, void* self);
  static size_t OnBody(char* p, size_t size, size_t n, void* self);
  void Finish(bool ok, const std::string& file, const std::string& name);

  CKxEngine* m_engine;
  uint32_t m_entryId;
  std::string m_url;
  int m_port;
  std::string m_folder;
  CURL* m_curl = nullptr;
  FILE* m_file = nullptr;
  long long m_length = -1;
  long long m_received = 0;
  int m_lastPercent = 0;
  std::string m_item;
  bool m_lengthLogged = false;  // the length is logged once known, before the body's progress lines

  void LogLength() {
    if (m_lengthLogged) return;
    m_lengthLogged = true;
    m_engine->Log("HttpDownload: contentLength: %d (%s)\n", static_cast<int>(m_length), m_item.c_str());
  }
};

size_t DownloadWorker::OnHeader(char* p, size_t size, size_t n, void* self) {
  auto* w = static_cast<DownloadWorker*>(self);
  std::string line(p, size * n);
  if (line.compare(0, 5, "HTTP/") == 0) w->m_length = -1;  // a new response starts
  if (line.size() > 15 && strncasecmp(line.c_str(), "Content-Length:", 15) == 0) {
    char* end = nullptr;
    long long v = strtoll(line.c_str() + 15, &end, 10);
    w->m_length = v >= 0 ? v : -1;
  }
  return size * n;
}

size_t DownloadWorker::OnBody(char* p, size_t size, size_t n, void* self) {
  auto* w = static_cast<DownloadWorker*>(self);
  size_t bytes = size * n;
  w->LogLength();
  long status = 0;
  curl_easy_getinfo(w->m_curl, CURLINFO_RESPONSE_CODE, &status);
  if (w->m_stop || status != 200 || w->m_length <= 0 || !w->m_file) return 0;
  if (w->m_length > static_cast<long long>(kMaxDownloadBytes)) return 0;
  if (w->m_received + static_cast<long long>(bytes) > w->m_length) return 0;
  if (fwrite(p, 1, bytes, w->m_file) != bytes) return 0;
  // Progress as after each read of 1024 bytes: at every 1024 bytes passed, and at the end.
  const long long before = w->m_received;
  w->m_received += static_cast<long long>(bytes);
  for (long long at = (before / kReadStep + 1) * kReadStep;; at += kReadStep) {
    const long long upTo = std::min(at, w->m_length);
    if (upTo > w->m_received) break;
    const int pct = static_cast<int>(upTo * 100 / w->m_length);
    if (pct > w->m_lastPercent && pct % 5 == 0) {
      w->m_lastPercent = pct;
      w->m_engine->Log("HttpDownload BytesReceived: %d", static_cast<int>(upTo));
      if (w->m_engine->Notifier()) w->m_engine->Notifier()->OnPercentDone(pct, 1);
    }
    if (upTo == w->m_length) break;
  }
  return bytes;
}

void DownloadWorker::Run() {
  if (m_stop) return;
  InitCurl();
  m_engine->Log("HttpDownload: URL: %s\n", m_url.c_str());
  DownloadTarget t;
  if (!ParseDownloadUrl(m_url, m_port, &t)) {
    m_engine->Log("HttpDownload: Bad URL (http://): %s\r\n", m_url.c_str());
    return Finish(false, "", "");
  }
  if (!SafeItemName(t.item)) {
    m_engine->Log("HttpDownload: unsafe item name refused: %s", t.item.c_str());
    return Finish(false, "", "");
  }
  if (!m_engine->Platform().FilesOn()) {
    m_engine->Log("HttpDownload: Unable to open file: %s\r\n", t.item.c_str());
    return Finish(false, "", "");
  }
  std::string file = m_folder + "/" + t.item;
  m_item = t.item;
  m_lengthLogged = false;
  // One download runs at a time: the bytes wait under one name of any item's length.
  std::string part = m_folder + "/.part-download";
  m_engine->Log("HttpDownload: Download %s from %s to %s\n", t.object.c_str(), t.host.c_str(), file.c_str());
  if (m_stop) return;
  m_curl = curl_easy_init();
  if (!m_curl) {
    m_engine->Log("HttpDownload Error 1: InternetOpen()");
    return Finish(false, "", "");
  }
  m_file = plat::OpenRegularStream(part, "wb");
  if (!m_file) {
    m_engine->Log("HttpDownload: Unable to open file: %s\r\n", file.c_str());
    curl_easy_cleanup(m_curl);
    return Finish(false, "", "");
  }
  std::string fullUrl = "http://" + t.host + ":" + std::to_string(m_port) + t.object;
  SetCommonOptions(m_curl, fullUrl, this);
  curl_easy_setopt(m_curl, CURLOPT_REFERER, t.host.c_str());
  curl_easy_setopt(m_curl, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
  curl_easy_setopt(m_curl, CURLOPT_HEADERFUNCTION, &DownloadWorker::OnHeader);
  curl_easy_setopt(m_curl, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(m_curl, CURLOPT_WRITEFUNCTION, &DownloadWorker::OnBody);
  curl_easy_setopt(m_curl, CURLOPT_WRITEDATA, this);
  CURLcode rc = curl_easy_perform(m_curl);
  long status = 0;
  curl_easy_getinfo(m_curl, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_cleanup(m_curl);
  m_curl = nullptr;
  // On disk before it takes the file's name, like every other rewrite.
  bool written = fflush(m_file) == 0 && fsync(fileno(m_file)) == 0;
  written = fclose(m_file) == 0 && written;
  m_file = nullptr;
  if (m_stop) {
    std::remove(part.c_str());
    return;
  }
  LogLength();
  bool ok = false;
  if (rc == CURLE_COULDNT_CONNECT || rc == CURLE_COULDNT_RESOLVE_HOST || rc == CURLE_OPERATION_TIMEDOUT) {
    m_engine->Log("HttpDownload Error 4: HttpSendRequestEx()\n");
  } else if (status != 200) {
    m_engine->Log("HttpDownload Error: status %ld (%s)\n", status, t.item.c_str());
  } else if (m_length <= 0) {
    m_engine->Log("HttpDownload Error: contentLength: %d (%s)\n", static_cast<int>(m_length), t.item.c_str());
  } else if (m_length > static_cast<long long>(kMaxDownloadBytes)) {
    m_engine->Log("HttpDownload Error: contentLength: %lld too large (%s)\n", m_length, t.item.c_str());
  } else if (rc != CURLE_OK || m_received != m_length) {
    m_engine->Log("HttpDownload Error: Code:%d, read:%d, conLen%d, new%d\n", static_cast<int>(rc),
                  static_cast<int>(m_received), static_cast<int>(m_length), 0);
  } else if (!written) {
    m_engine->Log("HttpDownload Error 7: WriteFile()\n");
  } else {
    ok = std::rename(part.c_str(), file.c_str()) == 0;
    if (!ok) m_engine->Log("HttpDownload: Unable to open file: %s\r\n", file.c_str());
  }
  if (!ok) std::remove(part.c_str());
  Finish(ok, file, t.displayName);
}

void DownloadWorker::Finish(bool ok, const std::string& file, const std::string& name) {
  CKxEngine* engine = m_engine;
  uint32_t entryId = m_entryId;
  engine->PostCompletion([engine, entryId, ok, file, name] {
    Message_t* m = engine->FindMessage(entryId);
    if (!m) {
      engine->Log("HttpDownload: message %x is gone", entryId);
      return;
    }
    if (ok && m->attachment) {
      m->state = KX_MSG_DOWNLOADED;
      m->attachment->kind = KX_ATTACH_DOWNLOADED;
      CKxCore::Utf8Free(m->attachment->url);
      m->attachment->url = MakeUtf8(file);
      CKxCore::Utf8Free(m->attachment->fileName);
      m->attachment->fileName = MakeUtf8(name);
      engine->MarkDirty(m);
    }
    if (engine->Notifier()) engine->Notifier()->OnDownloadComplete(ok ? 1 : 0, m);
  });
}

// ---------------------------------------------------------------------------------------------------------------
// Upload

class UploadWorker : public TransferWorker {
 public:
  UploadWorker(CKxEngine* engine, Message_t* m, std::string file, std::string server, int port, std::string user)
      : m_engine(engine), m_message(m), m_path(std::move(file)), m_server(std::move(server)), m_port(port),
        m_user(std::move(user)) {}
  ~UploadWorker() override {
    StopAndJoin();
    CKxCore::MessageFree(m_message);
  }

 protected:
  void Run() override;

 private:
  static size_t OnRead(char* p, size_t size, size_t n, void* self);
  static size_t OnResponse(char* p, size_t size, size_t n, void* self);
  void Report(int pct);

  CKxEngine* m_engine;
  Message_t* m_message;
  std::string m_path;
  std::string m_server;
  int m_port;
  std::string m_user;
  FILE* m_file = nullptr;
  std::string m_head;
  size_t m_headSent = 0;
  size_t m_tailSent = 0;
  long long m_fileSize = 0;
  long long m_fileSent = 0;
  int m_lastPercent = 0;
  bool m_readError = false;
  std::string m_response;
};

void UploadWorker::Report(int pct) {
  if (m_engine->Notifier()) m_engine->Notifier()->OnPercentDone(pct, 0);
}

size_t UploadWorker::OnRead(char* p, size_t size, size_t n, void* self) {
  auto* w = static_cast<UploadWorker*>(self);
  size_t room = size * n;
  if (w->m_stop) return CURL_READFUNC_ABORT;
  if (w->m_headSent < w->m_head.size()) {
    size_t k = std::min(room, w->m_head.size() - w->m_headSent);
    memcpy(p, w->m_head.data() + w->m_headSent, k);
    w->m_headSent += k;
    if (w->m_headSent == w->m_head.size()) w->Report(0);
    return k;
  }
  if (w->m_fileSent < w->m_fileSize) {
    size_t want = std::min<size_t>(room, 4096);
    want = std::min<size_t>(want, static_cast<size_t>(w->m_fileSize - w->m_fileSent));
    size_t got = fread(p, 1, want, w->m_file);
    if (got == 0) {
      w->m_engine->Log("HttpUpload: Error ReadFile; err=%d", errno);
      w->m_readError = true;
      return CURL_READFUNC_ABORT;
    }
    w->m_fileSent += static_cast<long long>(got);
    int pct = static_cast<int>(w->m_fileSent * 100 / w->m_fileSize);
    if (pct > w->m_lastPercent && pct % 5 == 0) {
      w->m_lastPercent = pct;
      w->Report(pct);
    }
    return got;
  }
  size_t tailLen = sizeof kUploadTail - 1;
  if (w->m_tailSent < tailLen) {
    size_t k = std::min(room, tailLen - w->m_tailSent);
    memcpy(p, kUploadTail + w->m_tailSent, k);
    w->m_tailSent += k;
    if (w->m_tailSent == tailLen) {
      w->Report(w->m_fileSize ? 100 : 0);
      w->m_engine->Log("HttpUpload: HttpEndRequest ...");
    }
    return k;
  }
  return 0;
}

size_t UploadWorker::OnResponse(char* p, size_t size, size_t n, void* self) {
  auto* w = static_cast<UploadWorker*>(self);
  size_t bytes = size * n;
  if (w->m_stop) return 0;
  size_t keep = std::min(bytes, kMaxUploadResponse - std::min(kMaxUploadResponse, w->m_response.size()));
  w->m_response.append(p, keep);
  return bytes;
}

void UploadWorker::Run() {
  InitCurl();
  bool ok = false;
  std::string response;
  m_engine->Log("HttpUpload: Opening file: %s", m_path.c_str());
  m_file = plat::OpenRegularStream(m_path, "rb");
  if (!m_file) {
    m_engine->Log("HttpUpload: Error Opening file: %s", m_path.c_str());
  } else {
    fseek(m_file, 0, SEEK_END);
    m_fileSize = ftell(m_file);
    fseek(m_file, 0, SEEK_SET);
    if (m_fileSize < 0) m_fileSize = 0;
    m_head = UploadPartHead(m_path);
    std::string prefix = UploadResponsePrefix(m_path);
    m_engine->Log("HttpUpload: opening: %s\r\n", m_server.c_str());
    CURL* curl = m_stop ? nullptr : curl_easy_init();
    if (curl) {
      char* user = curl_easy_escape(curl, m_user.c_str(), static_cast<int>(m_user.size()));
      std::string object = std::string("/servlet/postattachment?phone=") + (user ? user : "");
      curl_free(user);
      m_engine->Log("HttpUpload: HttpOpenRequest: %s", object.c_str());
      std::string url = "http://" + m_server + ":" + std::to_string(m_port) + object;
      long long total = static_cast<long long>(m_head.size()) + m_fileSize + static_cast<long long>(sizeof kUploadTail - 1);
      curl_slist* headers = nullptr;
      headers = curl_slist_append(headers, "Content-Type: multipart/form-data; boundary=--olden-boundary-");
      headers = curl_slist_append(headers, "Expect:");
      m_engine->Log("HttpUpload: addHeaders:Content-Length: %lld\r\nContent-Type: multipart/form-data; "
                    "boundary=--olden-boundary-\r\n",
                    total);
      SetCommonOptions(curl, url, this);
      curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_0);
      curl_easy_setopt(curl, CURLOPT_POST, 1L);
      curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(total));
      curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
      curl_easy_setopt(curl, CURLOPT_READFUNCTION, &UploadWorker::OnRead);
      curl_easy_setopt(curl, CURLOPT_READDATA, this);
      curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &UploadWorker::OnResponse);
      curl_easy_setopt(curl, CURLOPT_WRITEDATA, this);
      CURLcode rc = curl_easy_perform(curl);
      long status = 0;
      const CURLcode query = rc == CURLE_OK ? curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status) : CURLE_OK;
      curl_slist_free_all(headers);
      curl_easy_cleanup(curl);
      if (m_stop) {
        // stopped by the core: no error line
      } else if (rc != CURLE_OK) {
        m_engine->Log("HttpUpload: Error HttpEndRequest; err=%d", static_cast<int>(rc));
      } else if (query != CURLE_OK) {
        m_engine->Log("HttpUpload: Error HttpQueryInfo; err=%d", static_cast<int>(query));
      } else if (status != 200) {
        // refused by the server: no line of its own
      } else {
        response = prefix + m_response;
        m_engine->Log("HttpUpload: Response is %s", response.c_str());
        ok = true;
      }
    }
    fclose(m_file);
    m_file = nullptr;
  }
  // A stopped upload (cancelled, or replaced by the next one) is reported failed like any other.
  CKxEngine* engine = m_engine;
  // The completion owns the message; one dropped unrun (the engine going away first) frees it.
  struct Held {
    Message_t* m = nullptr;
    ~Held() { CKxCore::MessageFree(m); }
  };
  auto held = std::make_shared<Held>();
  held->m = m_message;
  m_message = nullptr;
  engine->PostCompletion([engine, held, ok, response] {
    Message_t* m = held->m;
    held->m = nullptr;
    if (ok) {
      CKxCore::AttachmentFree(m->attachment);
      m->attachment = CKxCore::AttachmentURLNewM(MakeUtf8(response), nullptr, MakeUtf8("image/jpeg"));
    }
    Utf8_t* text = MakeUtf8(response);
    if (engine->Notifier()) engine->Notifier()->OnUploadComplete(ok ? 1 : 0, text);
    else CKxCore::Utf8Free(text);
    if (ok) engine->Core()->SendMessage(m, 0);
    else CKxCore::MessageFree(m);
  });
}
}  // namespace

void StartDownload(CKxEngine* engine, Message_t* message) {
  int port = engine->Settings()->GetSettingsInt(KX_OPT_PICTURE_PORT);
  auto w = std::make_unique<DownloadWorker>(engine, message->entryId, Str(message->attachment->url), port,
                                            engine->BaseDir() + "/download");
  DownloadWorker* raw = w.get();
  engine->SetDownloadWorker(std::move(w));
  raw->Start();
}

void StartUpload(CKxEngine* engine, Message_t* message, const std::string& file) {
  CKxCoreSettings* s = engine->Settings();
  Utf8_t* server = s->GetSettingsStringM(KX_OPT_SERVER_PICTURE_IP);
  Utf8_t* user = s->GetSettingsStringM(KX_OPT_USERNAME);
  auto w = std::make_unique<UploadWorker>(engine, message, file, Str(server), s->GetSettingsInt(KX_OPT_PICTURE_PORT),
                                          Str(user));
  CKxCore::Utf8Free(server);
  CKxCore::Utf8Free(user);
  UploadWorker* raw = w.get();
  engine->SetUploadWorker(std::move(w));
  raw->Start();
}

}  // namespace pellico
