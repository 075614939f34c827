// Download with resume: one background download per process, written into a partial file
// (the target path + ".tmp") and put in place when complete.
#pragma once

#include <cstdint>

#include "http/http_class.h"

namespace tessaro::http {

// The four methods of the class's table.
bool IsOnline(HTTP类& self);
std::int32_t GetRemoteFileSize(HTTP类& self, const TextValue& url, std::int32_t attempts);
bool StartDownload(HTTP类& self, ProgressRoutine routine, const TextValue& url,
                   const TextValue& savePath, std::int32_t attempts, bool resume);
void StopDownload(HTTP类& self);

// The bytes read per request read; each chunk goes to the partial file as it comes.
inline constexpr std::int32_t kDownloadReadSize = 65536;

// The file a download of url with savePath ends up in:
//   empty save path            run directory + "/" + the URL's last segment
//   a save path without "/"    run directory + "/" + save path
//   a save path ending in "/"  save path + the URL's last segment
//   anything else              the save path as it is
// The last segment is what follows the URL's last "/", or the whole URL without one.
TextValue DownloadTargetPath(const TextValue& url, const TextValue& savePath);

// The request header lines of a download, joined by CR LF. A resumed download adds the
// range line "Range:bytes=OFFSET-".
TextValue DownloadHeaderBlock(bool withRange, std::int32_t offset);

// The target path of the current or last download ("" before the first).
TextValue LastDownloadTarget();

// True from a start passing its busy test until its download has ended (after the
// broken-off report, before the final report).
bool DownloadInFlight();

// Stops a download in flight without reporting it and waits for every worker thread.
// Runs by itself at process exit once a download has been started; later starts fail.
void ShutDownDownloads();

}  // namespace tessaro::http
