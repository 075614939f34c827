// Cookie operations on the process's cookie store, always addressed as "http://" + host.
#pragma once

#include "http/http_class.h"

namespace tessaro::http {

// The four methods of the class's table.
bool SetCookie(HTTP类& self, const TextValue& url, const TextValue& name, TextValue& value,
               DateTimeValue expiry);
TextValue GetCookie(HTTP类& self, const TextValue& url, const TextValue& name);
bool ClearCookies(HTTP类& self, const TextValue& host);
TextValue FormatCookieDate(HTTP类& self, DateTimeValue dateTime);

}  // namespace tessaro::http
