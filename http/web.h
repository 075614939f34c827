// Web access: one complete HTTP exchange per call, and a page fetched as text.
#pragma once

#include "http/http_class.h"

namespace tessaro::http {

// The two methods of the class's table.
TextValue GetPageText(HTTP类& self, const TextValue& url);
ByteSet WebAccess(HTTP类& self, const TextValue& url, const TextValue& verb, const TextValue& proxy,
                  TextValue& headers, const TextValue& postData);

// What WebAccess returns when it could not send its request: 255 zero bytes, which differ
// from the empty body of a response without one.
ByteSet WebAccessFailure();

}  // namespace tessaro::http
