// The method table of HTTP类, in its fixed order. A method not built yet has no entry.
#include "http/http_class.h"
#include "http/files.h"
#include "http/links.h"
#include "http/download.h"
#include "http/web.h"
#include "http/cookies.h"

namespace tessaro {

namespace http {

void Destroy(HTTP类& /*self*/) {}

HTTP类 Copy(HTTP类& self) { return HTTP类(&self.Table()); }

}  // namespace http

const HttpMethodTable kHttpMethodTable = {
    .Destroy = http::Destroy,
    .Copy = http::Copy,
    .IsOnline = http::IsOnline,
    .GetRemoteFileSize = http::GetRemoteFileSize,
    .StartDownload = http::StartDownload,
    .StopDownload = http::StopDownload,
    .GetPageLinks = http::GetPageLinks,
    .GetRootUrl = http::GetRootUrl,
    .GetDirectoryUrl = http::GetDirectoryUrl,
    .GetFileNameFromUrl = http::GetFileNameFromUrl,
    .GetPageText = http::GetPageText,
    .WebAccess = http::WebAccess,
    .GetHost = http::GetHost,
    .GetPort = http::GetPort,
    .GetPath = http::GetPath,
    .SetCookie = http::SetCookie,
    .GetCookie = http::GetCookie,
    .ClearCookies = http::ClearCookies,
    .DeleteCookieFiles = http::DeleteCookieFiles,
    .ClearCache = http::ClearCache,
    .DeleteFilesInFolder = http::DeleteFilesInFolder,
    .ListCacheFiles = http::ListCacheFiles,
    .CollectFiles = http::CollectFiles,
    .FormatCookieDate = http::FormatCookieDate,
};

}  // namespace tessaro
