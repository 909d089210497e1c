#include "transfer/download_rules.h"

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <cwctype>

#include "base/text_util.h"

namespace updater {

std::wstring PartPathOf(const std::wstring& destination) { return destination + L".part"; }

std::wstring FileNameOfPath(const std::wstring& path) {
  size_t slash = path.find_last_of(L'\\');
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring FolderOfPath(const std::wstring& path) {
  size_t slash = path.find_last_of(L'\\');
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

bool IsAbsoluteDestination(const std::wstring& path) {
  if (path.size() <= 1) return false;
  return (path[0] == L'\\' && path[1] == L'\\') || path[1] == L':';
}

bool IsTimeSet(const SYSTEMTIME& time) {
  return time.wYear || time.wMonth || time.wDayOfWeek || time.wDay || time.wHour || time.wMinute ||
         time.wSecond || time.wMilliseconds;
}

namespace {

// Day of week (0 = Sunday) of a Gregorian date (Sakamoto's method).
int DayOfWeek(int year, int month, int day) {
  static const int offsets[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
  if (month < 1 || month > 12) return 0;
  if (month < 3) year -= 1;
  return (year + year / 4 - year / 100 + year / 400 + offsets[month - 1] + day) % 7;
}

bool ParseUnsigned(const wchar_t*& p, std::uint64_t& value) {
  if (!std::iswdigit(*p)) return false;
  value = 0;
  while (std::iswdigit(*p)) {
    value = value * 10 + static_cast<unsigned>(*p - L'0');
    if (value > 0xFFFFFFFFull) return false;
    ++p;
  }
  return true;
}

}  // namespace

std::wstring FormatHttpDate(const SYSTEMTIME& time) {
  static const wchar_t* const kDays[] = {L"Sun", L"Mon", L"Tue", L"Wed", L"Thu", L"Fri", L"Sat"};
  static const wchar_t* const kMonths[] = {L"Jan", L"Feb", L"Mar", L"Apr", L"May", L"Jun",
                                           L"Jul", L"Aug", L"Sep", L"Oct", L"Nov", L"Dec"};
  int month = (time.wMonth >= 1 && time.wMonth <= 12) ? time.wMonth : 1;
  wchar_t text[64];
  std::swprintf(text, 64, L"%ls, %.2u %ls %.4u %.2u:%.2u:%.2u GMT", kDays[DayOfWeek(time.wYear, month, time.wDay)],
                static_cast<unsigned>(time.wDay), kMonths[month - 1], static_cast<unsigned>(time.wYear),
                static_cast<unsigned>(time.wHour), static_cast<unsigned>(time.wMinute),
                static_cast<unsigned>(time.wSecond));
  return text;
}

int CompareTimes(const SYSTEMTIME& a, const SYSTEMTIME& b) {
  const WORD SYSTEMTIME::*fields[] = {&SYSTEMTIME::wYear,   &SYSTEMTIME::wMonth,  &SYSTEMTIME::wDay,
                                      &SYSTEMTIME::wHour,   &SYSTEMTIME::wMinute, &SYSTEMTIME::wSecond,
                                      &SYSTEMTIME::wMilliseconds};
  for (auto field : fields) {
    if (a.*field != b.*field) return a.*field < b.*field ? -1 : 1;
  }
  return 0;
}

std::wstring BuildRequestHeaders(std::uint32_t offset, const SYSTEMTIME& ifModifiedSince,
                                 const std::wstring& ifNoneMatch) {
  std::wstring headers;
  if (offset != 0) headers += L"Range: bytes=" + std::to_wstring(offset) + L"-\r\n";
  if (IsTimeSet(ifModifiedSince)) headers += L"If-Modified-Since: " + FormatHttpDate(ifModifiedSince) + L"\r\n";
  if (!ifNoneMatch.empty()) headers += L"If-None-Match: " + ifNoneMatch + L"\r\n";
  return headers;
}

bool IsBusyStatus(std::uint32_t status) { return status == 429 || (status >= 500 && status <= 599); }

namespace {

int MonthOf(const std::wstring& name) {
  static const wchar_t* const kMonths[] = {L"Jan", L"Feb", L"Mar", L"Apr", L"May", L"Jun",
                                           L"Jul", L"Aug", L"Sep", L"Oct", L"Nov", L"Dec"};
  for (int i = 0; i < 12; ++i)
    if (name == kMonths[i]) return i + 1;
  return 0;
}

// The three date forms HTTP allows: "Sun, 06 Nov 1994 08:49:37 GMT", "Sunday, 06-Nov-94 08:49:37 GMT"
// and "Sun Nov  6 08:49:37 1994". The day name is not checked.
std::optional<FileTime64> ParseHttpDate(const std::wstring& text) {
  int day = 0, year = 0, hour = 0, minute = 0, second = 0;
  wchar_t month[4] = {};
  wchar_t zone[4] = {};
  SYSTEMTIME time{};
  size_t comma = text.find(L',');
  if (comma != std::wstring::npos) {
    std::wstring rest = text.substr(comma + 1);
    if (std::swscanf(rest.c_str(), L" %2d %3ls %4d %2d:%2d:%2d %3ls", &day, month, &year, &hour, &minute, &second,
                     zone) != 7 &&
        std::swscanf(rest.c_str(), L" %2d-%3ls-%4d %2d:%2d:%2d %3ls", &day, month, &year, &hour, &minute, &second,
                     zone) != 7)
      return std::nullopt;
    if (std::wstring(zone) != L"GMT") return std::nullopt;
    if (year < 100) year += year < 70 ? 2000 : 1900;
  } else {
    wchar_t weekday[4] = {};
    if (std::swscanf(text.c_str(), L"%3ls %3ls %2d %2d:%2d:%2d %4d", weekday, month, &day, &hour, &minute, &second,
                     &year) != 7)
      return std::nullopt;
  }
  int monthNumber = MonthOf(month);
  if (monthNumber == 0 || hour > 23 || minute > 59 || second > 60 || day < 1) return std::nullopt;
  time.wYear = static_cast<WORD>(year);
  time.wMonth = static_cast<WORD>(monthNumber);
  time.wDay = static_cast<WORD>(day);
  time.wHour = static_cast<WORD>(hour);
  time.wMinute = static_cast<WORD>(minute);
  time.wSecond = static_cast<WORD>(second > 59 ? 59 : second);
  FileTime64 at = SystemToFileTime(time);
  if (at == 0) return std::nullopt;
  return at;
}

}  // namespace

std::optional<std::uint64_t> ParseRetryAfterSeconds(const std::wstring& text, FileTime64 now) {
  std::wstring trimmed = TrimBlanks(text);
  if (trimmed.empty()) return std::nullopt;
  if (trimmed.find_first_not_of(L"0123456789") == std::wstring::npos) {
    if (trimmed.size() > 12) return kMaximumBusyWaitSeconds * 1000;  // far beyond every bound
    return std::stoull(trimmed);
  }
  std::optional<FileTime64> at = ParseHttpDate(trimmed);
  if (!at) return std::nullopt;
  return *at > now ? (*at - now) / 10000000ull : 0;
}

FileTime64 BusyNotBefore(const std::optional<std::uint64_t>& retryAfterSeconds, FileTime64 now,
                         std::uint64_t spreadSeconds) {
  std::uint64_t wait = retryAfterSeconds
                           ? std::clamp(*retryAfterSeconds, kMinimumBusyWaitSeconds, kMaximumBusyWaitSeconds)
                           : kDefaultBusyWaitSeconds + std::min(spreadSeconds, kBusyWaitSpreadSeconds);
  return now + wait * 10000000ull;
}

std::uint32_t ResumeOffset(bool resumeEnabled, bool partFileExists, std::uint32_t partFileSize) {
  return resumeEnabled && partFileExists ? partFileSize : 0;
}

HttpDecision DecideHttpStatus(std::uint32_t status, std::uint32_t contentLength, std::uint32_t rangeTotal,
                              std::uint32_t offset) {
  HttpDecision decision;
  decision.offset = offset;
  switch (status) {
    case 200:
      decision.total = contentLength;
      if (contentLength != 0 && offset >= contentLength) {
        decision.result = E_UPD_PART_COMPLETE;
        return decision;
      }
      decision.offset = 0;  // the server ignored the range: start over
      decision.outcome = HttpOutcome::kTransfer;
      return decision;
    case 206:
      if (contentLength != 0) {
        decision.total = contentLength + offset;
      } else {
        decision.offset = 0;
        decision.total = 0;
      }
      decision.outcome = HttpOutcome::kTransfer;
      return decision;
    case 304:
      decision.result = E_UPD_NOT_MODIFIED;
      return decision;
    case 401:
    case 407:
      decision.outcome = HttpOutcome::kCredentials;
      return decision;
    case 403:
      decision.result = E_UPD_FORBIDDEN;
      return decision;
    case 404:
    case 410:
      decision.result = E_UPD_RESOURCE_NOT_FOUND;
      return decision;
    case 416:
      // The range starts at or beyond the server's end: a part file of exactly the server's
      // length is complete; any other part file is not this file and is fetched anew.
      if (offset != 0 && rangeTotal == offset) {
        decision.total = offset;
        decision.outcome = HttpOutcome::kTransfer;
      } else if (offset != 0) {
        decision.offset = 0;
        decision.outcome = HttpOutcome::kRestartWithoutRange;
      } else {
        decision.result = kInetInvalidServerResponse;
      }
      return decision;
    default:
      // A busy server is left alone until it asks to be asked again; its answer is no file.
      if (IsBusyStatus(status)) {
        decision.result = E_UPD_SERVER_BUSY;
        return decision;
      }
      // An error page is never saved as the requested file.
      if (status >= 400) {
        decision.result = kInetInvalidServerResponse;
        return decision;
      }
      decision.offset = 0;
      decision.total = contentLength;
      decision.outcome = HttpOutcome::kTransfer;
      return decision;
  }
}

std::wstring UrlWithoutCredentials(const std::wstring& url) {
  std::size_t scheme = url.find(L"://");
  if (scheme == std::wstring::npos) return url;
  std::size_t authorityStart = scheme + 3;
  std::size_t authorityEnd = url.find_first_of(L"/?#", authorityStart);
  if (authorityEnd == std::wstring::npos) authorityEnd = url.size();
  // The last "@" of the authority ends the user information: a password may hold "@" itself.
  std::size_t at = url.rfind(L'@', authorityEnd - 1);
  if (at == std::wstring::npos || at < authorityStart) return url;
  return url.substr(0, authorityStart) + url.substr(at + 1);
}

std::wstring DescribeAttemptFailure(std::uint32_t httpStatus, Result result) {
  if (httpStatus != 0) return L"HTTP status " + std::to_wstring(httpStatus);
  if (result >= 12000 && result < 13000) return L"WinINet error " + std::to_wstring(result);
  return FormatResultForLog(result);
}

bool IsCertificateError(Result code) {
  return code == 12037 || code == 12038 || code == 12044 || code == 12045 || code == 12057;
}

bool IsRedirectStatus(std::uint32_t status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

std::wstring ResolveRedirectLocation(const std::wstring& baseUrl, const std::wstring& location) {
  std::size_t first = location.find_first_not_of(L" \t");
  std::size_t last = location.find_last_not_of(L" \t\r\n");
  if (first == std::wstring::npos) return {};
  std::wstring target = location.substr(first, last - first + 1);
  std::size_t schemeEnd = baseUrl.find(L"://");
  if (schemeEnd == std::wstring::npos) return {};
  // An absolute URL: a scheme of letters, digits, "+", "-" and "." before "://".
  std::size_t colon = target.find(L"://");
  if (colon != std::wstring::npos && colon > 0 &&
      target.find_first_not_of(L"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+-.") == colon)
    return target;
  if (target.compare(0, 2, L"//") == 0) return baseUrl.substr(0, schemeEnd + 1) + target;
  std::size_t pathStart = baseUrl.find(L'/', schemeEnd + 3);
  std::wstring origin = pathStart == std::wstring::npos ? baseUrl : baseUrl.substr(0, pathStart);
  std::wstring path = pathStart == std::wstring::npos ? L"/" : baseUrl.substr(pathStart);
  if (target[0] == L'/') return origin + target;
  std::size_t query = path.find_first_of(L"?#");
  std::wstring pathOnly = query == std::wstring::npos ? path : path.substr(0, query);
  if (target[0] == L'?') return origin + pathOnly + target;
  if (target[0] == L'#') return origin + path;
  return origin + pathOnly.substr(0, pathOnly.rfind(L'/') + 1) + target;
}

SizeBound DownloadSizeBound(std::uint32_t expectedSize, std::uint32_t sizeLimit, Result sizeLimitCode) {
  if (expectedSize != 0) return SizeBound{expectedSize, E_UPD_WRONG_SIZE};
  if (sizeLimit != 0) return SizeBound{sizeLimit, sizeLimitCode};
  return SizeBound{};
}

bool ExceedsBound(const SizeBound& bound, std::uint64_t bytesSoFar, std::uint64_t more) {
  return bound.bytes != 0 && bytesSoFar + more > bound.bytes;
}

ConnectRetry ClassifyConnectResult(Result code, std::size_t urlCount) {
  switch (code) {
    case kHttpRedirectFailed:
    case kErrorPathNotFound:
    case 12003:
    case 12028:
    case 12111:
    case E_UPD_RESOURCE_NOT_FOUND:
    case E_UPD_SERVER_BUSY:
      return urlCount > 1 ? ConnectRetry::kNextUrl : ConnectRetry::kReturn;
    case kInetNameNotResolved:
    case kInetCannotConnect:
      return ConnectRetry::kSameOrNextUrl;
    default:
      return ConnectRetry::kReturn;
  }
}

int ConnectAttempts(int retryAttempts, std::size_t urlCount) {
  int mirrorsBeyondFirst = urlCount > 0 ? static_cast<int>(urlCount - 1) : 0;
  return retryAttempts > mirrorsBeyondFirst ? retryAttempts : mirrorsBeyondFirst;
}

bool IsReconnectableReadError(Result code) {
  return code == kInetTimeout || code == kInetConnectionAborted || code == kInetConnectionReset ||
         code == kInetDisconnected;
}

Result NormalizeReadError(Result code) { return code == kWinsockTimedOut ? kInetTimeout : code; }

bool ReconnectOffsetAccepted(std::uint32_t partFileSize, std::uint32_t acceptedOffset) {
  return partFileSize == 0 || acceptedOffset == partFileSize;
}

bool IsTransferComplete(std::uint32_t total, std::uint32_t partFileSize) {
  return total == 0 || partFileSize >= total;
}

int FtpReplyCode(const std::wstring& response) {
  const wchar_t* p = response.c_str();
  while (*p == L'\r' || *p == L'\n') ++p;
  std::uint64_t value = 0;
  if (!ParseUnsigned(p, value) || value > 999) return -1;
  if (*p != L' ' && *p != L'-' && *p != L'\0' && *p != L'\r' && *p != L'\n') return -1;
  return static_cast<int>(value);
}

std::uint32_t FtpSizeFromReply(const std::wstring& response) {
  if (FtpReplyCode(response) != 213) return 0;
  const wchar_t* p = response.c_str();
  while (*p == L'\r' || *p == L'\n') ++p;
  p += 3;
  while (*p == L' ') ++p;
  std::uint64_t value = 0;
  if (!ParseUnsigned(p, value)) return 0;
  return static_cast<std::uint32_t>(value);
}

std::uint32_t ContentRangeTotal(const std::wstring& value) {
  size_t slash = value.rfind(L'/');
  if (slash == std::wstring::npos) return 0;
  const wchar_t* p = value.c_str() + slash + 1;
  std::uint64_t total = 0;
  if (!ParseUnsigned(p, total)) return 0;
  return static_cast<std::uint32_t>(total);
}

namespace {


}  // namespace

std::wstring RealmFromAuthenticateHeader(const std::wstring& value) {
  size_t blank = value.find(L' ');
  if (blank == std::wstring::npos) return {};
  std::wstring parameters = value.substr(blank + 1);
  size_t start = 0;
  while (start <= parameters.size()) {
    size_t comma = parameters.find(L',', start);
    std::wstring part = parameters.substr(start, comma == std::wstring::npos ? std::wstring::npos : comma - start);
    size_t equals = part.find(L'=');
    if (equals != std::wstring::npos && _wcsicmp(Trim(part.substr(0, equals), kSpacesAndTabs).c_str(), L"realm") == 0) {
      std::wstring realm = Trim(part.substr(equals + 1), kSpacesAndTabs);
      if (realm.size() >= 2 && realm.front() == L'"' && realm.back() == L'"') realm = realm.substr(1, realm.size() - 2);
      return realm;
    }
    if (comma == std::wstring::npos) break;
    start = comma + 1;
  }
  return {};
}

std::wstring ProxyHostName(const std::wstring& proxy) {
  size_t colon = proxy.find(L':');
  if (colon == std::wstring::npos || colon == 0) return proxy;
  return proxy.substr(0, colon);
}

}  // namespace updater
