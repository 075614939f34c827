// The web client class HTTP类. Its object holds nothing but a reference to the class's
// method table; every method that uses another method calls it through that table, so a
// caller may hand in an object whose table replaces any method.
#pragma once

#include <cstdint>
#include <functional>

#include "values/values.h"

namespace tessaro {

class HTTP类;

// One link of a page.
struct LinkRecord {
  TextValue text;
  TextValue href;
  TextValue imageSrc;
  friend bool operator==(const LinkRecord&, const LinkRecord&) = default;
};

// The download progress routine: total, done, percent, speed (KB/s). It runs on the
// download worker thread. After a progress report, 0 means cancel and nonzero go on.
using ProgressRoutine =
    std::function<std::int32_t(std::int32_t, std::int32_t, std::int32_t, std::int32_t)>;

// The 24 methods in their fixed order. Texts that a method assigns to are taken by
// non-const reference; all other texts by const reference.
struct HttpMethodTable {
  void (*Destroy)(HTTP类& self);
  HTTP类 (*Copy)(HTTP类& self);
  bool (*IsOnline)(HTTP类& self);
  std::int32_t (*GetRemoteFileSize)(HTTP类& self, const TextValue& url, std::int32_t attempts);
  bool (*StartDownload)(HTTP类& self, ProgressRoutine routine, const TextValue& url,
                        const TextValue& savePath, std::int32_t attempts, bool resume);
  void (*StopDownload)(HTTP类& self);
  std::int32_t (*GetPageLinks)(HTTP类& self, const TextValue& url, ValueArray<LinkRecord>& links);
  TextValue (*GetRootUrl)(HTTP类& self, const TextValue& url);
  TextValue (*GetDirectoryUrl)(HTTP类& self, const TextValue& url);
  TextValue (*GetFileNameFromUrl)(HTTP类& self, const TextValue& url);
  TextValue (*GetPageText)(HTTP类& self, const TextValue& url);
  ByteSet (*WebAccess)(HTTP类& self, const TextValue& url, const TextValue& verb,
                       const TextValue& proxy, TextValue& headers, const TextValue& postData);
  TextValue (*GetHost)(HTTP类& self, const TextValue& url);
  std::int32_t (*GetPort)(HTTP类& self, const TextValue& url);
  TextValue (*GetPath)(HTTP类& self, const TextValue& url);
  bool (*SetCookie)(HTTP类& self, const TextValue& url, const TextValue& name, TextValue& value,
                    DateTimeValue expiry);
  TextValue (*GetCookie)(HTTP类& self, const TextValue& url, const TextValue& name);
  bool (*ClearCookies)(HTTP类& self, const TextValue& host);
  void (*DeleteCookieFiles)(HTTP类& self, const TextValue& filter);
  void (*ClearCache)(HTTP类& self);
  void (*DeleteFilesInFolder)(HTTP类& self, const TextValue& folder);
  std::int32_t (*ListCacheFiles)(HTTP类& self, TextValue& pattern, ValueArray<TextValue>& files);
  void (*CollectFiles)(HTTP类& self, const TextValue& folder, const TextValue& pattern,
                       ValueArray<TextValue>& files);
  TextValue (*FormatCookieDate)(HTTP类& self, DateTimeValue dateTime);
};

// The class's own table.
extern const HttpMethodTable kHttpMethodTable;

class HTTP类 {
 public:
  explicit HTTP类(const HttpMethodTable* table = &kHttpMethodTable) : table_(table) {}

  const HttpMethodTable& Table() const { return *table_; }

  // Calls through the table, with the optional arguments defaulted to their empty values.
  void Destroy() { table_->Destroy(*this); }
  HTTP类 Copy() { return table_->Copy(*this); }
  bool IsOnline() { return table_->IsOnline(*this); }
  std::int32_t GetRemoteFileSize(const TextValue& url, std::int32_t attempts = 0) {
    return table_->GetRemoteFileSize(*this, url, attempts);
  }
  bool StartDownload(ProgressRoutine routine, const TextValue& url,
                     const TextValue& savePath = {}, std::int32_t attempts = 0,
                     bool resume = false) {
    return table_->StartDownload(*this, std::move(routine), url, savePath, attempts, resume);
  }
  void StopDownload() { table_->StopDownload(*this); }
  std::int32_t GetPageLinks(const TextValue& url, ValueArray<LinkRecord>& links) {
    return table_->GetPageLinks(*this, url, links);
  }
  TextValue GetRootUrl(const TextValue& url) { return table_->GetRootUrl(*this, url); }
  TextValue GetDirectoryUrl(const TextValue& url) { return table_->GetDirectoryUrl(*this, url); }
  TextValue GetFileNameFromUrl(const TextValue& url) {
    return table_->GetFileNameFromUrl(*this, url);
  }
  TextValue GetPageText(const TextValue& url) { return table_->GetPageText(*this, url); }
  ByteSet WebAccess(const TextValue& url, const TextValue& verb, const TextValue& proxy,
                    TextValue& headers, const TextValue& postData = {}) {
    return table_->WebAccess(*this, url, verb, proxy, headers, postData);
  }
  ByteSet WebAccess(const TextValue& url) {
    TextValue headers;
    return table_->WebAccess(*this, url, {}, {}, headers, {});
  }
  TextValue GetHost(const TextValue& url) { return table_->GetHost(*this, url); }
  std::int32_t GetPort(const TextValue& url) { return table_->GetPort(*this, url); }
  TextValue GetPath(const TextValue& url) { return table_->GetPath(*this, url); }
  bool SetCookie(const TextValue& url, const TextValue& name, TextValue& value,
                 DateTimeValue expiry = {}) {
    return table_->SetCookie(*this, url, name, value, expiry);
  }
  TextValue GetCookie(const TextValue& url, const TextValue& name = {}) {
    return table_->GetCookie(*this, url, name);
  }
  bool ClearCookies(const TextValue& host) { return table_->ClearCookies(*this, host); }
  void DeleteCookieFiles(const TextValue& filter = {}) {
    table_->DeleteCookieFiles(*this, filter);
  }
  void ClearCache() { table_->ClearCache(*this); }
  void DeleteFilesInFolder(const TextValue& folder) {
    table_->DeleteFilesInFolder(*this, folder);
  }
  std::int32_t ListCacheFiles(TextValue& pattern, ValueArray<TextValue>& files) {
    return table_->ListCacheFiles(*this, pattern, files);
  }
  std::int32_t ListCacheFiles(ValueArray<TextValue>& files) {
    TextValue pattern;  // omitted: every file
    return table_->ListCacheFiles(*this, pattern, files);
  }
  void CollectFiles(const TextValue& folder, const TextValue& pattern,
                    ValueArray<TextValue>& files) {
    table_->CollectFiles(*this, folder, pattern, files);
  }
  TextValue FormatCookieDate(DateTimeValue dateTime) {
    return table_->FormatCookieDate(*this, dateTime);
  }

 private:
  const HttpMethodTable* table_;
};

// The methods, one module each (url.cpp, web.cpp, cookies.cpp, download.cpp, links.cpp,
// files.cpp); the table in table.cpp lists them in order.
namespace http {
void Destroy(HTTP类& self);
HTTP类 Copy(HTTP类& self);
TextValue GetRootUrl(HTTP类& self, const TextValue& url);
TextValue GetDirectoryUrl(HTTP类& self, const TextValue& url);
TextValue GetFileNameFromUrl(HTTP类& self, const TextValue& url);
TextValue GetHost(HTTP类& self, const TextValue& url);
std::int32_t GetPort(HTTP类& self, const TextValue& url);
TextValue GetPath(HTTP类& self, const TextValue& url);
}  // namespace http

}  // namespace tessaro
