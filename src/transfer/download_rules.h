// Decisions of the download engine that need no connection: paths, request headers, the answer to
// an HTTP status, mirror rotation, resume offsets, FTP replies. The engine feeds them data it read
// from the library; tests feed them data directly.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

#include "base/result_codes.h"
#include "base/utc_time.h"

namespace updater {

// WinINet and Winsock codes the engine reacts to.
inline constexpr Result kErrorPathNotFound = 3;
inline constexpr Result kInetTimeout = 12002;             // ERROR_INTERNET_TIMEOUT
inline constexpr Result kInetNameNotResolved = 12007;
inline constexpr Result kInetUnrecognizedScheme = 12006;
inline constexpr Result kInetInvalidUrl = 12005;
inline constexpr Result kInetCannotConnect = 12029;
inline constexpr Result kInetConnectionAborted = 12030;
inline constexpr Result kInetConnectionReset = 12031;
inline constexpr Result kInetDisconnected = 12163;
inline constexpr Result kInetInvalidServerResponse = 12152;
inline constexpr Result kWinsockTimedOut = 10060;          // WSAETIMEDOUT, what a receive time-out gives
inline constexpr Result kHttpRedirectFailed = 12156;       // ERROR_HTTP_REDIRECT_FAILED

// Bounds that keep a broken or hostile server from holding a download for ever or filling the disk.
// Redirects followed for one request; the next one fails the attempt with kHttpRedirectFailed.
inline constexpr int kMaxRedirects = 10;
// Connection attempts after the first one of a download, unless the user set another number.
inline constexpr int kDefaultRetryAttempts = 6;
// The updates configuration file (the INI reader itself stops at 32 Mi characters).
inline constexpr std::uint32_t kMaxUpdatesFileBytes = 32u << 20;
// The image of a publisher message.
inline constexpr std::uint32_t kMaxMessageImageBytes = 4u << 20;

// The file that receives the bytes until the transfer is complete.
std::wstring PartPathOf(const std::wstring& destination);
// The part after the last backslash (the whole text when there is none).
std::wstring FileNameOfPath(const std::wstring& path);
// The folder part before the last backslash (empty when there is none).
std::wstring FolderOfPath(const std::wstring& path);
// Longer than one character and either "\\..." or "X:...".
bool IsAbsoluteDestination(const std::wstring& path);

// All-zero SYSTEMTIME means "not set".
bool IsTimeSet(const SYSTEMTIME& time);
// "Wed, 09 Jun 2021 10:18:14 GMT"; the day name is computed from the date.
std::wstring FormatHttpDate(const SYSTEMTIME& time);
// Earlier / same / later as -1 / 0 / 1, by the date and time fields (day of week ignored).
int CompareTimes(const SYSTEMTIME& a, const SYSTEMTIME& b);
// The extra request headers: "Range: bytes=<offset>-\r\n" when offset != 0, then
// "If-Modified-Since: <date>\r\n" when the time is set, then "If-None-Match: <tag>\r\n" when a tag
// is given.
std::wstring BuildRequestHeaders(std::uint32_t offset, const SYSTEMTIME& ifModifiedSince,
                                 const std::wstring& ifNoneMatch = {});

// ---- A busy server ----
// 429 and 5xx: the server asks to come back later; the attempt fails with 0xE0000037.
bool IsBusyStatus(std::uint32_t status);

// The URL for the log: any "user:password@" before the host removed (an FTP URL may carry both).
std::wstring UrlWithoutCredentials(const std::wstring& url);
// What a failed attempt got: "HTTP status 404" when the server answered, else "WinINet error 12029"
// for the library's codes, else the code in its log form.
std::wstring DescribeAttemptFailure(std::uint32_t httpStatus, Result result);
// "Retry-After" as seconds from `now`: a decimal number of seconds, or an HTTP date (IMF-fixdate,
// RFC 850 or asctime form); nothing for anything else (a negative number, garbage, an empty text).
std::optional<std::uint64_t> ParseRetryAfterSeconds(const std::wstring& text, FileTime64 now);
inline constexpr std::uint64_t kMinimumBusyWaitSeconds = 60;
inline constexpr std::uint64_t kMaximumBusyWaitSeconds = 86400;
inline constexpr std::uint64_t kDefaultBusyWaitSeconds = 3600;
inline constexpr std::uint64_t kBusyWaitSpreadSeconds = 1800;
// When the next check may ask again: the server's wait bounded to 1 minute … 24 hours, or without
// one an hour plus `spreadSeconds` (a random 0 … 30 minutes, so that clients do not all come back at
// once).
FileTime64 BusyNotBefore(const std::optional<std::uint64_t>& retryAfterSeconds, FileTime64 now,
                         std::uint64_t spreadSeconds);

// Offset to resume from: the part file's size when resuming is on, else 0.
std::uint32_t ResumeOffset(bool resumeEnabled, bool partFileExists, std::uint32_t partFileSize);

// What an HTTP answer means for the download.
enum class HttpOutcome {
  kTransfer,             // go on with the transfer from `offset`, `total` bytes in all (0 unknown)
  kCredentials,          // 401/407: run the credentials step
  kFail,                 // `result` is the download's result
  kRestartWithoutRange,  // 416 for a part file that is not the server's file: fetch it anew
};
struct HttpDecision {
  HttpOutcome outcome = HttpOutcome::kFail;
  Result result = kOk;
  std::uint32_t offset = 0;
  std::uint32_t total = 0;
};
// Decides a request that was sent successfully. `rangeTotal` is the complete length of a 416
// answer's "Content-Range: bytes */<n>" (0 when absent).
HttpDecision DecideHttpStatus(std::uint32_t status, std::uint32_t contentLength, std::uint32_t rangeTotal,
                              std::uint32_t offset);

// 301, 302, 303, 307 and 308: the engine follows the Location header itself, counting the hops.
bool IsRedirectStatus(std::uint32_t status);
// The absolute URL a Location header names, relative to the URL that answered: an absolute URL as
// it is, "//host/..." with the base's scheme, "/path" on the base's host, "?query" and other
// relative references beside the base's path. Empty when nothing can be made of it.
std::wstring ResolveRedirectLocation(const std::wstring& baseUrl, const std::wstring& location);

// The most bytes a download may write, and what exceeding it gives: a known size bounds it exactly
// (0xE0000023); otherwise the caller's limit with the caller's code; 0 bytes means unbounded.
struct SizeBound {
  std::uint32_t bytes = 0;
  Result code = kOk;
};
SizeBound DownloadSizeBound(std::uint32_t expectedSize, std::uint32_t sizeLimit, Result sizeLimitCode);
// True when `bytesSoFar + more` would pass the bound.
bool ExceedsBound(const SizeBound& bound, std::uint64_t bytesSoFar, std::uint64_t more);

// Certificate problems that the observer may be asked about.
bool IsCertificateError(Result code);

// Mirror rotation after a failed connection attempt.
enum class ConnectRetry { kReturn, kNextUrl, kSameOrNextUrl };
ConnectRetry ClassifyConnectResult(Result code, std::size_t urlCount);
// Attempts allowed for one OpenUrl: max(retry attempts, urls - 1).
int ConnectAttempts(int retryAttempts, std::size_t urlCount);

// Errors of a running transfer after which a reconnection may resume it.
bool IsReconnectableReadError(Result code);
// A library or socket time-out is handled as WinINet's time-out.
Result NormalizeReadError(Result code);
// A reconnection must continue where the part file ends (or the file must be empty).
bool ReconnectOffsetAccepted(std::uint32_t partFileSize, std::uint32_t acceptedOffset);
// The transfer is complete when the length is unknown or the part file reached it.
bool IsTransferComplete(std::uint32_t total, std::uint32_t partFileSize);

// The number before the first blank of an FTP reply ("350 Restarting at 100." -> 350), -1 if none.
int FtpReplyCode(const std::wstring& response);
// The size from a "213 <n>" reply to SIZE, 0 when the reply is anything else or too large.
std::uint32_t FtpSizeFromReply(const std::wstring& response);
// The complete length from a "Content-Range: bytes a-b/<n>" or "bytes */<n>" value, 0 if absent.
std::uint32_t ContentRangeTotal(const std::wstring& value);

// The realm of a WWW-Authenticate / Proxy-Authenticate value: the part after the first blank,
// split at ',', the element named "realm" (any case), without surrounding double quotes.
std::wstring RealmFromAuthenticateHeader(const std::wstring& value);
// A proxy setting "host:port" cut before its first ':' (when that is not the first character).
std::wstring ProxyHostName(const std::wstring& proxy);

}  // namespace updater
